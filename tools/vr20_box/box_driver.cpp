#include "box_driver.h"

#include <algorithm>

#include "blocking_line.h"

using protocol::ActionRunner;
using protocol::LineEvent;
using protocol::LineResult;
using std::chrono::milliseconds;

BoxDriver::BoxDriver(BlockingLine &line, milliseconds give_up, Hooks hooks)
    : line(line),
      give_up(give_up),
      hooks(std::move(hooks))
{ }

BoxDriver::Result BoxDriver::run(protocol::Conversation &conversation)
{
    result = Result();
    watchdog_armed = false;
    last_step = Clock::now();
    if (halted(runner.start(conversation)))
        return result;
    for (;;) {
        const Clock::time_point give_up_at = last_step + give_up;
        const Clock::time_point until = watchdog_armed ? std::min(watchdog_due, give_up_at) : give_up_at;
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
        uint8_t byte = 0;
        ActionRunner::Halt halt = ActionRunner::Halt::none;
        switch (line.read_byte(byte, std::max(left, milliseconds(0)))) {
        case BlockingLine::Wait::byte: {
            const bool delivered = runner.listening();
            halt = runner.feed(LineEvent::reply(byte));
            // Only a byte the conversation takes puts off giving up: a box
            // that floods others is as good as silent.
            if (delivered && conversation.took_last_reply())
                last_step = Clock::now();
        } break;
        case BlockingLine::Wait::timeout:
            if (Clock::now() >= give_up_at) {
                runner.drop();
                result.kind = Result::Kind::gave_up;
                return result;
            }
            if (watchdog_armed && Clock::now() >= watchdog_due) {
                watchdog_armed = false;
                halt = runner.feed(LineEvent::silence());
            }
            break;
        case BlockingLine::Wait::stopped:
            halt = ActionRunner::Halt::stopped;
            break;
        case BlockingLine::Wait::hung_up:
            halt = ActionRunner::Halt::line_lost;
            break;
        }
        if (halted(halt))
            return result;
    }
}

bool BoxDriver::halted(ActionRunner::Halt halt)
{
    switch (halt) {
    case ActionRunner::Halt::none:
        return false;
    case ActionRunner::Halt::ended:
        result.kind = Result::Kind::ended;
        break;
    case ActionRunner::Halt::stopped:
        result.kind = Result::Kind::stopped;
        break;
    case ActionRunner::Halt::line_lost:
        result.kind = Result::Kind::line_lost;
        break;
    }
    runner.drop();
    return true;
}

void BoxDriver::clear()
{
    line.clear();
}

LineResult BoxDriver::send(uint8_t byte, bool wait)
{
    if (hooks.may_send && !hooks.may_send())
        return LineResult::stopped;
    // A byte that came before this one goes out cannot be the answer to it:
    // the window drops such a reply by its stamp.
    line.discard_input();
    return line.send(byte, wait) ? LineResult::ok : LineResult::timed_out;
}

LineResult BoxDriver::pause(milliseconds duration)
{
    return line.pause(duration) ? LineResult::ok : LineResult::stopped;
}

LineResult BoxDriver::read_byte(milliseconds limit, uint8_t &byte)
{
    switch (line.read_byte(byte, limit)) {
    case BlockingLine::Wait::byte:
        last_step = Clock::now();
        return LineResult::ok;
    case BlockingLine::Wait::timeout:
        return LineResult::timed_out;
    case BlockingLine::Wait::hung_up:
        return LineResult::line_lost;
    case BlockingLine::Wait::stopped:
        break;
    }
    return LineResult::stopped;
}

void BoxDriver::arm_watchdog(milliseconds limit)
{
    watchdog_armed = true;
    watchdog_due = Clock::now() + limit;
}

void BoxDriver::progress(int value)
{
    if (hooks.progress)
        hooks.progress(value);
}

void BoxDriver::row(int satellite, const QByteArray &record)
{
    if (hooks.row)
        hooks.row(satellite, record);
}

void BoxDriver::status(protocol::Status status, int value)
{
    if (hooks.status)
        hooks.status(status, value);
}

void BoxDriver::message(const protocol::Action &action)
{
    // Nobody has to close it here: the runner goes on at once.
    result.message = action.message;
    if (hooks.message)
        hooks.message(action.message);
}

void BoxDriver::end(const protocol::Action &action)
{
    result.outcome = action.outcome;
    if (action.message != protocol::MessageId::none)
        message(action);
}
