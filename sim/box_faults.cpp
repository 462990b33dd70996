#include "box_conversations.h"

#include <iterator>

namespace boxsim {

const char *conversation_name(Conversation c)
{
    // In the order of Conversation.
    static const char *const names[]
        = {"none", "limits-read", "limits-write", "list-read", "list-write", "update"};
    const auto i = static_cast<std::size_t>(c);
    return i < std::size(names) ? names[i] : "?";
}

bool Trigger::matches(const Point &p) const
{
    auto fits = [](const auto &want, const auto &have) { return !want || *want == have; };
    return fits(conversation, p.conversation) && fits(step, p.step) && fits(nth, p.nth)
        && fits(satellite, p.satellite) && fits(index, p.index) && fits(block, p.block) && fits(line, p.line);
}

namespace {
using Opt = std::optional<int>;
Trigger make_trigger(Conversation c, std::optional<Step> step, Opt satellite = {}, Opt index = {},
                     Opt block = {}, Opt line = {})
{
    return Trigger{c, step, std::nullopt, satellite, index, block, line};
}
} // namespace

Trigger Trigger::nth_byte(Conversation c, int n)
{
    Trigger t = make_trigger(c, std::nullopt);
    t.nth = n;
    return t;
}

Trigger Trigger::list_read_byte(int satellite, int record_byte)
{
    return make_trigger(Conversation::list_read, std::nullopt, satellite, record_byte);
}

Trigger Trigger::list_read_request()
{
    return make_trigger(Conversation::list_read, Step::command);
}

Trigger Trigger::list_read_record_end(int satellite)
{
    return make_trigger(Conversation::list_read, Step::ack, satellite > 0 ? Opt(satellite) : Opt(),
                        static_cast<int>(box_record_size));
}

Trigger Trigger::limits_read_count(int count)
{
    return make_trigger(Conversation::limits_read, Step::count, {}, count);
}

Trigger Trigger::list_write_number(int satellite)
{
    return make_trigger(Conversation::list_write, Step::number, satellite);
}

Trigger Trigger::list_write_end()
{
    return list_write_number(list_write_end_number);
}

Trigger Trigger::list_write_record(int satellite, int record_byte)
{
    return make_trigger(Conversation::list_write, Step::record_byte, satellite, record_byte);
}

Trigger Trigger::update_header(int byte)
{
    return make_trigger(Conversation::update, Step::header, {}, byte);
}

Trigger Trigger::update_block_start(int block)
{
    return make_trigger(Conversation::update, Step::block_start, {}, {}, block);
}

Trigger Trigger::update_line(int block, int line, int line_byte)
{
    return make_trigger(Conversation::update, Step::line_byte, {}, line_byte, block, line);
}

namespace {
Fault make_fault(Trigger at, Fault::Action action, milliseconds duration = milliseconds{0}, Bytes bytes = {},
                 int times = 1)
{
    Fault f;
    f.at = std::move(at);
    f.action = action;
    f.duration = duration;
    f.bytes = std::move(bytes);
    f.times = times;
    return f;
}
} // namespace

Fault Fault::silence(Trigger at, milliseconds duration)
{
    return make_fault(std::move(at), Action::silence, duration);
}
Fault Fault::delay(Trigger at, milliseconds duration)
{
    return make_fault(std::move(at), Action::delay, duration);
}
Fault Fault::instead(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::instead, milliseconds{0}, std::move(bytes));
}
Fault Fault::end(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::end, milliseconds{0}, std::move(bytes));
}
Fault Fault::noise(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::noise, milliseconds{0}, std::move(bytes));
}
Fault Fault::joined(Trigger at, Bytes extra)
{
    return make_fault(std::move(at), Action::joined, milliseconds{0}, std::move(extra));
}
Fault Fault::resend_line(Trigger at, int times)
{
    return make_fault(std::move(at), Action::resend, milliseconds{0}, {}, times);
}
Fault Fault::hang_up(Trigger at)
{
    return make_fault(std::move(at), Action::hang_up);
}
Fault Fault::stray(Trigger at, Bytes bytes, milliseconds delay)
{
    return make_fault(std::move(at), Action::stray, delay, std::move(bytes));
}

} // namespace boxsim
