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
    o.next.phase = Phase::UpdateAwaitR;
    o.next.extra_p_left = held.extra_p;
    o.effects.new_update = true;
    o.answer = {'P'};
}

void take_confirm(const Holdings &, const State &cur, const Turn &turn, Outcome &o)
{
    if (turn.value != 'R') {
        o.answer = {'P'};
    } else if (cur.extra_p_left > 0) {
        o.point.step = Step::Confirm;
        o.next.extra_p_left = cur.extra_p_left - 1;
        o.answer = {'P'};
    } else {
        o.point.step = Step::Confirm;
        o.next.phase = Phase::UpdateHeader;
        o.next.pos = 0;
        o.answer = {'Q'};
    }
}

void take_header_byte(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    o.point.step = Step::Header;
    o.point.index = cur.pos;
    o.next.header[static_cast<std::size_t>(cur.pos)] = turn.value;
    o.next.pos = cur.pos + 1;
    if (o.next.pos < static_cast<int>(header_size))
        return;
    o.effects.header = o.next.header;
    o.answer = {held.header_verdict};
    if (held.header_verdict == go_on_byte)
        o.next.phase = Phase::UpdateAwaitBlock;
    else
        complete(o, Conversation::Update);
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
    o.point.step = Step::BlockStart;
    o.point.block = cur.blocks_started;
    if (b == 'a') {
        o.next.blocks_started = cur.blocks_started + 1;
        o.next.phase = Phase::UpdateAwaitAddress;
        o.answer = {'_'};
    } else {
        o.answer = {held.final_verdict};
        o.effects.completed = Conversation::Update;
        o.next.phase = Phase::UpdateDone;
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
            o.point.step = Step::BlockStart;
        o.answer = {'_'};
        return;
    }
    o.point.step = Step::Address;
    o.next.address = b;
    o.next.phase = Phase::UpdateLine;
    o.next.line = 0;
    o.next.pos = 0;
    o.answer = {'^'};
}

void take_line_byte(const Holdings &, const State &cur, const Turn &turn, Outcome &o)
{
    o.point.step = Step::LineByte;
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
        o.next.phase = Phase::UpdateAwaitBlock;
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
    o.point.step = Step::BlockStart;
    o.point.block = cur.blocks_started;
    o.answer = {held.final_verdict};
}

// Which part of the step takes a byte in which phase.
struct PhaseTake {
    Phase phase;
    StepFunction take;
};
constexpr PhaseTake phase_takes[] = {
    {Phase::UpdateAwaitR, take_confirm},         {Phase::UpdateHeader, take_header_byte},
    {Phase::UpdateAwaitBlock, take_block_start}, {Phase::UpdateAwaitAddress, take_address},
    {Phase::UpdateLine, take_line_byte},         {Phase::UpdateDone, take_final_again},
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
