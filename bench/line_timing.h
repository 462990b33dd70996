#pragma once

// What the benchmarks of the box's conversations measure alike: the
// pseudo-terminal's own round trip, the box's bytes paired with the tool's
// answers in the simulated box's log, the spread of a set of times, and how
// late a short sleep ends on this machine.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "box_sim.h"

namespace bench {

using Clock = boxsim::Clock;

// The line time of one exchange at 57600 baud, 8N1: a byte each way, 10 bits
// each, 347 us.
constexpr double exchange_line_time_us = 2 * 10 * 1e6 / 57600;

inline double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Spread {
    std::size_t count = 0;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};

inline Spread spread_of(std::vector<double> values)
{
    Spread s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const auto at = [&](std::size_t i) { return values[std::min(values.size() - 1, i)]; };
    s.median = at(values.size() / 2);
    s.p90 = at(values.size() * 9 / 10);
    s.p99 = at(values.size() * 99 / 100);
    s.max = values.back();
    return s;
}

// Who answers the echo: a thread of this program, as the window's worker
// thread answers the box, or a child process, as vr20-box does.
enum class EchoBy { thread, process };

// Round trips of single bytes through a pseudo-terminal of its own answered
// by an echo waiting in poll() and read() on the slave side: what the line
// costs without the tool. A child process's processor time per byte echoed
// goes to `process_cpu_us` when given.
inline std::vector<double> echo_round_trips(int count, EchoBy by = EchoBy::thread,
                                            double *process_cpu_us = nullptr)
{
    boxsim::PtyPeer peer;
    const int fd = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return {};
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    std::atomic<bool> done{false};
    // Echoes `count` bytes; stops early when told (a thread) or after a
    // quiet second (a child process, which only makes system calls).
    const auto echo = [&](bool alone) {
        pollfd p{fd, POLLIN, 0};
        for (int echoed = 0; !done && echoed < count;) {
            const int r = ::poll(&p, 1, alone ? 1000 : 50);
            if (r == 0 && alone)
                return;
            if (r <= 0)
                continue;
            char c;
            if (::read(fd, &c, 1) != 1)
                continue;
            if (::write(fd, &c, 1) != 1)
                return;
            ++echoed;
        }
    };
    std::thread thread;
    pid_t child = -1;
    if (by == EchoBy::process) {
        child = fork();
        if (child == 0) {
            echo(true);
            _exit(0);
        }
        if (child < 0) {
            ::close(fd);
            return {};
        }
    } else {
        thread = std::thread(echo, false);
    }
    for (int i = 0; i < count; ++i) {
        peer.send(uint8_t('^'));
        if (!peer.wait_received(std::size_t(i + 1), std::chrono::milliseconds{1000}))
            break;
    }
    done = true;
    if (thread.joinable())
        thread.join();
    if (child > 0) {
        int status = 0;
        rusage usage{};
        while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) { }
        if (process_cpu_us && count > 0)
            *process_cpu_us = (double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6
                               + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec))
                / count;
    }
    ::close(fd);
    // The n-th echo answers the n-th byte sent. The sender stamps its byte
    // once write() has returned, so an echo may be logged before the byte it
    // answers: paired by their places, not by the order of the log.
    std::vector<Clock::time_point> sent, echoed;
    for (const auto &b : peer.log())
        (b.from_box ? sent : echoed).push_back(b.when);
    std::vector<double> trips;
    for (std::size_t i = 0; i < std::min(sent.size(), echoed.size()); ++i)
        trips.push_back(micros(echoed[i] - sent[i]));
    return trips;
}

// A byte of the box and the tool's byte that answers it.
struct Exchange {
    boxsim::LoggedByte asked;
    boxsim::LoggedByte answer;
    // The tool's last byte before `answer` other than it (the epoch: none).
    Clock::time_point tool_before{};

    // Negative when the box's stamp came after the answer's.
    double turnaround_us() const { return micros(answer.when - asked.when); }
};

// The box's bytes that the tool answers and their answers, in time order:
// the tool's byte right after a box byte answers it. The box stamps its byte
// once write() has returned and the tool's when its reader takes it, so an
// answer may be logged before the byte it answers: a box byte with no tool
// byte right after it takes the tool's byte right before it when that one
// answers nothing else. Right for box bytes the tool always answers ('^',
// 'I', a record byte, 'M').
//
// A late stamp can also put the answer before the box's byte while the
// tool's next byte still follows it. For box bytes of the value
// `answers_first`, a tool byte right before one that answers nothing else
// is taken as its answer even then: right for a byte the box sends only once
// it has the tool's answer to its previous one, so that the byte before it
// is already taken (the update's '^'; after the tool's watchdog resends a
// byte, the box's '^' to that is taken as answered by it). Wrong for a byte
// that answers a byte of the tool's own ('H' -> 'I'), and where the tool
// sends bytes of its own right after an answer (the list write's record
// bytes): the list conversations' answers are found by their places
// (list_read_turnarounds, list_write_turnarounds).
inline std::vector<Exchange> exchanges_in(std::vector<boxsim::LoggedByte> log,
                                          std::optional<uint8_t> answers_first = std::nullopt)
{
    std::stable_sort(log.begin(), log.end(), [](const auto &a, const auto &b) { return a.when < b.when; });
    const auto tool_at = [&](std::size_t i) { return i < log.size() && !log[i].from_box; };
    std::vector<bool> taken(log.size(), false);
    std::vector<Exchange> found;
    Clock::time_point last_tool{}, tool_before_last{};
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (!log[i].from_box) {
            tool_before_last = last_tool;
            last_tool = log[i].when;
            continue;
        }
        const bool early = i > 0 && tool_at(i - 1) && !taken[i - 1];
        if (early && (log[i].value == answers_first || !tool_at(i + 1))) {
            taken[i - 1] = true;
            found.push_back({log[i], log[i - 1], tool_before_last});
        } else if (tool_at(i + 1)) {
            taken[i + 1] = true;
            found.push_back({log[i], log[i + 1], last_tool});
        }
    }
    return found;
}

// The turnarounds of a list read: 'I' -> the satellite number, a record
// byte -> 0xCC.
struct ListReadTurns {
    std::vector<double> turnarounds;
    bool by_place = false; // answers found by their places among the tool's bytes
};

inline ListReadTurns list_read_turnarounds(const std::vector<boxsim::LoggedByte> &log)
{
    constexpr std::size_t tool_per_satellite
        = 2 + boxsim::box_record_size; // 'H', its number, a 0xCC per byte
    constexpr std::size_t box_per_satellite = 1 + boxsim::box_record_size; // 'I' and the record
    ListReadTurns turns;
    // Each side's bytes are stamped by one thread: their own order holds.
    std::vector<boxsim::LoggedByte> box, tool;
    for (const auto &b : log)
        (b.from_box ? box : tool).push_back(b);
    // A read without restarts: for each satellite 'H', its number and a 0xCC
    // per record byte from the tool; 'I' and the record from the box. The
    // tool's 'H' after the 200 ms pause follows its own 0xCC: a late stamp
    // of the box's last record byte must not pair that byte with it.
    const std::size_t n = tool.size() / tool_per_satellite;
    bool shaped = n > 0 && tool.size() == tool_per_satellite * n && box.size() == box_per_satellite * n;
    for (std::size_t k = 0; shaped && k < n; ++k) {
        const std::size_t t = tool_per_satellite * k;
        shaped = tool[t].value == 'H' && tool[t + 1].value == k + 1 && box[box_per_satellite * k].value == 'I'
            && std::all_of(tool.begin() + long(t + 2), tool.begin() + long(t + tool_per_satellite),
                           [](const auto &b) { return b.value == 0xCC; });
    }
    if (shaped) {
        turns.by_place = true;
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t i = 0; i < box_per_satellite; ++i)
                turns.turnarounds.push_back(
                    micros(tool[tool_per_satellite * k + 1 + i].when - box[box_per_satellite * k + i].when));
        return turns;
    }
    for (const Exchange &e : exchanges_in(log))
        turns.turnarounds.push_back(e.turnaround_us());
    return turns;
}

// The turnarounds of a list write: 'L' -> the first record byte, and 'M' ->
// the satellite number, counted from the end of the prescribed 5 ms pause
// after the last record byte when 'M' came before it (the pause may still
// run when 'M' arrives).
struct ListWriteTurns {
    std::vector<double> after_l, after_m;
    bool by_place = false; // answers found by their places among the tool's bytes
};

inline ListWriteTurns list_write_turnarounds(const std::vector<boxsim::LoggedByte> &log)
{
    constexpr auto pause = std::chrono::milliseconds(5);
    constexpr std::size_t per_satellite = 1 + boxsim::box_record_size; // its number and the record
    ListWriteTurns turns;
    // Each side's bytes are stamped by one thread: their own order holds.
    std::vector<boxsim::LoggedByte> asked_l, asked_m, tool;
    for (const auto &b : log) {
        if (!b.from_box)
            tool.push_back(b);
        else if (b.value == 'L')
            asked_l.push_back(b);
        else if (b.value == 'M')
            asked_m.push_back(b);
    }
    // A write without resends: 'J', each satellite's number and 20 record
    // bytes, then 200. The k-th 'M' is answered by the k-th number, the k-th
    // 'L' by the byte after it, whatever the order of the stamps.
    const std::size_t n = asked_l.size();
    bool shaped
        = asked_m.size() == n + 1 && tool.size() == 2 + per_satellite * n && tool.front().value == 'J';
    for (std::size_t k = 0; shaped && k <= n; ++k)
        shaped = tool[1 + per_satellite * k].value == (k < n ? k + 1 : 200);
    if (shaped) {
        turns.by_place = true;
        for (std::size_t k = 0; k < n; ++k)
            turns.after_l.push_back(micros(tool[2 + per_satellite * k].when - asked_l[k].when));
        for (std::size_t k = 0; k <= n; ++k) {
            const auto from = std::max(asked_m[k].when, tool[per_satellite * k].when + pause);
            turns.after_m.push_back(micros(tool[1 + per_satellite * k].when - from));
        }
        return turns;
    }
    for (const Exchange &e : exchanges_in(log)) {
        if (e.asked.value == 'L') {
            turns.after_l.push_back(e.turnaround_us());
        } else if (e.asked.value == 'M') {
            const auto from = std::max(e.asked.when, e.tool_before + pause);
            turns.after_m.push_back(micros(e.answer.when - from));
        }
    }
    return turns;
}

// How late a 5 ms sleep without timer slack ends on this machine, on a
// thread of its own: what the system's timer, not the tool, adds to a
// prescribed pause.
inline std::vector<double> sleep_overshoot(int count)
{
    std::vector<double> late;
    std::thread sleeper([&] {
        prctl(PR_SET_TIMERSLACK, 1UL);
        for (int i = 0; i < count; ++i) {
            const auto start = Clock::now();
            usleep(5000);
            late.push_back(micros(Clock::now() - start) - 5000);
        }
    });
    sleeper.join();
    return late;
}

} // namespace bench
