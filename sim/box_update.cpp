// The update from the box's side (the table of the answers is at class Box,
// in box.h).

#include "box_conversations.h"

namespace boxsim {

namespace {

bool checksum_ok(const uint8_t *line)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < stored_line_bytes; ++i)
        sum += line[i];
    return (sum & 0xFF) == 0;
}

void open_update(const Holdings &held, Outcome &o)
{
    o.next.phase = Phase::update_await_r;
    o.next.extra_p_left = held.extra_p;
    o.effects.new_update = true;
    o.answer = {'P'};
}

void take_confirm(const Holdings &, const State &cur, const Turn &turn, Outcome &o)
{
    if (turn.value != 'R') {
        o.answer = {'P'};
    } else if (cur.extra_p_left > 0) {
        o.point.step = Step::confirm;
        o.next.extra_p_left = cur.extra_p_left - 1;
        o.answer = {'P'};
    } else {
        o.point.step = Step::confirm;
        o.next.phase = Phase::update_header;
        o.next.pos = 0;
        o.answer = {'Q'};
    }
}

void take_header_byte(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    o.point.step = Step::header;
    o.point.index = cur.pos;
    o.next.header[static_cast<std::size_t>(cur.pos)] = turn.value;
    o.next.pos = cur.pos + 1;
    if (o.next.pos < static_cast<int>(header_size))
        return;
    o.effects.header = o.next.header;
    o.answer = {held.header_verdict};
    if (held.header_verdict == go_on_byte)
        o.next.phase = Phase::update_await_block;
    else
        complete(o, Conversation::update);
}

// 'a' asks for a block, '[' for the final verdict; anything else gets 'Y'
// again.
void take_block_start(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    const uint8_t b = turn.value;
    if (b != 'a' && b != '[') {
        o.answer = {go_on_byte};
        return;
    }
    o.point.step = Step::block_start;
    o.point.block = cur.blocks_started;
    if (b == 'a') {
        o.next.blocks_started = cur.blocks_started + 1;
        o.next.phase = Phase::update_await_address;
        o.answer = {'_'};
    } else {
        o.answer = {held.final_verdict};
        o.effects.completed = Conversation::update;
        o.next.phase = Phase::update_done;
    }
}

void take_address(const Holdings &, const State &cur, const Turn &turn, Outcome &o)
{
    const uint8_t b = turn.value;
    o.point.block = cur.blocks_started - 1;
    if (b & 1) {
        // Page addresses are multiples of 512, so their high byte is even:
        // an odd byte is the tool's 'a' again (it missed the '_').
        if (b == 'a')
            o.point.step = Step::block_start;
        o.answer = {'_'};
        return;
    }
    o.point.step = Step::address;
    o.next.address = b;
    o.next.phase = Phase::update_line;
    o.next.line = 0;
    o.next.pos = 0;
    o.answer = {'^'};
}

void take_line_byte(const Holdings &, const State &cur, const Turn &turn, Outcome &o)
{
    o.point.step = Step::line_byte;
    o.point.block = cur.blocks_started - 1;
    o.point.line = cur.line;
    o.point.index = cur.pos;
    uint8_t *line = o.next.block.data() + stored_line_bytes * static_cast<std::size_t>(cur.line);
    line[cur.pos] = turn.value;
    o.next.pos = cur.pos + 1;
    if (o.next.pos < static_cast<int>(stored_line_bytes)) {
        o.answer = {'^'};
        return;
    }
    o.next.pos = 0;
    if (turn.reject_line || !checksum_ok(line)) {
        o.effects.line_rejected = true;
        o.answer = {'U', '^'};
    } else if (cur.line + 1 == static_cast<int>(block_lines)) {
        o.effects.line_accepted = true;
        ReceivedBlock done;
        done.address_high = cur.address;
        done.lines = o.next.block;
        o.effects.block = done;
        o.next.phase = Phase::update_await_block;
        o.answer = {'T', go_on_byte};
    } else {
        o.effects.line_accepted = true;
        o.next.line = cur.line + 1;
        o.answer = {'T', '^'};
    }
}

// After the final verdict, '[' again gets it again.
void take_final_again(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    if (turn.value != '[')
        return;
    o.point.step = Step::block_start;
    o.point.block = cur.blocks_started;
    o.answer = {held.final_verdict};
}

// Which part of the step takes a byte in which phase.
struct PhaseTake {
    Phase phase;
    StepFunction take;
};
constexpr PhaseTake phase_takes[] = {
    {Phase::update_await_r, take_confirm},         {Phase::update_header, take_header_byte},
    {Phase::update_await_block, take_block_start}, {Phase::update_await_address, take_address},
    {Phase::update_line, take_line_byte},          {Phase::update_done, take_final_again},
};

} // namespace

void update_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    if (turn.opens)
        return open_update(held, o);
    for (const PhaseTake &t : phase_takes) {
        if (t.phase == cur.phase)
            t.take(held, cur, turn, o);
    }
}

} // namespace boxsim
