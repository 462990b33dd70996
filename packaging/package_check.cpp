#include "package_check.h"

#include <cstdio>
#include <istream>
#include <map>
#include <sstream>

namespace {

std::string hex(unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

} // namespace

PackageCheck check_package(std::istream &in)
{
    PackageCheck check;
    check.scan = scan_package(in, [&check](long, const PackageBlock &block) {
        check.blocks.push_back({block_page(block), bad_check_lines(block)});
    });
    check.read_error = in.bad();

    const PackageScan &scan = check.scan;
    const bool whole_header = scan.header_bytes == int(package_header_size);
    if (!whole_header)
        check.faults.push_back("shorter than the 4-byte header");
    if (whole_header) {
        // A code without a name is no product or MCU the box can be.
        const FirmwareConfigText text = decode_fw_config(scan.header);
        if (text.model.isEmpty())
            check.faults.push_back("unknown product code " + hex(scan.header.bytes[3], 2) + " in the header");
        if (text.mcu.isEmpty())
            check.faults.push_back("unknown MCU code " + hex(scan.header.bytes[2], 2) + " in the header");
    }
    std::vector<uint16_t> pages;
    for (std::size_t index = 0; index < check.blocks.size(); ++index) {
        const uint16_t page = check.blocks[index].page;
        pages.push_back(page);
        if (page % page_size != 0)
            check.faults.push_back("block " + std::to_string(index)
                                   + ": page address is not a multiple of 512");
        else if (page >= shadow_first && page <= shadow_last)
            check.faults.push_back("block " + std::to_string(index) + ": page " + hex(page, 4)
                                   + " lies in 0x8000-0x9FFF, which the builder moves to 0xA000-0xBFFF");
    }
    if (scan.bad_check_blocks != 0)
        check.faults.push_back("check bytes wrong in " + std::to_string(scan.bad_check_blocks) + " blocks");
    if (scan.trailing_bytes != 0)
        check.faults.push_back("a trailing piece of " + std::to_string(scan.trailing_bytes)
                               + " bytes that is not a whole block");
    // A file cut inside its header has no blocks either; the header fault says it all.
    if (scan.blocks == 0 && whole_header)
        check.faults.push_back("no blocks");
    check.warnings = repeated_pages(pages);
    return check;
}

PackageCheck check_package(const QByteArray &package)
{
    std::istringstream in(package.toStdString());
    return check_package(in);
}

std::vector<std::string> repeated_pages(const std::vector<uint16_t> &pages)
{
    std::map<uint16_t, std::vector<std::size_t>> blocks_of;
    for (std::size_t index = 0; index < pages.size(); ++index)
        blocks_of[pages[index]].push_back(index);
    std::vector<std::string> lines;
    for (const auto &[page, blocks] : blocks_of) {
        if (blocks.size() < 2)
            continue;
        std::string line = "page " + hex(page, 4) + " appears in blocks";
        for (const std::size_t index : blocks)
            line += " " + std::to_string(index);
        lines.push_back(line + ": whether the bootloader keeps the first block's bytes is not known");
    }
    return lines;
}
