#include "list_read.h"

namespace protocol {

namespace {
constexpr uint8_t accept_byte = 'I';
constexpr uint8_t ack_byte = 0xCC;
constexpr uint8_t restart_byte = 0xEF;
// The box needs this between two satellites.
constexpr milliseconds satellite_pause{200};
} // namespace

Actions ListRead::do_start()
{
    // Armed with the first request: a box that never answers is asked again.
    return {Action::clear_port(), Action::listen(), Action::pause(request_pause),
            Action::send(request_byte, true), Action::arm_watchdog()};
}

Actions ListRead::do_send_failed()
{
    if (!first_request)
        return {};
    return fail(MessageId::list_read_connection_error);
}

Actions ListRead::do_line_lost()
{
    return fail(MessageId::list_read_connection_error);
}

Actions ListRead::do_reply(uint8_t byte)
{
    first_request = false;
    Actions out{Action::arm_watchdog()};
    if (byte == restart_byte) {
        restart_satellite();
        out.push_back(Action::send(request_byte, true));
    } else if (asked_amid_record && byte == accept_byte) {
        // The box took the watchdog's 'H' amid a record as a new request:
        // the same satellite again, from its first record byte.
        restart_satellite();
        ask_number(out);
    } else if (sat_rd_active) {
        if (byte == accept_byte)
            ask_number(out);
    } else {
        take_record_byte(out, byte);
    }
    asked_amid_record = false;
    return out;
}

void ListRead::restart_satellite()
{
    // A satellite whose record is not whole is asked for again.
    if (!sat_rd_active)
        sat_idx = sat_idx_last;
    sat_rd_active = 1;
}

void ListRead::ask_number(Actions &out)
{
    if (sat_idx >= sat_count)
        return;
    sat_idx_last = sat_idx;
    ++sat_idx;
    sat_rd_active = 0;
    sat_byte_idx = 0;
    out.push_back(Action::send(sat_idx, true));
}

void ListRead::take_record_byte(Actions &out, uint8_t byte)
{
    if (sat_byte_idx >= sat_record_size)
        return;
    record[sat_byte_idx++] = byte;
    out.push_back(Action::send(ack_byte, true));
    if (sat_byte_idx < sat_record_size)
        return;

    sat_rd_active = 1;
    out.push_back(Action::row_ready(sat_idx, record, sat_record_size));
    out.push_back(Action::progress((sat_idx + 1) / 2));
    if (sat_idx >= sat_count) {
        out.push_back(Action::end(Outcome::success, MessageId::list_read_ok));
        return;
    }
    out.push_back(Action::pause(satellite_pause));
    out.push_back(Action::send(request_byte, true));
}

Actions ListRead::do_silence()
{
    first_request = false;
    if (!sat_rd_active)
        asked_amid_record = true;
    return {Action::send(request_byte, true), Action::arm_watchdog()};
}

} // namespace protocol
