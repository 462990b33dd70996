// The list read from the box's side (the table of the answers is at class
// Box, in box.h).

#include "box_conversations.h"

namespace boxsim {

namespace {

// 'H': the list read's start, the next satellite's request, or the tool's
// start again after its time-out; a record under way is given up.
void ask_number(Outcome &o)
{
    o.point.step = Step::command;
    o.next.phase = Phase::list_await_number;
    o.answer = {'I'};
}

// A byte with no place here: the box answers with its error byte and waits
// for the tool's 'H'.
void refuse(Outcome &o)
{
    o.next.phase = Phase::list_await_request;
    o.answer = {error_byte};
}

void take_number(const Holdings &held, uint8_t b, Outcome &o)
{
    if (!is_satellite(b))
        return refuse(o);
    o.point.step = Step::number;
    o.point.satellite = b;
    o.point.index = 0;
    o.next.phase = Phase::list_record;
    o.next.satellite = b;
    o.next.pos = 0;
    o.answer = {held.records[b - 1][0]};
}

// 0xCC: the next record byte; after the last, nothing, and after satellite
// 199's last the read is over.
void take_ack(const Holdings &held, const State &cur, Outcome &o)
{
    o.point.step = Step::ack;
    o.point.satellite = cur.satellite;
    o.point.index = cur.pos + 1;
    o.next.pos = cur.pos + 1;
    if (o.next.pos < static_cast<int>(box_record_size))
        o.answer = {held.records[cur.satellite - 1][o.next.pos]};
    else if (cur.satellite == satellite_slots)
        complete(o, Conversation::list_read);
    else
        o.next.phase = Phase::list_await_request;
}

} // namespace

void list_read_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    const uint8_t b = turn.value;
    if (turn.opens || (b == open_list_read_byte && (turn.may_open || cur.phase == Phase::list_record)))
        return ask_number(o);
    if (cur.phase == Phase::list_await_number)
        take_number(held, b, o);
    else if (cur.phase == Phase::list_record && b == record_ack_byte)
        take_ack(held, cur, o);
    else if (cur.phase == Phase::list_record)
        refuse(o);
}

} // namespace boxsim
