#pragma once

#include <functional>

#include "conversation.h"
#include "sat_list.h"

namespace protocol {

// Writing the satellite list: 'J'; the box answers 'K' once, then asks 'M'
// for each number (answered 1..199, and 200 to finish) and 'L' for the
// record of the number last sent (20 bytes, 5 ms apart). Any other byte ends
// the write as an error. Every reply byte is logged; after a silence the
// write sends 0xEF and logs "Resend".
class ListWrite : public Conversation
{
public:
    static constexpr int end_number = sat_count + 1; // names no satellite: the write is done
    using RecordSource = std::function<SatRecord(int satellite)>;

    // `record_of` gives the record of satellite 1..199 when the box asks for it.
    explicit ListWrite(RecordSource record_of);

    int satellite() const { return sat_idx; }

protected:
    Actions do_start() override;
    Actions do_reply(uint8_t byte) override;
    Actions do_silence() override;
    Actions do_line_lost() override;

private:
    Actions transfer_error();
    void send_record(Actions &out);

    RecordSource record_of;
    uint8_t sat_idx = 0; // number last sent: 0 at the start, 200 at the end
    uint8_t sat_state = 0; // the last reply byte
    bool stepped_back = false; // a silence since the last reply took the number back
};

} // namespace protocol
