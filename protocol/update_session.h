#pragma once

#include <vector>

#include "conversation.h"
#include "fw_config.h"
#include "package_block.h"

namespace protocol {

// The bootloader update. Entry: 'E', a pause, and a blocking read that must
// give 'P'; then 'R', and from the box's first answer on a reply-driven
// exchange in which the box asks for the package header ('Q'), each block
// ('Y', answered 'a', or '[' when none is left), its address byte ('_') and
// each line byte ('^'), accepts lines ('T') or asks for them again ('U'), and
// gives its verdict. Every reply restarts the watchdog, whose silence sends
// the last byte again. A failure box is shown first; the session goes on
// answering until it is closed, and ends then.
class UpdateSession : public Conversation
{
public:
    static constexpr int max_line_retries = 15;

    UpdateSession(const FirmwareConfig &header, std::vector<PackageBlock> blocks);

    // Between 'R' and the box's first answer no watchdog runs.
    bool waits_unwatched() const override { return phase == Phase::awaiting_first_reply; }
    // The box answered the entry with 'P'.
    bool entered() const { return phase == Phase::awaiting_first_reply || phase == Phase::running; }
    int bytes_loaded() const { return upd_byte_count; }
    int blocks_started() const { return next_block; }
    int block_count() const { return int(blocks.size()); }

protected:
    Actions do_start() override;
    Actions do_read(std::optional<uint8_t> byte) override;
    Actions do_reply(uint8_t byte) override;
    Actions do_silence() override;
    Actions do_send_failed() override;
    Actions do_message_closed() override;
    Actions do_line_lost() override;

private:
    enum class Phase : uint8_t { entering, awaiting_first_reply, running };

    void send(Actions &out, uint8_t byte);
    void next_block_request(Actions &out);
    void next_data_byte(Actions &out);

    Phase phase = Phase::entering;
    FirmwareConfig fw_config;
    std::vector<PackageBlock> blocks;
    int next_block = 0; // blocks started so far
    PackageBlock pkg_block{}; // the block being sent
    bool block_open = false; // a block is being sent: '^' has bytes to give
    uint8_t upd_line_idx = 0; // line 0..31 of pkg_block
    uint8_t upd_byte_idx = 0; // 1..17 within the line; 0 before the block's first byte
    uint8_t upd_resend = 0; // a 'U' came: the next '^' starts the line again
    uint8_t upd_retry = 0; // 'U's since the last accepted line
    uint8_t upd_last_byte = 0; // what the watchdog sends again
    int upd_byte_count = 0; // line bytes sent, repeats included
};

} // namespace protocol
