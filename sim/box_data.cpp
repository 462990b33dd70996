#include "box_conversations.h"

#include <algorithm>

namespace boxsim {

namespace {
// Where a record's fields stand after the name: the position's two bytes
// (high first from the box, low first from the tool), horizontal, vertical.
constexpr std::size_t position_at = name_field_size;
constexpr std::size_t horizontal_at = position_at + 2;
constexpr std::size_t vertical_at = horizontal_at + 1;
} // namespace

Record box_record(const std::string &name, int16_t position, int8_t vertical, int8_t horizontal)
{
    Record r{};
    std::copy_n(name.begin(), std::min(name.size(), name_field_size), r.begin());
    const auto pos = static_cast<uint16_t>(position);
    r[position_at] = static_cast<uint8_t>(pos >> 8);
    r[position_at + 1] = static_cast<uint8_t>(pos & 0xFF);
    r[horizontal_at] = static_cast<uint8_t>(horizontal);
    r[vertical_at] = static_cast<uint8_t>(vertical);
    return r;
}

ToolRecordFields decode_tool_record(const Record &r)
{
    ToolRecordFields f;
    const auto name_end = std::find(r.begin(), r.begin() + name_field_size, uint8_t{0});
    f.name.assign(r.begin(), name_end);
    f.position = static_cast<int16_t>(r[position_at] | (r[position_at + 1] << 8));
    f.horizontal = static_cast<int8_t>(r[horizontal_at]);
    f.vertical = static_cast<int8_t>(r[vertical_at]);
    return f;
}

Record box_order(const Record &tool_order)
{
    Record r = tool_order;
    std::swap(r[position_at], r[position_at + 1]);
    return r;
}

std::vector<Record> default_records()
{
    std::vector<Record> records;
    records.reserve(satellite_slots);
    for (int k = 1; k <= satellite_slots; ++k)
        records.push_back(box_record("Sat " + std::to_string(k), static_cast<int16_t>(10 * k),
                                     static_cast<int8_t>(k % 90), static_cast<int8_t>(k % 33 - 16)));
    return records;
}

} // namespace boxsim
