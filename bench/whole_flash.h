#pragma once

// The firmware package the update benchmarks send: an image with a byte for
// every address from 0x3200 to 0xFFFF (103 blocks), built as vr20-pack
// builds one.

#include <cstddef>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "package_builder.h"

namespace bench {

// The image as S-records, with its configuration record; the same every time.
inline std::string whole_flash_image()
{
    std::ostringstream image;
    auto record = [&](unsigned address, const std::vector<unsigned> &data) {
        unsigned sum = unsigned(data.size() + 3) + (address >> 8) + (address & 0xFF);
        char text[16];
        std::snprintf(text, sizeof text, "S1%02X%04X", unsigned(data.size() + 3), address);
        image << text;
        for (unsigned b : data) {
            std::snprintf(text, sizeof text, "%02X", b);
            image << text;
            sum += b;
        }
        std::snprintf(text, sizeof text, "%02X\n", ~sum & 0xFF);
        image << text;
    };
    record(0x3100, {0x32, 0x67, 0x01, 0x00});
    unsigned seed = 12345;
    for (unsigned address = 0x3200; address < 0x10000; address += 16) {
        std::vector<unsigned> data;
        for (int i = 0; i < 16; ++i) {
            seed = seed * 1103515245 + 12345;
            data.push_back((seed >> 16) & 0xFF);
        }
        record(address, data);
    }
    image << "S9030000FC\n";
    return image.str();
}

// The package file's bytes: the header, then the blocks.
inline std::string whole_flash_package_bytes()
{
    std::istringstream image(whole_flash_image());
    std::string bytes;
    PackageBuilder builder;
    builder.build(
        image,
        [&](const char *data, std::size_t size) {
            bytes.append(data, size);
            return true;
        },
        FirmwareConfig{});
    return bytes;
}

} // namespace bench
