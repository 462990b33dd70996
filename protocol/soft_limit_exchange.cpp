#include "soft_limit_exchange.h"

#include "soft_limits.h"

namespace protocol {

namespace {
constexpr uint8_t read_command = 'b';
constexpr uint8_t read_start = 'c';
constexpr uint8_t write_command = 'd';
constexpr uint8_t write_start = 'e';
constexpr uint8_t first_end_byte = 4;
constexpr milliseconds conclusion_pause{20};
} // namespace

Actions SoftLimitRead::do_start()
{
    return {Action::clear_port(), Action::listen(), Action::send(read_command, true)};
}

Actions SoftLimitRead::do_reply(uint8_t byte)
{
    if (!lmt_busy) {
        if (byte == read_start) {
            lmt_busy = 1;
            take_reply();
        }
        return {};
    }
    // After 'c' every byte is a limit byte, 'c' included.
    lmt_buf[lmt_rx_count] = byte;
    ++lmt_rx_count;
    Actions actions{Action::send(lmt_rx_count, true)};
    if (lmt_rx_count < sizeof lmt_buf)
        return actions;
    west = soft_limits::decode(lmt_buf[0], lmt_buf[1]);
    east = soft_limits::decode(lmt_buf[2], lmt_buf[3]);
    actions.push_back(Action::pause(conclusion_pause));
    // Shown all the same, with a warning: no box holds such a limit. WEST
    // not below EAST is what a box whose limits were never set holds.
    if (soft_limits::validate(west, east) == soft_limits::Check::out_of_range)
        actions.push_back(Action::end(Outcome::failure, MessageId::limits_read_out_of_range));
    else
        actions.push_back(Action::end(Outcome::success));
    return actions;
}

Actions SoftLimitRead::do_line_lost()
{
    return {Action::end(Outcome::failure, MessageId::port_unusable)};
}

SoftLimitWrite::SoftLimitWrite(int16_t west, int16_t east)
    : west(west),
      east(east)
{ }

MessageId limits_refusal(int16_t west, int16_t east)
{
    switch (soft_limits::validate(west, east)) {
    case soft_limits::Check::out_of_range:
        return MessageId::limits_out_of_range;
    case soft_limits::Check::wrong_order:
        return MessageId::limits_wrong_order;
    case soft_limits::Check::ok:
        break;
    }
    return MessageId::none;
}

Actions SoftLimitWrite::do_start()
{
    const MessageId refusal = limits_refusal(west, east);
    if (refusal != MessageId::none)
        return fail(refusal);
    const auto bytes = soft_limits::encode(west, east);
    std::copy(bytes.begin(), bytes.end(), lmt_buf);
    return {Action::clear_port(), Action::listen(), Action::send(write_command, true)};
}

Actions SoftLimitWrite::do_reply(uint8_t byte)
{
    if (concluding)
        return {};
    if (!lmt_busy) {
        if (byte == write_start) {
            lmt_busy = 1;
            take_reply();
        }
        return {};
    }
    // The box asks for limit bytes in any order and as often as it likes.
    if (byte < first_end_byte) {
        sent |= uint8_t(1u << byte);
        return {Action::send(lmt_buf[byte], true)};
    }
    concluding = true;
    constexpr uint8_t every_byte = (1u << sizeof lmt_buf) - 1;
    if (sent != every_byte)
        return Actions{Action::pause(conclusion_pause)} + fail(MessageId::limits_set_incomplete);
    return {Action::pause(conclusion_pause), Action::show(MessageId::limits_set_ok)};
}

Actions SoftLimitWrite::do_message_closed()
{
    return {Action::end(Outcome::success)};
}

Actions SoftLimitWrite::do_line_lost()
{
    return {Action::end(Outcome::failure, MessageId::port_unusable)};
}

} // namespace protocol
