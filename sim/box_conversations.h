#pragma once

// The box's side of the conversations: where the box stands (State), what it
// holds (Holdings), and what one received byte does (Outcome). Each
// conversation has a step function of its own in a file of its own
// (box_limits.cpp, box_list_read.cpp, box_list_write.cpp, box_update.cpp);
// step() in box_dispatch.cpp opens conversations and hands every other byte
// to the one under way. Used inside the simulated box only: box_sim.h does
// not include it.

#include "box_data.h"
#include "box_faults.h"

#include <array>
#include <optional>
#include <utility>

namespace boxsim {

// The bytes that open the conversations ('H' also asks for the next satellite).
constexpr uint8_t open_limits_read_byte = 'b';
constexpr uint8_t open_limits_write_byte = 'd';
constexpr uint8_t open_list_read_byte = 'H';
constexpr uint8_t open_list_write_byte = 'J';
constexpr uint8_t open_update_byte = 'E';

constexpr uint8_t error_byte = 0xEF; // list read: error; list write: resend request
constexpr uint8_t record_ack_byte = 0xCC; // list read: the next record byte, please
constexpr int list_write_end_number = satellite_slots + 1; // list write: the number that ends it
constexpr uint8_t go_on_byte = 'Y'; // update: header accepted, or block taken: the next block, please

using LimitBytes = std::array<uint8_t, limit_byte_count>;

// What the box holds before anything is set.
constexpr LimitBytes default_limits{0x18, 0xFC, 0xE8, 0x03}; // WEST -1000, EAST 1000
constexpr std::array<uint8_t, limit_byte_count> default_write_requests{0, 1, 2,
                                                                       3}; // and end byte limit_byte_count
constexpr uint8_t default_final_verdict = 'S';

// The data and scripts the conversations answer from.
struct Holdings {
    LimitBytes limits = default_limits;
    Bytes write_requests{default_write_requests.begin(), default_write_requests.end()};
    uint8_t write_end = limit_byte_count; // the first index past the limit bytes
    std::vector<Record> records = default_records();
    uint8_t header_verdict = go_on_byte;
    uint8_t final_verdict = default_final_verdict;
    int extra_p = 0;
};

enum class Phase : uint8_t {
    rest,
    limits_counts, // 'c' and a limit byte sent; counts awaited
    limits_bytes, // an index request sent; its limit byte awaited
    list_await_request, // list read between satellites, or after 0xEF: 'H' goes on
    list_await_number, // 'I' sent
    list_record, // record byte `pos` of `satellite` sent; 0xCC awaited
    write_await_number, // 'M' sent
    write_record, // 'L' sent; `pos` record bytes in
    update_await_r, // 'P' sent
    update_header, // 'Q' sent; `pos` header bytes in
    update_await_block, // 'Y' sent
    update_await_address, // '_' sent
    update_line, // line `line` of the block; `pos` bytes of it in
    update_done, // final verdict sent; '[' again gets it again
};

// Where the box stands in the conversations. Small enough to copy per byte,
// so that a byte can be looked at before the box commits to it.
struct State {
    Conversation conversation = Conversation::none;
    Phase phase = Phase::rest;
    int nth = 0; // bytes of the conversation so far, the opening one included
    std::size_t requests_sent = 0; // limits write: index requests sent before this one
    int satellite = 0; // list read and write
    int pos = 0; // the byte of the record, header or line that comes next
    int line = 0; // update: the line of the block under way
    int extra_p_left = 0; // update: 'R's still to answer 'P'
    int blocks_started = 0; // update
    uint8_t address = 0; // update: the block's address high byte
    Record record{}; // list write: the record under way
    std::array<uint8_t, header_size> header{};
    std::array<uint8_t, block_line_bytes> block{};
};

// What a byte changes in what the box holds and counts.
struct Effects {
    std::optional<std::pair<int, uint8_t>> limit; // index, value
    std::optional<std::pair<int, Record>> record; // list write, as the tool sent it
    std::optional<std::array<uint8_t, header_size>> header;
    std::optional<ReceivedBlock> block;
    bool line_accepted = false;
    bool line_rejected = false;
    bool new_update = false;
    std::optional<Conversation> completed;
};

struct Outcome {
    State next;
    Point point;
    Bytes answer; // each byte its own arrival, `gap` apart
    Effects effects;
};

// A received byte, as the box takes it.
struct Incoming {
    uint8_t value = 0;
    bool after_quiet = false; // the line was quiet for `resend_quiet` before it
    bool reject_line = false; // update: a complete line gets 'U' whatever its check byte
};

// A received byte as the dispatcher hands it to a conversation's step.
struct Turn {
    uint8_t value = 0;
    bool opens = false; // it opens the conversation: the step gives the opening answer
    bool may_open = false; // a command byte opens (or, 'H', goes on with) a conversation here
    bool after_quiet = false;
    bool reject_line = false;
};

// The whole of a received byte's meaning: opens a conversation or hands the
// byte to the one under way.
Outcome step(const Holdings &held, const State &cur, const Incoming &in);

// Each conversation's step, and each phase's part of one.
using StepFunction = void (*)(const Holdings &held, const State &cur, const Turn &turn, Outcome &o);

// Each conversation's step. `o` comes with o.next = cur, or a fresh State of
// the conversation where `turn.opens`, the byte counted in o.next.nth, and
// o.point's conversation and nth set; the step fills in the rest.
void limits_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o);
void list_read_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o);
void list_write_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o);
void update_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o);

// A satellite's number, 1..199.
inline bool is_satellite(uint8_t b)
{
    return b >= 1 && b <= satellite_slots;
}

// Ends the conversation `c` with the byte: the box is at rest again.
void complete(Outcome &o, Conversation c);

// A record as the tool sent it, turned into the order the box sends it in.
Record box_order(const Record &tool_order);

} // namespace boxsim
