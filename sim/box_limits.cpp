// The soft limits, read and written, from the box's side (the table of the
// answers is at class Box, in box.h).

#include "box_conversations.h"

namespace boxsim {

namespace {

void open_limits(const Holdings &held, Outcome &o)
{
    if (o.next.conversation == Conversation::limits_read) {
        o.next.phase = Phase::limits_counts;
        o.answer = {'c', held.limits[0]};
    } else if (held.write_requests.empty()) {
        o.answer = {'e', held.write_end};
        complete(o, Conversation::limits_write);
    } else {
        o.next.phase = Phase::limits_bytes;
        o.answer = {'e', held.write_requests[0]};
    }
}

// The tool's count asks for limit byte `count`; the count past the last ends
// the read.
void take_count(const Holdings &held, uint8_t count, Outcome &o)
{
    if (count < 1 || count > limit_byte_count)
        return;
    o.point.step = Step::count;
    o.point.index = count;
    if (count < limit_byte_count)
        o.answer = {held.limits[count]};
    else
        complete(o, Conversation::limits_read);
}

// The limit byte the last request asked for: stored where it is a limit byte,
// answered with the next request or the end byte.
void take_limit_byte(const Holdings &held, const State &cur, uint8_t b, Outcome &o)
{
    const Bytes &requests = held.write_requests;
    const uint8_t index = cur.requests_sent < requests.size() ? requests[cur.requests_sent] : held.write_end;
    o.point.step = Step::limit_byte;
    o.point.index = index;
    if (index < limit_byte_count)
        o.effects.limit = std::make_pair(int{index}, b);
    o.next.requests_sent = cur.requests_sent + 1;
    if (o.next.requests_sent < requests.size()) {
        o.answer = {requests[o.next.requests_sent]};
    } else {
        o.answer = {held.write_end};
        complete(o, Conversation::limits_write);
    }
}

} // namespace

void limits_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    if (turn.opens)
        open_limits(held, o);
    else if (cur.phase == Phase::limits_counts)
        take_count(held, turn.value, o);
    else if (cur.phase == Phase::limits_bytes)
        take_limit_byte(held, cur, turn.value, o);
}

} // namespace boxsim
