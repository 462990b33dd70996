#pragma once

#include <array>
#include <cstdint>

// The EAST/WEST soft limits on the wire: each a 16-bit two's-complement value,
// low byte first, WEST before EAST.
namespace soft_limits {

constexpr int16_t lowest = -5000;
constexpr int16_t highest = 5000;

enum class Check { ok, out_of_range, wrong_order };

// Range first (either limit), then order: WEST must lie strictly below EAST.
constexpr Check validate(int16_t west, int16_t east)
{
    auto in_range = [](int16_t v) { return v >= lowest && v <= highest; };
    if (!in_range(west) || !in_range(east))
        return Check::out_of_range;
    return west < east ? Check::ok : Check::wrong_order;
}

constexpr std::array<uint8_t, 4> encode(int16_t west, int16_t east)
{
    const auto w = static_cast<uint16_t>(west);
    const auto e = static_cast<uint16_t>(east);
    return {uint8_t(w & 0xFF), uint8_t(w >> 8), uint8_t(e & 0xFF), uint8_t(e >> 8)};
}

constexpr int16_t decode(uint8_t low, uint8_t high)
{
    return static_cast<int16_t>(static_cast<uint16_t>(high << 8 | low));
}

} // namespace soft_limits
