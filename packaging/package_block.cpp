#include "package_block.h"

#include "aes128.h"

#include <cstring>
#include <istream>

const uint8_t package_key[16]
    = {0x5a, 0x1f, 0x0c, 0x93, 0xe2, 0x7b, 0x48, 0xd6, 0xa0, 0x3c, 0x9e, 0x71, 0x5b, 0xd2, 0x4f, 0x86};

uint16_t block_page(const PackageBlock &block)
{
    return static_cast<uint16_t>(block.bytes[0] << 8 | block.bytes[1]);
}

void set_block_page(PackageBlock &block, uint16_t page)
{
    block.bytes[0] = static_cast<uint8_t>(page >> 8);
    block.bytes[1] = static_cast<uint8_t>(page & 0xFF);
}

void reset_block(PackageBlock &block)
{
    set_block_page(block, 0);
    clear_block_lines(block);
}

void clear_block_lines(PackageBlock &block)
{
    std::memset(block.bytes + 2, 0xFF, block_line_bytes);
}

int place_byte(PackageBlock &block, uint16_t address, uint8_t value)
{
    const unsigned offset = static_cast<uint16_t>(address - block_page(block));
    if (offset >= page_size)
        return place_outside_page;
    block.bytes[block_line_pos(offset / line_data_bytes, offset % line_data_bytes)] = value;
    return offset == page_size - 1 ? place_last_of_page : place_stored;
}

uint8_t check_byte(const uint8_t line[line_data_bytes])
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < line_data_bytes; ++i)
        sum += line[i];
    return static_cast<uint8_t>(256 - sum % 256);
}

void seal_block(PackageBlock &block)
{
    aes128_encrypt_block(block.bytes + block_line_pos(0), package_key);
    for (std::size_t k = 0; k < block_lines; ++k)
        block.bytes[block_line_pos(k, line_data_bytes)] = check_byte(block.bytes + block_line_pos(k));
}

bool write_block(PackageBlock &block, const PackageSink &sink)
{
    seal_block(block);
    return sink(reinterpret_cast<const char *>(block.bytes), package_block_size);
}

uint32_t bad_check_lines(const PackageBlock &block)
{
    uint32_t bad = 0;
    for (std::size_t k = 0; k < block_lines; ++k) {
        if (block.bytes[block_line_pos(k, line_data_bytes)] != check_byte(block.bytes + block_line_pos(k)))
            bad |= uint32_t(1) << k;
    }
    return bad;
}

int read_package_header(std::istream &in, FirmwareConfig &config)
{
    char header[package_header_size];
    in.read(header, package_header_size);
    const auto got = static_cast<int>(in.gcount());
    std::memcpy(config.bytes, header, std::size_t(got));
    return got;
}

bool read_package_block(std::istream &in, PackageBlock &block)
{
    in.read(reinterpret_cast<char *>(block.bytes), package_block_size);
    return in.gcount() == static_cast<std::streamsize>(package_block_size);
}

PackageScan scan_package(std::istream &in, const std::function<void(long, const PackageBlock &)> &each_block)
{
    PackageScan scan;
    scan.header_bytes = read_package_header(in, scan.header);
    PackageBlock block;
    while (read_package_block(in, block)) {
        if (bad_check_lines(block) != 0)
            ++scan.bad_check_blocks;
        if (each_block)
            each_block(scan.blocks, block);
        ++scan.blocks;
    }
    scan.trailing_bytes = static_cast<long>(in.gcount());
    return scan;
}
