#pragma once

// A simulated positioner box on a pseudo-terminal.
//
// The box plays the box's side of every conversation of the serial line, one
// answer per byte received, on a thread of its own (the tool's GUI thread
// blocks in waits and sleeps, so the box must never depend on it). Faults can
// be scripted at chosen points of a conversation. Every accessor is
// thread-safe.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace boxsim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// One byte on the line, either way.
struct LoggedByte {
    Clock::time_point when;
    bool from_box; // true: box -> tool, false: tool -> box
    uint8_t value;
};

// "   12.345 box  -> 0x63 'c'" style line, time relative to `start`.
std::string format_logged_byte(const LoggedByte &b, Clock::time_point start);

// ---------------------------------------------------------------------------
// PtyPeer: the far end of a pseudo-terminal, without any protocol.
//
// Opens a pty pair in raw mode and keeps a slave descriptor of its own open,
// so that the tool closing and reopening its port never hangs up the line.
// A reader thread takes every byte the tool writes as soon as it arrives (a
// tool-side clear of the port would otherwise discard bytes not yet read) and
// records it with its time. Usable on its own by low-level tests.
class PtyPeer
{
public:
    // Throws std::runtime_error when no pseudo-terminal can be opened.
    PtyPeer();
    ~PtyPeer(); // hangs up and removes the link, if any
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    // Path of the slave side, e.g. "/dev/pts/7": the name the tool opens.
    std::string slave_path() const;

    // Creates the symbolic link `path` (e.g. "/dev/COM3") to the slave. An
    // existing symbolic link there is replaced; anything else is left alone
    // and the call fails. The link is removed in the destructor if it still
    // points to this terminal. Returns false (and `error` says why) on failure.
    bool link(const std::string &path, std::string *error = nullptr);
    std::string linked_path() const;

    // Writes `bytes` in ONE write() call, so that they reach the tool as one
    // arrival. Returns false after a hang-up or on a write error.
    bool send(const Bytes &bytes);
    bool send(uint8_t byte) { return send(Bytes{byte}); }

    // Tool -> box bytes so far, in order.
    Bytes received() const;
    std::size_t received_count() const;
    // Waits until at least `n` bytes have been received in total.
    bool wait_received(std::size_t n, milliseconds timeout) const;
    // Waits until byte number `n` (0-based) has been received, or the deadline
    // or stop() is reached; gives the byte and its time. Used by the box.
    std::optional<LoggedByte> wait_byte(std::size_t n, Clock::time_point deadline) const;

    // Every byte both ways with its time stamp, in order.
    std::vector<LoggedByte> log() const;
    // Called for every logged byte as it happens (from the reader thread for
    // received bytes, from the sender's thread for sent ones).
    void set_log_sink(std::function<void(const LoggedByte &)> sink);

    // Time of the last byte either way (epoch when none yet).
    Clock::time_point last_activity() const;

    // Bytes sent by this side that the tool has not read yet.
    std::size_t unread_by_tool() const;

    // Closes this side (master and its own slave descriptor): the tool's port
    // sees a hang-up. Further sends fail.
    void hang_up();
    bool is_up() const;

    // Wakes every wait_byte() and makes it return nothing (used at shutdown).
    void stop();

private:
    void reader_loop();
    void record(const LoggedByte &b);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::mutex send_mutex_; // one write at a time; hang_up waits for it
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    std::string slave_path_;
    std::string link_path_;
    Bytes received_;
    std::vector<Clock::time_point> received_at_;
    std::vector<LoggedByte> log_;
    std::function<void(const LoggedByte &)> sink_;
    bool stopped_ = false;
    std::thread reader_;
};

// ---------------------------------------------------------------------------
// Where a received byte falls in the conversations.

enum class Conversation : uint8_t { None, LimitsRead, LimitsWrite, ListRead, ListWrite, Update };
const char *conversation_name(Conversation c);

// What a received byte is, as the box takes it when it arrives.
enum class Step : uint8_t {
    Command, // 'b', 'd', 'H', 'J', 'E': opens (or, 'H', continues) a conversation
    Count, // limits read: the tool's count 1..4 (index = the count)
    LimitByte, // limits write: a limit byte (index = the requested index)
    Number, // list read/write: a satellite number (list write: 200 too)
    Ack, // list read: 0xCC after a record byte
    RecordByte, // list write: a record byte (index 0..19)
    Resend, // list write: 0xEF from the tool, a resend request
    Confirm, // update: 'R' after 'P'
    Header, // update: a header byte (index 0..3)
    BlockStart, // update: 'a' or '['
    Address, // update: the page address high byte
    LineByte, // update: a line byte (index 0..16; 16 is the check byte)
    Unexpected, // no meaning where it arrives
};

// The box's view of one received byte; faults are matched against it.
struct Point {
    Conversation conversation = Conversation::None;
    Step step = Step::Unexpected;
    int nth = 0; // 1-based position in its conversation; the opening byte is 1
    int satellite = 0; // list read: the satellite whose record byte is answered;
                       // list write: the satellite of the number or record byte
    int index = -1; // list read: the record byte the box answers with (0..19,
                    // 20 for the last 0xCC); else as in Step
    int block = -1; // update: 0-based block ('a' of block b, its address, its lines)
    int line = -1; // update: line 0..31 of a LineByte
};

// A pattern over Point: unset fields match anything.
struct Trigger {
    std::optional<Conversation> conversation;
    std::optional<Step> step;
    std::optional<int> nth, satellite, index, block, line;

    bool matches(const Point &p) const;

    // The nth byte (1-based, the opening byte is 1) the box receives in a
    // conversation of that kind.
    static Trigger nth_byte(Conversation c, int nth);
    // List read: the byte (the satellite number, or a 0xCC) that the box
    // answers with record byte `record_byte` (0..19) of satellite `satellite`.
    static Trigger list_read_byte(int satellite, int record_byte);
    // List read: the 'H' that opens or continues the conversation (each
    // satellite begins with one); use with nth for a particular one.
    static Trigger list_read_request();
    // List read: the 0xCC after the last record byte of satellite k, which
    // the box does not answer; 0: of every satellite.
    static Trigger list_read_record_end(int satellite = 0);
    // Limits read: the tool's count 1..4 (3 is answered with the last limit
    // byte, EAST high; 4 ends the read unanswered).
    static Trigger limits_read_count(int count);
    // List write: satellite number k arriving (the box answers 'L').
    static Trigger list_write_number(int satellite);
    // List write: the 200 that ends it (unanswered).
    static Trigger list_write_end();
    // List write: record byte i of satellite k arriving (19: answered 'M').
    static Trigger list_write_record(int satellite, int record_byte = 19);
    // Update: header byte i (3: the one answered with the verdict).
    static Trigger update_header(int byte = 3);
    // Update: 'a' (or '[') asking for block b, 0-based.
    static Trigger update_block_start(int block);
    // Update: byte `line_byte` of line `line` of block `block` (16, the check
    // byte, is the one answered 'T' or 'U').
    static Trigger update_line(int block, int line, int line_byte = 16);
};

// A scripted fault: what the box does instead of (or, Stray, besides) its
// normal answer to a received byte that matches `at`. Faults are tried in the
// order they were added; the first that matches and has acts left acts,
// alone. A byte dropped by Silence has no effect at all: it does not count in
// `nth`, so the tool's resend of it arrives as the same point.
struct Fault {
    enum class Action : uint8_t {
        Silence, // drop this byte and every byte received for `duration`
                 // after it, unanswered and without effect (negative: for ever)
        Delay, // answer this byte only after `duration`; meanwhile the box is
               // busy and takes later bytes afterwards, in order
        Instead, // send `bytes` (each its own arrival) instead of the answer;
                 // the conversation goes on as if the answer had been sent
        End, // send `bytes` instead of the answer and end the conversation
             // (e.g. ']' or 'Z' in the middle of an update)
        Noise, // send `bytes` (each its own arrival) before the answer
        Joined, // send the answer and `bytes` together in ONE write (an answer
                // of several bytes, such as 'T' then '^', goes out whole)
        Resend, // update: answer the line's check byte with 'U' (the line is
                // rejected and asked for again), whatever its check byte
        HangUp, // close the box's side instead of answering
        Stray, // answer as usual, then, `duration` after the answer (after
               // this byte where there is none), send `bytes`, each its own
               // write: the first at once, even if the tool has not read the
               // answer yet, the others `gap` apart like an answer's bytes.
               // Meanwhile the box takes and answers the tool's bytes as
               // usual; the stray bytes change nothing in its conversations
               // (nor its measure of the line's quiet)
    };

    Trigger at;
    Action action = Action::Silence;
    milliseconds duration{0};
    Bytes bytes;
    int times = 1; // matching bytes it acts on; 0 = every one

    static constexpr milliseconds indefinitely{-1}; // not "forever": a Qt macro
    static Fault silence(Trigger at, milliseconds duration = indefinitely);
    static Fault delay(Trigger at, milliseconds duration);
    static Fault instead(Trigger at, Bytes bytes);
    static Fault end(Trigger at, Bytes bytes);
    static Fault noise(Trigger at, Bytes bytes);
    static Fault joined(Trigger at, Bytes extra = {});
    static Fault resend_line(Trigger at, int times = 1);
    static Fault hang_up(Trigger at);
    static Fault stray(Trigger at, Bytes bytes, milliseconds delay);
};

// ---------------------------------------------------------------------------
// Satellite records and update data.

constexpr int kSatellites = 199;
constexpr std::size_t kRecordSize = 20;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kLineBytes = 17;
constexpr std::size_t kBlockLines = 32;
constexpr std::size_t kBlockLineBytes = kLineBytes * kBlockLines; // 544

using Record = std::array<uint8_t, kRecordSize>;

// A record as the box sends it: name (up to 16 bytes, zero padded), position
// high byte first, horizontal, vertical.
Record box_record(const std::string &name, int16_t position, int8_t vertical, int8_t horizontal);

// The fields of a record as the tool sends it (position low byte first).
struct ToolRecordFields {
    std::string name; // bytes up to the first zero (at most 16)
    int16_t position = 0;
    int8_t vertical = 0;
    int8_t horizontal = 0;
};
ToolRecordFields decode_tool_record(const Record &r);

// The 199 records the box holds before any list write: satellite k named
// "Sat k", position 10·k, vertical k % 90, horizontal (k % 33) − 16. No byte
// of them is 0xEF (the tool would take it for the error byte).
std::vector<Record> default_records();

struct ReceivedBlock {
    uint8_t address_high = 0;
    std::array<uint8_t, kBlockLineBytes> lines{}; // the 32 lines as accepted
};

// ---------------------------------------------------------------------------
// Box: the simulated positioner box.
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

    PtyPeer &peer() { return *peer_; }
    std::string slave_path() const { return peer_->slave_path(); }
    bool link(const std::string &path, std::string *error = nullptr) { return peer_->link(path, error); }

    Settings settings() const;
    void set_settings(const Settings &s);

    // Back to rest: any conversation under way is forgotten. Data, scripts
    // and faults stay.
    void reset();

    // --- soft limits
    void set_limits(int16_t west, int16_t east);
    void set_limit_bytes(const std::array<uint8_t, 4> &bytes); // wire order
    std::array<uint8_t, 4> limit_bytes() const; // WEST lo, hi, EAST lo, hi
    int16_t west_limit() const;
    int16_t east_limit() const;
    // The index requests of a limits write, in order (repeats allowed, values
    // 0..3), and the end byte (>= 4).
    void set_write_requests(const Bytes &indices, uint8_t end_byte = 4);

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
    std::optional<std::array<uint8_t, kHeaderSize>> received_header() const;
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

    Bytes received() const { return peer_->received(); }
    std::vector<LoggedByte> log() const { return peer_->log(); }

private:
    struct Engine;
    void run();

    std::unique_ptr<PtyPeer> peer_;
    std::unique_ptr<Engine> engine_;
    std::thread thread_;
};

} // namespace boxsim
