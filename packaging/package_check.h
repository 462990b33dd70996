#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

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
    // short header, page addresses not a multiple of 512, wrong check bytes,
    // a trailing piece that is not a whole block, no blocks. Empty: sound.
    std::vector<std::string> faults;

    bool sound() const { return !read_error && faults.empty(); }
};

// Reads the package from its start.
PackageCheck check_package(std::istream &in);
