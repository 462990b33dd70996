#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <QByteArray>

#include "package_block.h"

// A package file read whole and judged: what vr20-pack info shows and what
// vr20-box checks before an update touches the box.
struct PackageCheck {
    struct Block {
        uint16_t page = 0; // page address
        uint32_t bad_lines = 0; // bit k: line k's check byte does not hold
    };
    PackageScan scan;
    std::vector<Block> blocks; // in file order
    bool read_error = false; // the stream failed (not just ended)
    // Why the package must not be sent, one reason a line, in the order:
    // short header, unknown product or MCU code, page addresses not a
    // multiple of 512 or in the range the builder moves, wrong check bytes,
    // a trailing piece that is not a whole block, no blocks. Empty: sound.
    std::vector<std::string> faults;
    // What may still be sent: pages that appear in more than one block.
    std::vector<std::string> warnings;

    bool sound() const { return !read_error && faults.empty(); }
};

// Reads the package from its start.
PackageCheck check_package(std::istream &in);
PackageCheck check_package(const QByteArray &package);

// One line for each page that appears in more than one of `pages` (block
// pages in file order), naming its blocks. The builder makes such packages
// from images whose records come back to a page; whether the bootloader keeps
// the first block's bytes is not known.
std::vector<std::string> repeated_pages(const std::vector<uint16_t> &pages);
