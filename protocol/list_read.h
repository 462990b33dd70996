#pragma once

#include "conversation.h"
#include "sat_list.h"

namespace protocol {

// Reading the satellite list: for k = 1..199, 'H'; the box accepts with 'I';
// the number k; 20 record bytes from the box, each acknowledged with 0xCC;
// a pause before the next 'H'. 0xEF from the box, in any phase, starts the
// current satellite again. The watchdog asks 'H' again after every silence.
class ListRead : public Conversation
{
public:
    // The request for a satellite, and the pause before the first: it lets
    // the reply route be hooked up before the first answer can come.
    static constexpr uint8_t request_byte = 'H';
    static constexpr milliseconds request_pause{30};

    // Satellite of the current exchange (0 before the first).
    int satellite() const { return sat_idx; }
    int record_bytes() const { return sat_byte_idx; }

protected:
    Actions do_start() override;
    Actions do_reply(uint8_t byte) override;
    Actions do_silence() override;
    Actions do_send_failed() override;
    Actions do_line_lost() override;

private:
    void ask_number(Actions &out);
    void take_record_byte(Actions &out, uint8_t byte);
    void restart_satellite();

    uint8_t sat_idx = 0; // 1..199 once the first 'I' has come
    uint8_t sat_idx_last = 0; // sat_idx before its last increase
    uint8_t sat_rd_active = 1; // 1: waiting for 'I'; 0: record bytes of sat_idx come in
    uint8_t sat_byte_idx = 0; // record bytes of sat_idx taken, 0..20
    uint8_t record[sat_record_size] = {};
    // The watchdog asked 'H' amid a record: the box may start that satellite
    // again with 'I' rather than go on with its record.
    bool asked_amid_record = false;
    bool first_request = true; // only the first 'H' of a read checks its write
};

} // namespace protocol
