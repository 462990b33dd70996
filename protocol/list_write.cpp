#include "list_write.h"

namespace protocol {

namespace {
constexpr uint8_t start_byte = 'J';
constexpr uint8_t ready_byte = 'K';
constexpr uint8_t next_number_byte = 'M';
constexpr uint8_t send_record_byte = 'L';
constexpr uint8_t resend_byte = 0xEF;
// The box takes the record bytes no faster than this.
constexpr milliseconds record_byte_pause{5};
constexpr milliseconds end_pause{10};
} // namespace

ListWrite::ListWrite(RecordSource record_of)
    : record_of(std::move(record_of))
{ }

Actions ListWrite::do_start()
{
    // Armed with 'J': a box that never answers is asked again.
    return {Action::clear_port(), Action::listen(), Action::send(start_byte, true), Action::arm_watchdog()};
}

Actions ListWrite::transfer_error()
{
    return fail(MessageId::list_transfer_error);
}

Actions ListWrite::do_line_lost()
{
    return transfer_error();
}

Actions ListWrite::do_reply(uint8_t byte)
{
    Actions out{Action::arm_watchdog(), Action::log(QByteArray(1, char(byte)))};
    sat_state = byte;
    stepped_back = false;
    switch (byte) {
    case ready_byte:
        if (sat_idx != 0)
            return out + transfer_error();
        break;
    case send_record_byte:
        // Before the first number it names no satellite.
        if (sat_idx == 0)
            return out + transfer_error();
        send_record(out);
        break;
    case next_number_byte:
        ++sat_idx;
        out.push_back(Action::send(sat_idx, true));
        if (sat_idx >= end_number) {
            out.push_back(Action::progress((sat_idx + 1) / 2));
            out.push_back(Action::pause(end_pause));
            out.push_back(Action::end(Outcome::success, MessageId::list_write_ok));
        }
        break;
    default:
        return out + transfer_error();
    }
    return out;
}

void ListWrite::send_record(Actions &out)
{
    const SatRecord record = record_of(sat_idx);
    out.reserve(out.size() + 2 * sat_record_size + 1);
    for (int i = 0; i < sat_record_size; ++i) {
        out.push_back(Action::send(record.bytes[i], true));
        // Shown within the pause after the first byte, while the box takes it.
        if (i == 0)
            out.push_back(Action::progress((sat_idx + 1) / 2));
        out.push_back(Action::pause(record_byte_pause));
    }
}

Actions ListWrite::do_silence()
{
    Actions actions{Action::log("Resend"), Action::send(resend_byte, true)};
    // The box repeats its 'M': the same number answers it. Once per 'M':
    // a second silence in a row would answer it with the number before.
    if (sat_state == next_number_byte && sat_idx != 0 && !stepped_back) {
        --sat_idx;
        stepped_back = true;
    }
    actions.push_back(Action::arm_watchdog());
    return actions;
}

} // namespace protocol
