#pragma once

// What the box holds and receives: soft limits, satellite records and update
// data, with the sizes the line gives them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boxsim {

constexpr std::size_t limit_byte_count = 4; // WEST lo, hi, EAST lo, hi
constexpr int satellite_slots = 199;
constexpr std::size_t box_record_size = 20;
constexpr std::size_t name_field_size = 16; // a record's first bytes; then position, horizontal, vertical
constexpr std::size_t header_size = 4;
constexpr std::size_t stored_line_bytes = 17;
constexpr std::size_t block_lines = 32;
constexpr std::size_t block_line_bytes = stored_line_bytes * block_lines; // 544

using Record = std::array<uint8_t, box_record_size>;

// A record as the box sends it: name (up to 16 bytes, zero padded), position
// high byte first, horizontal, vertical.
Record box_record(const std::string &name, int16_t position, int8_t vertical, int8_t horizontal);

// The fields of a record as the tool sends it (position low byte first).
struct ToolRecordFields {
    std::string name; // bytes up to the first zero (at most 16)
    int16_t position = 0;
    int8_t vertical = 0;
    int8_t horizontal = 0;
};
ToolRecordFields decode_tool_record(const Record &r);

// The 199 records the box holds before any list write: satellite k named
// "Sat k", position 10·k, vertical k % 90, horizontal (k % 33) − 16. No byte
// of them is 0xEF (the tool would take it for the error byte).
std::vector<Record> default_records();

struct ReceivedBlock {
    uint8_t address_high = 0;
    std::array<uint8_t, block_line_bytes> lines{}; // the 32 lines as accepted
};

} // namespace boxsim
