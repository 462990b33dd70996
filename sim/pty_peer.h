#pragma once

// The line of the simulated box: bytes, their times, and the far end of a
// pseudo-terminal, without any protocol.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::mutex send_lock; // one write at a time; hang_up waits for it
    int master_fd = -1;
    int slave_fd = -1;
    int wake_pipe[2] = {-1, -1};
    std::string slave_name;
    std::string link_name;
    Bytes received_bytes;
    std::vector<Clock::time_point> received_times;
    std::vector<LoggedByte> logged;
    std::function<void(const LoggedByte &)> log_sink;
    bool stopped = false;
    std::thread reader;
};

} // namespace boxsim
