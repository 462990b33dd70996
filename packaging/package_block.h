#pragma once

#include "fw_config.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>

// One 546-byte block of a package file: the page address (high byte, low
// byte) and 32 lines of 16 data bytes, each followed by its check byte.
constexpr std::size_t package_header_size = 4;
constexpr std::size_t package_block_size = 546;
constexpr std::size_t block_lines = 32;
constexpr std::size_t line_data_bytes = 16;
constexpr std::size_t stored_line_bytes = line_data_bytes + 1; // with the check byte
constexpr std::size_t block_line_bytes = block_lines * stored_line_bytes; // 544
constexpr std::size_t page_size = block_lines * line_data_bytes; // 512
// The box maps 0x8000-0x9FFF of an image to 0xA000-0xBFFF: the builder moves
// such data there, so no package it makes holds a page in that range.
constexpr uint16_t shadow_first = 0x8000;
constexpr uint16_t shadow_last = 0x9FFF;
constexpr uint16_t shadow_shift = 0x2000;

struct PackageBlock {
    uint8_t bytes[package_block_size];
};

// The AES-128 key of line 0 of every block.
extern const uint8_t package_key[16];

// Block byte of line k (0..31), data byte i (0..15); the check byte is i = 16.
constexpr std::size_t block_line_pos(std::size_t k, std::size_t i = 0)
{
    return 2 + stored_line_bytes * k + i;
}

uint16_t block_page(const PackageBlock &block);
void set_block_page(PackageBlock &block, uint16_t page);

// Page address 0 and all 544 line bytes 0xFF.
void reset_block(PackageBlock &block);
// All 544 line bytes 0xFF; the page address stays.
void clear_block_lines(PackageBlock &block);

// What place_byte did.
enum PlaceResult : int {
    place_stored = 0,
    place_outside_page = 1, // nothing stored
    place_last_of_page = 2, // stored, and it was the page's last byte
};

// Stores value for address in block, if the address lies in the block's page.
int place_byte(PackageBlock &block, uint16_t address, uint8_t value);

// The byte that makes a line's 16 stored bytes and itself add up to 0 mod 256.
uint8_t check_byte(const uint8_t line[line_data_bytes]);

// Encrypts line 0 with the package key and fills in the 32 check bytes (the
// check byte of line 0 covers the ciphertext).
void seal_block(PackageBlock &block);

// Receives package bytes in file order; returns false when they could not be
// written.
using PackageSink = std::function<bool(const char *data, std::size_t size)>;

// Seals block and hands its 546 bytes to sink; false on a write error.
bool write_block(PackageBlock &block, const PackageSink &sink);

// Lines of a stored block whose check byte does not hold: bit k for line k.
uint32_t bad_check_lines(const PackageBlock &block);

// Reading a package: the header, then whole blocks. A trailing piece shorter
// than a block is not a block.

// Reads the header into config; returns how many of its 4 bytes the file had
// (the bytes missing keep their values).
int read_package_header(std::istream &in, FirmwareConfig &config);
// Reads the next block; true only when a whole block was read.
bool read_package_block(std::istream &in, PackageBlock &block);

struct PackageScan {
    FirmwareConfig header;
    int header_bytes = 0; // 4 unless the file is shorter
    long blocks = 0; // whole blocks
    long trailing_bytes = 0; // bytes after the last whole block
    long bad_check_blocks = 0; // blocks with at least one wrong check byte
};

// Reads a whole package from its start, calling each_block (if set) for every
// whole block in file order. Holds one block at a time.
PackageScan scan_package(std::istream &in,
                         const std::function<void(long index, const PackageBlock &block)> &each_block = {});
