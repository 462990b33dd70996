#include "action_runner.h"

namespace protocol {

ActionRunner::ActionRunner(FrontEnd &front)
    : front(front)
{ }

ActionRunner::Halt ActionRunner::start(Conversation &c)
{
    drop();
    conversation = &c;
    return perform(c.start());
}

void ActionRunner::drop()
{
    conversation = nullptr;
    ++generation;
    is_listening = false;
    held.clear();
}

ActionRunner::Halt ActionRunner::feed(const LineEvent &event)
{
    if (!conversation)
        return Halt::none;
    if (is_performing) {
        held.push_back(event);
        return Halt::none;
    }
    if (!front.still_current(event))
        return Halt::none;
    return perform(deliver(event));
}

Actions ActionRunner::deliver(const LineEvent &event)
{
    switch (event.kind) {
    case LineEvent::Kind::reply:
        // Before the conversation listens, a byte is nobody's answer.
        return is_listening ? conversation->on_reply(event.byte) : Actions{};
    case LineEvent::Kind::silence:
        return conversation->on_silence();
    case LineEvent::Kind::line_lost:
        return conversation->on_line_lost();
    }
    return {};
}

ActionRunner::Halt ActionRunner::perform(Actions actions)
{
    using Kind = Action::Kind;
    const unsigned mine = generation;
    const bool outer = !is_performing;
    is_performing = true;
    Halt halt = Halt::none;
    std::size_t next = 0;
    const auto put_first = [&](const Actions &more) {
        actions.insert(actions.begin() + std::ptrdiff_t(next), more.begin(), more.end());
    };
    // A step the line could not take ends the conversation on this front end.
    const auto line_failed = [&](LineResult result) {
        halt = result == LineResult::stopped ? Halt::stopped : Halt::line_lost;
        drop();
    };
    while (next < actions.size() && generation == mine) {
        const Action a = std::move(actions[next++]);
        switch (a.kind) {
        case Kind::clear_port:
            front.clear();
            break;
        case Kind::listen:
            is_listening = true;
            front.listen();
            break;
        case Kind::send:
            switch (const LineResult sent = front.send(a.byte, a.wait)) {
            case LineResult::ok:
                break;
            case LineResult::timed_out:
                put_first(conversation->on_send_failed());
                break;
            default:
                line_failed(sent);
            }
            break;
        case Kind::pause:
            if (const LineResult paused = front.pause(milliseconds(a.value)); paused != LineResult::ok)
                line_failed(paused);
            break;
        case Kind::read_byte: {
            uint8_t byte = 0;
            switch (const LineResult read = front.read_byte(milliseconds(a.value), byte)) {
            case LineResult::ok:
                put_first(conversation->on_read(byte));
                break;
            case LineResult::timed_out:
                put_first(conversation->on_read(std::nullopt));
                break;
            default:
                line_failed(read);
            }
            break;
        }
        case Kind::arm_watchdog:
            front.arm_watchdog(milliseconds(a.value));
            break;
        case Kind::stop_watchdog:
            front.stop_watchdog();
            break;
        case Kind::progress:
            front.progress(a.value);
            break;
        case Kind::row_ready:
            front.row(a.value, a.data);
            break;
        case Kind::log:
            front.log(a.data);
            break;
        case Kind::status:
            front.status(a.status, a.value);
            break;
        case Kind::message:
            // The conversation goes on while the message is open: the update
            // still answers the box and its watchdog.
            is_performing = false;
            front.message(a);
            is_performing = true;
            if (generation == mine)
                put_first(conversation->on_message_closed());
            break;
        case Kind::end:
            drop();
            halt = Halt::ended;
            front.end(a);
            break;
        }
    }
    if (outer) {
        is_performing = false;
        while (!held.empty() && conversation && !is_performing) {
            const LineEvent event = held.front();
            held.pop_front();
            if (!front.still_current(event))
                continue;
            const Halt later = perform(deliver(event));
            if (halt == Halt::none)
                halt = later;
        }
    }
    return halt;
}

} // namespace protocol
