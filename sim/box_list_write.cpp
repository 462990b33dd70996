// The list write from the box's side (the table of the answers is at class
// Box, in box.h).

#include "box_conversations.h"

namespace boxsim {

namespace {

void take_number(uint8_t b, Outcome &o)
{
    if (is_satellite(b)) {
        o.point.step = Step::number;
        o.point.satellite = b;
        o.next.phase = Phase::write_record;
        o.next.satellite = b;
        o.next.pos = 0;
        o.answer = {'L'};
    } else if (b == list_write_end_number) {
        o.point.step = Step::number;
        o.point.satellite = b;
        complete(o, Conversation::list_write);
    } else if (b == error_byte) {
        o.point.step = Step::resend;
        o.answer = {'M'};
    }
}

// A record byte; or, after a long quiet, 0xEF: the tool's time-out's resend
// request (it sends its record bytes 5 ms apart, and a prompt 0xEF is data).
void take_record_byte(const State &cur, const Turn &turn, Outcome &o)
{
    o.point.satellite = cur.satellite;
    if (turn.value == error_byte && turn.after_quiet) {
        o.point.step = Step::resend;
        o.next.pos = 0;
        o.answer = {'L'};
        return;
    }
    o.point.step = Step::record_byte;
    o.point.index = cur.pos;
    o.next.record[static_cast<std::size_t>(cur.pos)] = turn.value;
    o.next.pos = cur.pos + 1;
    if (o.next.pos == static_cast<int>(box_record_size)) {
        o.effects.record = std::make_pair(cur.satellite, o.next.record);
        o.next.phase = Phase::write_await_number;
        o.answer = {'M'};
    }
}

} // namespace

void list_write_step(const Holdings &, const State &cur, const Turn &turn, Outcome &o)
{
    if (turn.opens) {
        o.next.phase = Phase::write_await_number;
        o.answer = {'K', 'M'};
    } else if (cur.phase == Phase::write_await_number) {
        take_number(turn.value, o);
    } else if (cur.phase == Phase::write_record) {
        take_record_byte(cur, turn, o);
    }
}

} // namespace boxsim
