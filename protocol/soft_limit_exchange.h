#pragma once

#include "conversation.h"

namespace protocol {

// Why a pair of limits may not be written (range first, then order: WEST
// strictly below EAST), or none.
MessageId limits_refusal(int16_t west, int16_t east);

// Reading the EAST/WEST soft limits: 'b'; the box answers 'c' and the four
// limit bytes (WEST low, WEST high, EAST low, EAST high), each counted back
// with 1..4. No watchdog: the box is waited for until it completes, or until
// the driver abandons the exchange.
class SoftLimitRead : public Conversation
{
public:
    bool waits_unwatched() const override { return true; }
    // All four limit bytes came: the limits below are the box's answer. A
    // limit outside -5000..5000 ends the read with a warning all the same.
    bool complete() const { return lmt_rx_count == sizeof lmt_buf; }
    // The limits read, once complete.
    int16_t west_limit() const { return west; }
    int16_t east_limit() const { return east; }

protected:
    Actions do_start() override;
    Actions do_reply(uint8_t byte) override;
    Actions do_line_lost() override;

private:
    uint8_t lmt_busy = 0; // the box's 'c' has come; bytes before it are ignored
    uint8_t lmt_rx_count = 0; // limit bytes taken, 0..4
    uint8_t lmt_buf[4] = {};
    int16_t west = 0;
    int16_t east = 0;
};

// Writing the soft limits: checked first (range, then order); then 'd'; the
// box answers 'e', asks for limit bytes by index 0..3 in any order, and ends
// with any byte of 4 or more. The success box is shown before the end, and
// only when every limit byte was sent: an earlier end is a failure with a
// warning, since the box may still hold its old values.
class SoftLimitWrite : public Conversation
{
public:
    SoftLimitWrite(int16_t west, int16_t east);
    bool waits_unwatched() const override { return true; }

protected:
    Actions do_start() override;
    Actions do_reply(uint8_t byte) override;
    Actions do_message_closed() override;
    Actions do_line_lost() override;

private:
    bool concluding = false; // the end byte came: the box says so, then the exchange ends
    uint8_t lmt_busy = 0; // the box's 'e' has come
    uint8_t lmt_buf[4] = {};
    uint8_t sent = 0; // bit i: lmt_buf[i] was sent
    int16_t west;
    int16_t east;
};

} // namespace protocol
