#pragma once

// The simulated positioner box: a PtyPeer that plays the box's side of every
// conversation, with scripted faults.

#include "box_data.h"
#include "box_faults.h"
#include "pty_peer.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace boxsim {

// Box: the simulated positioner box. Each conversation is played by a file
// of its own (box_limits.cpp, box_list_read.cpp, box_list_write.cpp,
// box_update.cpp), and box_dispatch.cpp hands each received byte to one.
//
// It holds at first the limits WEST -1000, EAST 1000 and default_records().
// Its answers, per conversation (the answer to each received byte):
//  limits read : 'b' -> 'c', gap, WEST lo; count 1 -> WEST hi; 2 -> EAST lo;
//                3 -> EAST hi; 4 ends (no answer).
//  limits write: 'd' -> 'e', gap, first index request; each limit byte is
//                stored and answered with the next request, the last with the
//                end byte (default requests 0,1,2,3 and end 4).
//  list read   : 'H' -> 'I' (also amid a record: the satellite starts again);
//                number k -> record byte 0 of k; 0xCC -> next record byte;
//                the 20th 0xCC -> nothing. A byte other than 0xCC amid a
//                record, or a number out of 1..199, -> 0xEF. Where a number
//                is awaited, a prompt 0x48 is satellite 72.
//  list write  : 'J' -> 'K', gap, 'M'; number k (1..199) -> 'L'; 20 record
//                bytes -> record k stored, 'M'; 200 -> done. 0xEF after 'M',
//                or amid a record after a quiet of `resend_quiet` (a prompt
//                0xEF is record data) -> the last request again, any partial
//                record dropped. A stored record also replaces the one the
//                list read sends (position turned high byte first).
//  update      : 'E' -> 'P' (and forgets the header and blocks of an earlier
//                session); 'R' -> 'Q' ('P' for the first `extra_p`); 4 header
//                bytes -> header verdict ('Y'; any other ends the update);
//                'a' -> '_' ('a' again while the address is awaited -> '_'
//                again: addresses are even); address -> '^'; line bytes ->
//                '^' until 17 are in, then 'T' (17 bytes sum to 0 mod 256) or
//                'U', gap, and '^' for the next line (the same after 'U') or
//                'Y' after line 31; '[' -> final verdict ('S'), and '[' again
//                -> the verdict again. While 'R' or 'a'/'[' is awaited,
//                anything else -> the last request again.
// A command byte ('b', 'd', 'H', 'J', 'E') opens its conversation at rest,
// while limit counts are awaited, after an update's verdict, and, outside an
// update, wherever the box awaits data but the line was quiet for
// `resend_quiet` (the tool answers box bytes at once; its resends and new
// flows come later). Other bytes with no meaning at rest are ignored. Two box
// bytes in a row are separated by `gap`, and the second waits (up to
// `drain_limit`) until the tool has read the first, because the tool keeps
// only the first byte of an arrival.
class Box
{
public:
    struct Settings {
        milliseconds gap{20};
        milliseconds drain_limit{1000};
        milliseconds resend_quiet{1000}; // see above; below the tool's 2000 ms watchdog
    };

    Box(); // default settings
    explicit Box(Settings settings);
    ~Box();
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;

    PtyPeer &peer() { return *pty; }
    std::string slave_path() const { return pty->slave_path(); }
    bool link(const std::string &path, std::string *error = nullptr) { return pty->link(path, error); }

    Settings settings() const;
    void set_settings(const Settings &s);

    // Back to rest: any conversation under way is forgotten. Data, scripts
    // and faults stay.
    void reset();

    // --- soft limits
    void set_limits(int16_t west, int16_t east);
    void set_limit_bytes(const std::array<uint8_t, limit_byte_count> &bytes); // wire order
    std::array<uint8_t, limit_byte_count> limit_bytes() const; // WEST lo, hi, EAST lo, hi
    int16_t west_limit() const;
    int16_t east_limit() const;
    // The index requests of a limits write, in order (repeats allowed, values
    // 0..3), and the end byte (>= 4, the first index past the limit bytes).
    void set_write_requests(const Bytes &indices, uint8_t end_byte = limit_byte_count);

    // --- satellite list
    void set_record(int satellite, const Record &r); // 1..199, box order
    void set_records(const std::vector<Record> &records);
    Record record(int satellite) const;
    // Records received by list writes, as the tool sent them.
    std::optional<Record> written_record(int satellite) const;
    std::vector<std::pair<int, Record>> written_records() const; // arrival order

    // --- update
    void set_header_verdict(uint8_t verdict); // 'Y' (default), 'V', 'W', 'X'
    void set_final_verdict(uint8_t verdict); // 'S' (default), 'Z', ']'
    void set_extra_p(int count); // 'R's answered 'P' before 'Q'
    std::optional<std::array<uint8_t, header_size>> received_header() const;
    std::vector<ReceivedBlock> received_blocks() const; // complete blocks, in order
    int lines_accepted() const;
    int lines_rejected() const; // answered 'U'

    // --- faults
    // Returns an id for fault_hits().
    int add_fault(const Fault &fault);
    void clear_faults();
    int fault_hits(int id) const;

    // Sends bytes unasked, after any answer under way (`one_write`: all in one
    // write, else each its own arrival, `gap` apart).
    void inject(const Bytes &bytes, bool one_write = false);

    // --- state and waiting
    Conversation conversation() const; // the one under way, None at rest
    // Conversations of that kind that reached their end: limits read after
    // count 4, limits write after the end byte, list read after satellite
    // 199's last 0xCC, list write after 200, update after a verdict that ends
    // it.
    int completed(Conversation c) const;
    bool wait_completed(Conversation c, int count, milliseconds timeout) const;
    // Waits until `pred` (called without the box's lock held) is true.
    bool wait_until(const std::function<bool()> &pred, milliseconds timeout) const;
    // Waits until nothing is queued and no byte moved either way for `quiet`.
    bool wait_idle(milliseconds quiet, milliseconds timeout) const;
    bool hung_up() const;

    Bytes received() const { return pty->received(); }
    std::vector<LoggedByte> log() const { return pty->log(); }

private:
    struct Engine;
    void run();

    std::unique_ptr<PtyPeer> pty;
    std::unique_ptr<Engine> engine;
    std::thread thread;
};

} // namespace boxsim
