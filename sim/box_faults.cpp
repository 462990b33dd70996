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
    return make_trigger(Conversation::ListRead, std::nullopt, satellite, record_byte);
}

Trigger Trigger::list_read_request()
{
    return make_trigger(Conversation::ListRead, Step::Command);
}

Trigger Trigger::list_read_record_end(int satellite)
{
    return make_trigger(Conversation::ListRead, Step::Ack, satellite > 0 ? Opt(satellite) : Opt(),
                        static_cast<int>(box_record_size));
}

Trigger Trigger::limits_read_count(int count)
{
    return make_trigger(Conversation::LimitsRead, Step::Count, {}, count);
}

Trigger Trigger::list_write_number(int satellite)
{
    return make_trigger(Conversation::ListWrite, Step::Number, satellite);
}

Trigger Trigger::list_write_end()
{
    return list_write_number(list_write_end_number);
}

Trigger Trigger::list_write_record(int satellite, int record_byte)
{
    return make_trigger(Conversation::ListWrite, Step::RecordByte, satellite, record_byte);
}

Trigger Trigger::update_header(int byte)
{
    return make_trigger(Conversation::Update, Step::Header, {}, byte);
}

Trigger Trigger::update_block_start(int block)
{
    return make_trigger(Conversation::Update, Step::BlockStart, {}, {}, block);
}

Trigger Trigger::update_line(int block, int line, int line_byte)
{
    return make_trigger(Conversation::Update, Step::LineByte, {}, line_byte, block, line);
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
    return make_fault(std::move(at), Action::Silence, duration);
}
Fault Fault::delay(Trigger at, milliseconds duration)
{
    return make_fault(std::move(at), Action::Delay, duration);
}
Fault Fault::instead(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::Instead, milliseconds{0}, std::move(bytes));
}
Fault Fault::end(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::End, milliseconds{0}, std::move(bytes));
}
Fault Fault::noise(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::Noise, milliseconds{0}, std::move(bytes));
}
Fault Fault::joined(Trigger at, Bytes extra)
{
    return make_fault(std::move(at), Action::Joined, milliseconds{0}, std::move(extra));
}
Fault Fault::resend_line(Trigger at, int times)
{
    return make_fault(std::move(at), Action::Resend, milliseconds{0}, {}, times);
}
Fault Fault::hang_up(Trigger at)
{
    return make_fault(std::move(at), Action::HangUp);
}
Fault Fault::stray(Trigger at, Bytes bytes, milliseconds delay)
{
    return make_fault(std::move(at), Action::Stray, delay, std::move(bytes));
}

} // namespace boxsim
