#include "package_check.h"

#include <istream>

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
    for (std::size_t index = 0; index < check.blocks.size(); ++index) {
        if (check.blocks[index].page % page_size != 0)
            check.faults.push_back("block " + std::to_string(index)
                                   + ": page address is not a multiple of 512");
    }
    if (scan.bad_check_blocks != 0)
        check.faults.push_back("check bytes wrong in " + std::to_string(scan.bad_check_blocks) + " blocks");
    if (scan.trailing_bytes != 0)
        check.faults.push_back("a trailing piece of " + std::to_string(scan.trailing_bytes)
                               + " bytes that is not a whole block");
    // A file cut inside its header has no blocks either; the header fault says it all.
    if (scan.blocks == 0 && whole_header)
        check.faults.push_back("no blocks");
    return check;
}
