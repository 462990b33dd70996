// The dispatcher: where a received byte opens a conversation, and which
// conversation's step takes it otherwise.

#include "box_conversations.h"

namespace boxsim {

namespace {

// Phases where a command byte opens its conversation whatever the quiet
// before it.
bool open_to_commands(Phase phase)
{
    return phase == Phase::rest || phase == Phase::limits_counts || phase == Phase::list_await_request
        || phase == Phase::update_done;
}

// Phases where the box awaits data from the tool, outside an update.
bool awaits_data(Phase phase)
{
    return phase == Phase::limits_bytes || phase == Phase::list_await_number || phase == Phase::list_record
        || phase == Phase::write_await_number || phase == Phase::write_record;
}

// The dispatcher's table: the byte that opens each conversation, and the step
// that plays it.
struct Player {
    uint8_t opening;
    Conversation conversation;
    StepFunction step;
};
constexpr Player players[] = {
    {open_limits_read_byte, Conversation::limits_read, limits_step},
    {open_limits_write_byte, Conversation::limits_write, limits_step},
    {open_list_read_byte, Conversation::list_read, list_read_step},
    {open_list_write_byte, Conversation::list_write, list_write_step},
    {open_update_byte, Conversation::update, update_step},
};

// The conversation command byte `b` opens; an 'H' within a list read goes on
// with it instead (the list read's step takes it).
Conversation opened_by(uint8_t b, Conversation under_way)
{
    if (b == open_list_read_byte && under_way == Conversation::list_read)
        return Conversation::none;
    for (const Player &player : players) {
        if (player.opening == b)
            return player.conversation;
    }
    return Conversation::none;
}

} // namespace

void complete(Outcome &o, Conversation c)
{
    o.effects.completed = c;
    o.next = State{};
}

Outcome step(const Holdings &held, const State &cur, const Incoming &in)
{
    Outcome o;
    o.next = cur;

    // The tool answers a box byte within milliseconds, while its resends and
    // new flows come after its 2000 ms watchdog or a button press. So where
    // the box awaits data, a command byte after a long quiet is a command.
    // Not in an update, whose watchdog resends line bytes of any value.
    Turn turn;
    turn.value = in.value;
    turn.may_open = open_to_commands(cur.phase) || (awaits_data(cur.phase) && in.after_quiet);
    turn.after_quiet = in.after_quiet;
    turn.reject_line = in.reject_line;
    const Conversation opens = turn.may_open ? opened_by(in.value, cur.conversation) : Conversation::none;
    turn.opens = opens != Conversation::none;

    if (turn.opens) {
        o.next = State{};
        o.next.conversation = opens;
        o.point.step = Step::command;
    } else if (cur.phase == Phase::rest) {
        return o; // a byte with no meaning at rest: ignored
    }
    o.next.nth += 1;
    o.point.conversation = o.next.conversation;
    o.point.nth = o.next.nth;

    for (const Player &player : players) {
        if (player.conversation == o.next.conversation)
            player.step(held, cur, turn, o);
    }
    return o;
}

} // namespace boxsim
