#include "conversation.h"

namespace protocol {

Actions Conversation::on_reply(uint8_t byte)
{
    took_reply = false;
    if (deaf())
        return {};
    Actions actions = track(do_reply(byte));
    took_reply = took_reply || moves_on(actions);
    return actions;
}

Actions Conversation::on_read(std::optional<uint8_t> byte)
{
    if (deaf() || !read_pending)
        return {};
    read_pending = false;
    return track(do_read(byte));
}

Actions Conversation::on_message_closed()
{
    if (has_ended || messages_open == 0)
        return {};
    --messages_open;
    if (failed)
        return messages_open == 0 ? track({Action::end(Outcome::failure)}) : Actions{};
    return track(do_message_closed());
}

Actions Conversation::fail(MessageId message)
{
    failed = true;
    if (!armed)
        return {Action::show(message)};
    return {Action::stop_watchdog(), Action::show(message)};
}

Actions Conversation::track(Actions actions)
{
    for (const Action &a : actions) {
        switch (a.kind) {
        case Action::Kind::arm_watchdog:
            armed = true;
            break;
        case Action::Kind::stop_watchdog:
            armed = false;
            break;
        case Action::Kind::read_byte:
            read_pending = true;
            break;
        case Action::Kind::message:
            ++messages_open;
            break;
        case Action::Kind::end:
            has_ended = true;
            armed = false;
            break;
        default:
            break;
        }
    }
    return actions;
}

} // namespace protocol
