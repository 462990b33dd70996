#include "update_session.h"

#include <QLoggingCategory>

namespace protocol {

namespace {

Q_LOGGING_CATEGORY(update_log, "vr20.update", QtWarningMsg)

// What the tool sends.
constexpr uint8_t enter_byte = 'E';
constexpr uint8_t confirm_byte = 'R';
constexpr uint8_t block_follows_byte = 'a';
constexpr uint8_t no_more_blocks_byte = '[';
// What the bootloader says: the entry's answer and, later, a wish to be
// answered 'R' again.
constexpr uint8_t ready_byte = 'P';
// What it asks for.
constexpr uint8_t header_request = 'Q';
constexpr uint8_t block_request = 'Y';
constexpr uint8_t address_request = '_';
constexpr uint8_t data_byte_request = '^';
// What it reports.
constexpr uint8_t update_done = 'S';
constexpr uint8_t line_accepted = 'T';
constexpr uint8_t line_rejected = 'U';
constexpr uint8_t cpu_mismatch = 'V';
constexpr uint8_t cpu_mismatch_too = 'W';
constexpr uint8_t package_too_old = 'X';
constexpr uint8_t update_failed = 'Z';
constexpr uint8_t write_error = ']';
// The bootloader needs this long after 'E' before it answers.
constexpr milliseconds entry_settle{400};
constexpr milliseconds entry_answer_limit{3000};

} // namespace

UpdateSession::UpdateSession(const FirmwareConfig &header, std::vector<PackageBlock> blocks)
    : fw_config(header),
      blocks(std::move(blocks))
{
    reset_block(pkg_block);
}

Actions UpdateSession::do_start()
{
    return {Action::show_status(Status::entering_bootloader), Action::clear_port(),
            Action::send(enter_byte, true), Action::pause(entry_settle),
            Action::read_byte(entry_answer_limit)};
}

Actions UpdateSession::do_read(std::optional<uint8_t> byte)
{
    if (byte != ready_byte)
        return fail(MessageId::device_not_prepared);
    phase = Phase::awaiting_first_reply;
    // No watchdog yet: it starts with the box's first answer. Until the box
    // asks for something else, 'R' is what a silence sends again.
    upd_last_byte = confirm_byte;
    return {Action::listen(), Action::show_status(Status::bootloader_started), Action::clear_port(),
            Action::send(confirm_byte, false)};
}

void UpdateSession::send(Actions &out, uint8_t byte)
{
    upd_last_byte = byte;
    out.push_back(Action::send(byte, false));
}

Actions UpdateSession::do_reply(uint8_t byte)
{
    if (phase != Phase::running && phase != Phase::awaiting_first_reply)
        return {};
    phase = Phase::running;
    Actions out{Action::arm_watchdog()};
    // A failure box is shown first; the session answers until it is closed.
    switch (byte) {
    case ready_byte:
        send(out, confirm_byte);
        break;
    case header_request:
        for (const uint8_t b : fw_config.bytes)
            send(out, b);
        break;
    case update_done:
        out.push_back(Action::progress(block_count()));
        out.push_back(Action::show_status(Status::update_completed));
        out.push_back(Action::end(Outcome::success, MessageId::update_completed));
        break;
    case line_accepted:
        upd_retry = 0;
        upd_resend = 0;
        break;
    case line_rejected:
        ++upd_retry;
        if (upd_retry > max_line_retries)
            out.push_back(Action::show(MessageId::line_retries_exhausted));
        else
            upd_resend = 1;
        break;
    case cpu_mismatch:
    case cpu_mismatch_too:
        out.push_back(Action::show(MessageId::cpu_mismatch));
        break;
    case package_too_old:
        out.push_back(Action::show(MessageId::package_too_old));
        break;
    case block_request:
        next_block_request(out);
        break;
    case update_failed:
        out.push_back(Action::show_status(Status::update_failed));
        out.push_back(Action::show(MessageId::update_failed));
        break;
    case write_error:
        out.push_back(Action::show(MessageId::data_write_error));
        break;
    case data_byte_request:
        next_data_byte(out);
        break;
    case address_request:
        send(out, pkg_block.bytes[0]);
        break;
    default:
        // 'R', '[', '\' and anything else: only the watchdog was restarted.
        break;
    }
    return out;
}

void UpdateSession::next_block_request(Actions &out)
{
    if (next_block >= block_count()) {
        block_open = false;
        send(out, no_more_blocks_byte);
        return;
    }
    const int started = next_block++;
    pkg_block = blocks[size_t(started)];
    upd_line_idx = 0;
    upd_byte_idx = 0;
    block_open = true;
    qCDebug(update_log, "Addr = 0x%x%x", pkg_block.bytes[0], pkg_block.bytes[1]);
    out.push_back(Action::progress(started));
    send(out, block_follows_byte);
}

void UpdateSession::next_data_byte(Actions &out)
{
    // Nothing to give before the first block or after the last, and never
    // more than the block's 32 lines.
    if (!block_open)
        return;
    if (upd_resend) {
        upd_byte_idx = 1;
    } else if (upd_byte_idx == stored_line_bytes) {
        if (upd_line_idx + 1u >= block_lines)
            return;
        ++upd_line_idx;
        upd_byte_idx = 1;
    } else {
        ++upd_byte_idx;
    }
    const uint8_t byte = pkg_block.bytes[block_line_pos(upd_line_idx, upd_byte_idx - 1u)];
    upd_resend = 0;
    ++upd_byte_count;
    out.push_back(Action::show_status(Status::bytes_loaded, upd_byte_count));
    send(out, byte);
}

Actions UpdateSession::do_silence()
{
    if (phase != Phase::running)
        return {};
    return {Action::clear_port(), Action::send(upd_last_byte, true), Action::log("Resended"),
            Action::arm_watchdog()};
}

Actions UpdateSession::do_send_failed()
{
    // The entry's 'E' is not checked: the missing 'P' says it all.
    if (phase == Phase::entering)
        return {};
    return {Action::end(Outcome::failure, MessageId::update_line_lost)};
}

Actions UpdateSession::do_message_closed()
{
    return {Action::end(Outcome::failure)};
}

Actions UpdateSession::do_line_lost()
{
    return {Action::end(Outcome::failure, MessageId::update_line_lost)};
}

} // namespace protocol
