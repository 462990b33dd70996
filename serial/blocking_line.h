#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

// The serial line to the box for a program with one thread and no event
// loop (vr20-box): the same settings as the window's worker (57600 baud,
// 8N1, no flow control, the low-latency request), blocking calls that wait
// in short slices so that a stop request (SIGINT, SIGTERM) takes effect
// within 100 ms, and the worker's rule for replies: one byte per arrival,
// whatever else arrived with it is discarded.
class BlockingLine
{
public:
    enum class OpenError { none, missing, busy, denied, other };
    enum class Wait { byte, timeout, stopped, hung_up };

    // Opens `path` read/write with the line settings and holds it with
    // TIOCEXCL, so that no other program opens it meanwhile (the kernel lets
    // a process with CAP_SYS_ADMIN through all the same). On failure returns
    // null and says why in `error` and `error_text` (errno's text); either
    // may be null. missing: ENOENT, ENXIO, ENODEV; busy: EBUSY; denied:
    // EACCES, EPERM; other: the rest, and a path that is no terminal.
    static std::unique_ptr<BlockingLine> open(const QString &path, OpenError *error, QString *error_text);
    ~BlockingLine(); // discards what is unsent and unread, releases the line

    // Discards received and unsent bytes.
    void clear();
    // Discards received bytes only; bytes still to be sent go out.
    void discard_input();
    // Writes one byte; with `wait`, waits until it has left (at most 3000 ms
    // in all). False when the line is gone or the byte could not be written.
    // A stop request ends any wait with false: for room in the line (the
    // byte was not written) or for the byte to leave (it may still go).
    bool send(uint8_t byte, bool wait);
    // Waits at most `limit` for a byte. Reads one, discards whatever else has
    // arrived by then, and returns Wait::byte. Returns Wait::stopped as soon
    // as a stop is requested, Wait::hung_up when the far end hung up or the
    // device is gone.
    Wait read_byte(uint8_t &byte, std::chrono::milliseconds limit);
    // Sleeps `duration`; false when a stop request cut it short.
    bool pause(std::chrono::milliseconds duration);

    BlockingLine(const BlockingLine &) = delete;
    BlockingLine &operator=(const BlockingLine &) = delete;

private:
    explicit BlockingLine(int fd);
    int fd;
};

// SIGINT and SIGTERM set a stop request instead of ending the program. The
// handlers are installed without SA_RESTART, so a blocking system call the
// signal interrupts returns.
void install_stop_handlers();
bool stop_requested();
// The signal that asked to stop first (0: none), for the exit message.
int stop_signal();
// Forgets the stop request (a program that carries on after asking, tests).
void clear_stop_request();
