#include "box_driver.h"

#include <algorithm>

#include "blocking_line.h"

using protocol::Action;
using protocol::Actions;
using std::chrono::milliseconds;

BoxDriver::BoxDriver(BlockingLine &line, milliseconds give_up, Hooks hooks)
    : line(line),
      give_up(give_up),
      hooks(std::move(hooks))
{ }

BoxDriver::Result BoxDriver::run(protocol::Conversation &conversation)
{
    result = Result();
    last_heard = Clock::now();
    if (perform(conversation, conversation.start()))
        return result;
    for (;;) {
        const Clock::time_point give_up_at = last_heard + give_up;
        const Clock::time_point until = watchdog_armed ? std::min(watchdog_due, give_up_at) : give_up_at;
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
        uint8_t byte = 0;
        Actions next;
        switch (line.read_byte(byte, std::max(left, milliseconds(0)))) {
        case BlockingLine::Wait::byte:
            last_heard = Clock::now();
            // Before the conversation listens, a byte is nobody's answer.
            if (listening)
                next = conversation.on_reply(byte);
            break;
        case BlockingLine::Wait::timeout:
            if (Clock::now() >= give_up_at) {
                result.kind = Result::Kind::gave_up;
                return result;
            }
            if (watchdog_armed && Clock::now() >= watchdog_due) {
                watchdog_armed = false;
                next = conversation.on_silence();
            }
            break;
        case BlockingLine::Wait::stopped:
            result.kind = Result::Kind::stopped;
            return result;
        case BlockingLine::Wait::hung_up:
            result.kind = Result::Kind::line_lost;
            return result;
        }
        if (perform(conversation, std::move(next)))
            return result;
    }
}

bool BoxDriver::perform(protocol::Conversation &conversation, Actions actions)
{
    using Kind = Action::Kind;
    std::size_t next = 0;
    const auto put_first = [&](const Actions &more) {
        actions.insert(actions.begin() + std::ptrdiff_t(next), more.begin(), more.end());
    };
    while (next < actions.size()) {
        const Action a = std::move(actions[next++]);
        switch (a.kind) {
        case Kind::clear_port:
            line.clear();
            break;
        case Kind::listen:
            listening = true;
            break;
        case Kind::send:
            if (hooks.may_send && !hooks.may_send()) {
                result.kind = Result::Kind::stopped;
                return true;
            }
            // A byte that came before this one goes out cannot be the
            // answer to it: the window drops such a reply by its stamp.
            line.discard_input();
            if (!line.send(a.byte, a.wait))
                put_first(conversation.on_send_failed());
            break;
        case Kind::pause:
            if (!line.pause(milliseconds(a.value))) {
                result.kind = Result::Kind::stopped;
                return true;
            }
            break;
        case Kind::read_byte: {
            uint8_t byte = 0;
            switch (line.read_byte(byte, milliseconds(a.value))) {
            case BlockingLine::Wait::byte:
                last_heard = Clock::now();
                put_first(conversation.on_read(byte));
                break;
            case BlockingLine::Wait::timeout:
                put_first(conversation.on_read(std::nullopt));
                break;
            case BlockingLine::Wait::hung_up:
                result.kind = Result::Kind::line_lost;
                return true;
            case BlockingLine::Wait::stopped:
                result.kind = Result::Kind::stopped;
                return true;
            }
            break;
        }
        case Kind::arm_watchdog:
            watchdog_armed = true;
            watchdog_due = Clock::now() + milliseconds(a.value);
            break;
        case Kind::stop_watchdog:
            watchdog_armed = false;
            break;
        case Kind::progress:
            if (hooks.progress)
                hooks.progress(a.value);
            break;
        case Kind::row_ready:
            if (hooks.row)
                hooks.row(a.value, a.data);
            break;
        case Kind::log:
            // The window's transfer log; the command line reports on stderr instead.
            break;
        case Kind::status:
            if (hooks.status)
                hooks.status(a.status, a.value);
            break;
        case Kind::message:
            result.message = a.message;
            if (hooks.message)
                hooks.message(a.message, a.value);
            // Nobody has to close it here.
            put_first(conversation.on_message_closed());
            break;
        case Kind::end:
            result.kind = Result::Kind::ended;
            result.outcome = a.outcome;
            if (a.message != protocol::MessageId::none) {
                result.message = a.message;
                if (hooks.message)
                    hooks.message(a.message, a.value);
            }
            return true;
        }
    }
    return false;
}
