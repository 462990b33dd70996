// The list read from the box's side (the table of the answers is at class
// Box, in box.h).

#include "box_conversations.h"

namespace boxsim {

namespace {

// 'H': the list read's start, the next satellite's request, or the tool's
// start again after its time-out; a record under way is given up.
void ask_number(Outcome &o)
{
    o.point.step = Step::Command;
    o.next.phase = Phase::ListAwaitNumber;
    o.answer = {'I'};
}

// A byte with no place here: the box answers with its error byte and waits
// for the tool's 'H'.
void refuse(Outcome &o)
{
    o.next.phase = Phase::ListAwaitRequest;
    o.answer = {error_byte};
}

void take_number(const Holdings &held, uint8_t b, Outcome &o)
{
    if (!is_satellite(b))
        return refuse(o);
    o.point.step = Step::Number;
    o.point.satellite = b;
    o.point.index = 0;
    o.next.phase = Phase::ListRecord;
    o.next.satellite = b;
    o.next.pos = 0;
    o.answer = {held.records[b - 1][0]};
}

// 0xCC: the next record byte; after the last, nothing, and after satellite
// 199's last the read is over.
void take_ack(const Holdings &held, const State &cur, Outcome &o)
{
    o.point.step = Step::Ack;
    o.point.satellite = cur.satellite;
    o.point.index = cur.pos + 1;
    o.next.pos = cur.pos + 1;
    if (o.next.pos < static_cast<int>(box_record_size))
        o.answer = {held.records[cur.satellite - 1][o.next.pos]};
    else if (cur.satellite == satellite_slots)
        complete(o, Conversation::ListRead);
    else
        o.next.phase = Phase::ListAwaitRequest;
}

} // namespace

void list_read_step(const Holdings &held, const State &cur, const Turn &turn, Outcome &o)
{
    const uint8_t b = turn.value;
    if (turn.opens || (b == open_list_read_byte && (turn.may_open || cur.phase == Phase::ListRecord)))
        return ask_number(o);
    if (cur.phase == Phase::ListAwaitNumber)
        take_number(held, b, o);
    else if (cur.phase == Phase::ListRecord && b == record_ack_byte)
        take_ack(held, cur, o);
    else if (cur.phase == Phase::ListRecord)
        refuse(o);
}

} // namespace boxsim
