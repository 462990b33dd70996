#pragma once

#include <cstddef>
#include <cstdint>

// One 546-byte block of a package file: the page address (high byte, low
// byte) and 32 lines of 16 data bytes, each followed by its check byte.
constexpr std::size_t kPackageHeaderSize = 4;
constexpr std::size_t kPackageBlockSize = 546;
constexpr std::size_t kBlockLines = 32;
constexpr std::size_t kLineDataBytes = 16;
constexpr std::size_t kLineBytes = kLineDataBytes + 1;           // with the check byte
constexpr std::size_t kBlockLineBytes = kBlockLines * kLineBytes; // 544
constexpr std::size_t kPageSize = kBlockLines * kLineDataBytes;   // 512

struct PackageBlock {
    uint8_t bytes[kPackageBlockSize];
};
