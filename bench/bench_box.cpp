// vr20-box, the command-line program, run as a child program against the
// simulated box on a pseudo-terminal, a fresh box for each conversation: a
// full firmware update (103 blocks), a full list read and a full list write
// (the list just read, written back). Reports each one's total time and the
// tool's own time per exchange: the box's byte to the tool's answer, from the
// box's log, minus the pseudo-terminal's own round trip measured by an echo
// on another terminal just before and just after (answered by a thread, as
// the window's benchmarks measure it, and by a child process, the shape of
// vr20-box), beside the target; and the processor time vr20-box used. Then
// it runs the window's benchmarks (bench_update, bench_satlist) as child
// programs and prints their lines after its own.
//
//   xvfb-run -a ./bench_box [--cli-only] [--echoes N]
//
// --cli-only skips the window's benchmarks; without an X server they use
// Qt's offscreen platform. vr20-box writes its progress to a file, not to a
// terminal.
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "box_sim.h"
#include "line_timing.h"
#include "package_block.h"
#include "whole_flash.h"

extern char **environ;

namespace {

using bench::Clock;
using bench::exchange_line_time_us;
using bench::micros;
using bench::Spread;
using bench::spread_of;
using std::chrono::milliseconds;

// What the tool's own time per exchange should stay within.
constexpr double target_median_us = 0.05 * exchange_line_time_us;
constexpr double target_p99_us = 200;

struct ChildRun {
    bool started = false;
    int status = -1; // the exit status; 128 + the signal's number when one ended it
    double seconds = 0; // from the start to the end of the program
    double cpu_user_s = 0; // the processor time it used
    double cpu_system_s = 0;
};

// Runs args[0] with the arguments after it, standard input from /dev/null,
// standard output and error to the files `out` and `err` (empty: this
// program's own), and waits for its end.
ChildRun run_child(const std::vector<std::string> &args, const std::string &out, const std::string &err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!out.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    if (!err.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    // What this program printed so far comes before the child's lines.
    std::fflush(stdout);
    std::fflush(stderr);
    ChildRun run;
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", args[0].c_str(), std::strerror(error));
        return run;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    run.started = true;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu_user_s = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6;
    run.cpu_system_s = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// The last lines of a child's standard error, after it failed.
void print_tail(const std::string &path, std::size_t count)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        std::fprintf(stderr, "  %s\n", lines[i].c_str());
}

bool write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out.flush());
}

// The pseudo-terminal's own round trip around one conversation, answered
// by a thread of this program (as the window's benchmarks measure it) and by
// a child process (as vr20-box answers: a process of its own).
struct EchoSpread {
    Spread before, after;
    Spread process_before, process_after;
    double process_cpu_before_us = 0, process_cpu_after_us = 0; // per byte echoed

    double median() const { return (before.median + after.median) / 2; }
    double process_median() const { return (process_before.median + process_after.median) / 2; }
};

void print_echo(const EchoSpread &echo)
{
    std::printf("  pty echo round trip: median %.1f us (before %.1f, after %.1f), p99 %.1f / %.1f us\n",
                echo.median(), echo.before.median, echo.after.median, echo.before.p99, echo.after.p99);
    std::printf(
        "    answered by a child process: median %.1f us (before %.1f, after %.1f), p99 %.1f / %.1f us\n",
        echo.process_median(), echo.process_before.median, echo.process_after.median, echo.process_before.p99,
        echo.process_after.p99);
    std::printf("    that process's processor time: %.1f / %.1f us per byte echoed (before / after)\n",
                echo.process_cpu_before_us, echo.process_cpu_after_us);
}

Spread minus(const std::vector<double> &turnarounds, double echo)
{
    std::vector<double> own;
    own.reserve(turnarounds.size());
    for (const double t : turnarounds)
        own.push_back(t - echo);
    return spread_of(std::move(own));
}

// One set of turnarounds and the tool's own part of them, with the target.
void print_turnarounds(const char *what, const std::vector<double> &turnarounds, const EchoSpread &echo)
{
    const Spread all = spread_of(turnarounds);
    const Spread mine = minus(turnarounds, echo.median());
    const Spread beside_process = minus(turnarounds, echo.process_median());
    // The box stamps its byte once write() has returned: an answer that came
    // before that gives a negative turnaround.
    const auto early = std::count_if(turnarounds.begin(), turnarounds.end(), [](double t) { return t < 0; });
    std::printf("  %-38s n=%-6zu median %7.1f us  p99 %7.1f us  max %8.1f us  (%ld before the box's stamp)\n",
                what, all.count, all.median, all.p99, all.max, long(early));
    std::printf("  %-38s median %7.1f us (%4.1f%% of %.0f us)  p99 %7.1f us\n",
                "  tool's own (minus pty echo)", mine.median, 100 * mine.median / exchange_line_time_us,
                exchange_line_time_us, mine.p99);
    std::printf("  %-38s median <= %.1f us: %s;  p99 < %.0f us: %s\n", "  target", target_median_us,
                mine.median <= target_median_us ? "within" : "MISSED", target_p99_us,
                mine.p99 < target_p99_us ? "within" : "MISSED");
    std::printf("  %-38s median %7.1f us (%4.1f%%)  p99 %7.1f us\n", "  minus the child process's echo",
                beside_process.median, 100 * beside_process.median / exchange_line_time_us,
                beside_process.p99);
}

// `sent`: the bytes the tool sent, for its processor time per byte.
void print_run(const char *what, const ChildRun &run, std::size_t sent)
{
    std::printf("%s: vr20-box exit status %d, %.2f s from start to end\n", what, run.status, run.seconds);
    std::printf("  vr20-box's processor time, all its work from start to end: user %.0f ms + system %.0f ms"
                " = %.1f us per byte it sent\n",
                run.cpu_user_s * 1e3, run.cpu_system_s * 1e3,
                sent ? (run.cpu_user_s + run.cpu_system_s) * 1e6 / double(sent) : 0.0);
}

struct Settings {
    std::string tool; // vr20-box
    std::string dir; // scratch files
    int echoes = 2000;
};

// Runs vr20-box on `box`'s terminal with `args` after --port, the echo
// measured just before and just after; false when the program failed.
bool converse(const Settings &s, boxsim::Box &box, const std::vector<std::string> &args, const char *what,
              ChildRun &run, EchoSpread &echo)
{
    std::vector<std::string> command{s.tool, "--port", box.slave_path()};
    command.insert(command.end(), args.begin(), args.end());
    const std::string err = s.dir + "/vr20-box.err";
    echo.before = spread_of(bench::echo_round_trips(s.echoes));
    echo.process_before
        = spread_of(bench::echo_round_trips(s.echoes, bench::EchoBy::process, &echo.process_cpu_before_us));
    run = run_child(command, s.dir + "/vr20-box.out", err);
    echo.after = spread_of(bench::echo_round_trips(s.echoes));
    echo.process_after
        = spread_of(bench::echo_round_trips(s.echoes, bench::EchoBy::process, &echo.process_cpu_after_us));
    if (run.started && run.status == 0)
        return true;
    std::printf("%s: vr20-box failed (exit status %d); its last words:\n", what, run.status);
    std::fflush(stdout);
    print_tail(err, 8);
    return false;
}

bool bench_update(const Settings &s)
{
    // The builder's debug line per block is none of this program's output.
    const QtMessageHandler before
        = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
              if (type != QtDebugMsg)
                  std::fprintf(stderr, "%s\n", qPrintable(text));
          });
    const std::string package = bench::whole_flash_package_bytes();
    qInstallMessageHandler(before);
    const std::string path = s.dir + "/whole_flash.bin";
    if (!write_file(path, package)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    const std::size_t blocks = (package.size() - package_header_size) / package_block_size;

    boxsim::Box::Settings box_settings;
    // As for the window: the box's second byte of a pair ('T' then '^')
    // comes 1 ms after the tool has read the first, since the tool keeps
    // only the first byte of an arrival.
    box_settings.gap = milliseconds{1};
    boxsim::Box box(box_settings);
    ChildRun run;
    EchoSpread echo;
    if (!converse(s, box, {"update", path}, "update", run, echo))
        return false;

    const auto received = box.received_blocks();
    bool exact = received.size() == blocks;
    for (std::size_t i = 0; exact && i < received.size(); ++i) {
        const char *stored = package.data() + package_header_size + i * package_block_size;
        exact = received[i].address_high == uint8_t(stored[0])
            && std::equal(received[i].lines.begin(), received[i].lines.end(),
                          reinterpret_cast<const uint8_t *>(stored + 2));
    }
    // Each data byte answering a '^'. A '^' the tool never saw is answered
    // only by its watchdog, seconds later: counted apart.
    std::vector<double> turnarounds;
    int watchdog_answers = 0;
    Clock::time_point first{}, last{};
    for (const bench::Exchange &e : bench::exchanges_in(box.log(), uint8_t('^'))) {
        if (e.asked.value != '^')
            continue;
        if (e.turnaround_us() > 1e6) {
            ++watchdog_answers;
            continue;
        }
        turnarounds.push_back(e.turnaround_us());
        if (first == Clock::time_point{})
            first = e.answer.when;
        last = e.answer.when;
    }
    print_run("update", run, box.received().size());
    std::printf("  %zu blocks (%zu data bytes); blocks received as stored: %s; lines asked again: %d; "
                "'^' answered only by the watchdog: %d\n",
                blocks, blocks * block_line_bytes, exact ? "yes" : "NO", box.lines_rejected(),
                watchdog_answers);
    std::printf("  data phase %.2f s (the 0.4 s entry pause and the box's 1 ms gaps before each line's '^' "
                "are prescribed)\n",
                std::chrono::duration<double>(last - first).count());
    print_echo(echo);
    print_turnarounds("'^' -> data byte", turnarounds, echo);
    return exact;
}

bool bench_list_read(const Settings &s, const std::string &csv)
{
    boxsim::Box box;
    ChildRun run;
    EchoSpread echo;
    if (!converse(s, box, {"list", "read", csv}, "list read", run, echo))
        return false;
    // Every answer: 'I' -> satellite number, record byte -> 0xCC. The 200 ms
    // before each 'H' follows the tool's own 0xCC, so it is in no turnaround.
    const bench::ListReadTurns turns = bench::list_read_turnarounds(box.log());
    const double pauses_s = (30 + 198 * 200) / 1000.0;
    print_run("list read", run, box.received().size());
    std::printf("  the box sent all %d records: %s; prescribed pauses %.2f s, rest %.2f s\n",
                boxsim::satellite_slots, box.completed(boxsim::Conversation::list_read) == 1 ? "yes" : "NO",
                pauses_s, run.seconds - pauses_s);
    std::printf("  answers found by their places among the tool's bytes: %s\n",
                turns.by_place ? "yes" : "no");
    print_echo(echo);
    print_turnarounds("box byte -> tool answer", turns.turnarounds, echo);
    return box.completed(boxsim::Conversation::list_read) == 1;
}

bool bench_list_write(const Settings &s, const std::string &csv)
{
    boxsim::Box box;
    ChildRun run;
    EchoSpread echo;
    if (!converse(s, box, {"list", "write", csv}, "list write", run, echo))
        return false;
    const bench::ListWriteTurns turns = bench::list_write_turnarounds(box.log());
    const Spread overshoot = spread_of(bench::sleep_overshoot(200));
    const double pauses_s = (199 * 20 * 5 + 10) / 1000.0;
    print_run("list write", run, box.received().size());
    std::printf("  records stored by the box: %zu of %d; prescribed pauses %.2f s (5 ms after each record "
                "byte, the box takes them no faster), rest %.2f s\n",
                box.written_records().size(), boxsim::satellite_slots, pauses_s, run.seconds - pauses_s);
    std::printf("  answers found by their places among the tool's bytes: %s\n",
                turns.by_place ? "yes" : "no");
    print_echo(echo);
    print_turnarounds("'L' -> first record byte", turns.after_l, echo);
    print_turnarounds("'M' -> number (after the 5 ms pause)", turns.after_m, echo);
    const double m_own = spread_of(turns.after_m).median - echo.median();
    std::printf("  %-38s median %7.1f us (p90 %.1f us); 'M' own minus it: %.1f us = %4.1f%%\n",
                "5 ms sleep ends late by", overshoot.median, overshoot.p90, m_own - overshoot.median,
                100 * (m_own - overshoot.median) / exchange_line_time_us);
    return box.written_records().size() == std::size_t(boxsim::satellite_slots);
}

// The window's benchmark `name`, run as it is, its lines printed as they come.
bool run_window_bench(const Settings &s, const char *name)
{
    const std::string path = std::string(VR20_BINARY_DIR) + "/" + name;
    std::printf("\n---- the window: %s ----\n", name);
    if (access(path.c_str(), X_OK) != 0) {
        std::printf("%s is not built: build the target %s\n", path.c_str(), name);
        return false;
    }
    // Its debug lines (one per reply) go to a file, as to /dev/null when it runs alone.
    const std::string err = s.dir + "/" + name + ".err";
    const ChildRun run = run_child({path}, std::string(), err);
    if (run.started && run.status == 0)
        return true;
    std::printf("%s failed (exit status %d); its last words:\n", name, run.status);
    std::fflush(stdout);
    print_tail(err, 8);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    bool cli_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cli-only") == 0) {
            cli_only = true;
        } else if (std::strcmp(argv[i], "--echoes") == 0 && i + 1 < argc) {
            s.echoes = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_box [--cli-only] [--echoes N]\n");
            return 2;
        }
    }
    s.tool = std::string(VR20_BINARY_DIR) + "/vr20-box";
    if (access(s.tool.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is not built: build the target vr20-box\n", s.tool.c_str());
        return 1;
    }
    char dir[] = "/tmp/bench_box.XXXXXX";
    if (!mkdtemp(dir)) {
        std::fprintf(stderr, "cannot make a scratch folder: %s\n", std::strerror(errno));
        return 1;
    }
    s.dir = dir;
    // The window's benchmarks need a platform.
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::printf("vr20-box against the simulated box on a pseudo-terminal (%s)\n", s.tool.c_str());
    std::printf("line time of one exchange at 57600 baud: %.0f us; target for the tool's own time per "
                "exchange: median <= %.1f us (5%%), p99 < %.0f us\n\n",
                exchange_line_time_us, target_median_us, target_p99_us);
    bool ok = bench_update(s);
    std::printf("\n");
    const std::string csv = s.dir + "/list.csv";
    if (bench_list_read(s, csv)) {
        std::printf("\n");
        ok = bench_list_write(s, csv) && ok;
    } else {
        ok = false;
        std::printf("list write: skipped, it writes back the list read\n");
    }

    if (!cli_only) {
        ok = run_window_bench(s, "bench_update") && ok;
        ok = run_window_bench(s, "bench_satlist") && ok;
    }

    for (const char *name : {"whole_flash.bin", "list.csv", "vr20-box.out", "vr20-box.err",
                             "bench_update.err", "bench_satlist.err"})
        unlink((s.dir + "/" + name).c_str());
    rmdir(dir);
    return ok ? 0 : 1;
}
