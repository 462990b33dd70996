// A full list read and a full list write through the real window, worker
// and QSerialPort against the simulated box on a pseudo-terminal. Reports
// each one's total time, the time spent in the prescribed pauses, and the
// tool's own time per exchange: the box's byte to the tool's answer, minus
// the pseudo-terminal's own round trip measured in the same run by a plain
// echo on a second terminal. The write's 'M' is answered after a prescribed
// 5 ms pause; how late such a sleep ends on this machine is reported beside it.
//
//   bench_satlist [--echoes N] [--dump N] [--write-only]
// Run under a real X server (xvfb-run) to include painting; without one it
// falls back to the offscreen platform.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include "box_sim.h"
#include "serial_port_handle.h"
#include "velmora.h"

struct bench_tag;
template <>
struct velmora_access<bench_tag> {
    static serial_port_handle &worker(velmora &w) { return *w.port_worker; }
};

namespace {

using Clock = boxsim::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr double line_time_us = 10.0 * 1e6 / 57600; // one byte, 8N1
constexpr double exchange_line_us = 2 * line_time_us; // a byte each way: 347 us

double us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct stats {
    double median = 0, p90 = 0, max = 0;
    size_t count = 0;
};

stats summarise(std::vector<double> v)
{
    stats s;
    s.count = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p90 = v[v.size() * 9 / 10];
    s.max = v.back();
    return s;
}

// Round trips of single bytes through a second pseudo-terminal answered by a
// blocking echo on its slave side: what the line costs without the tool.
stats pty_round_trip(int count)
{
    boxsim::PtyPeer peer;
    const int fd = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return {};
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    std::thread echo([fd, count] {
        for (int i = 0; i < count; ++i) {
            char c;
            if (::read(fd, &c, 1) != 1 || ::write(fd, &c, 1) != 1)
                return;
        }
    });
    for (int i = 0; i < count; ++i) {
        peer.send(uint8_t(i));
        peer.wait_received(size_t(i) + 1, milliseconds(1000));
    }
    echo.join();
    ::close(fd);

    std::vector<double> trips;
    Clock::time_point sent{};
    for (const auto &b : peer.log()) {
        if (b.from_box)
            sent = b.when;
        else
            trips.push_back(us(b.when - sent));
    }
    return summarise(trips);
}

// How late a 5 ms sleep without timer slack ends on this machine, on a
// thread of its own: the part of the write's 'M' turnaround that the system's
// timer, not the tool, adds after the prescribed pause.
stats sleep_overshoot(int count)
{
    std::vector<double> late;
    std::thread sleeper([&] {
        prctl(PR_SET_TIMERSLACK, 1UL);
        for (int i = 0; i < count; ++i) {
            const auto start = Clock::now();
            usleep(5000);
            late.push_back(us(Clock::now() - start) - 5000);
        }
    });
    sleeper.join();
    return summarise(late);
}

// Answers every message box with Yes and remembers the texts.
class box_answerer : public QObject
{
public:
    box_answerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            // Marked rather than remembered: a new box may take the address
            // of one already answered and gone.
            if (!box || !box->isVisible() || box->property("answered").toBool())
                return;
            box->setProperty("answered", true);
            texts << box->text();
            box->button(QMessageBox::Yes)->click();
        });
        timer.start(10);
    }
    QStringList texts;

private:
    QTimer timer;
};

bool wait_for_text(box_answerer &answers, const QString &text, int timeout_ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!answers.texts.contains(text)) {
        if (clock.elapsed() > timeout_ms)
            return false;
        // Sleeps until something happens, as the tool's own event loop does:
        // a loop that only polls would keep a core busy and delay the
        // worker's wake-ups that are being measured.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void print_stats(const char *what, const stats &s, double rtt)
{
    std::printf("  %-34s n=%-5zu median %7.1f us  p90 %7.1f us  max %8.1f us\n", what, s.count, s.median,
                s.p90, s.max);
    if (rtt > 0)
        std::printf("  %-34s median %7.1f us = %4.1f%% of the %.0f us line time of one exchange\n",
                    "  tool's own (minus pty round trip)", s.median - rtt,
                    100.0 * (s.median - rtt) / exchange_line_us, exchange_line_us);
}

} // namespace

int main(int argc, char **argv)
{
    int echoes = 2000;
    int dump_from = -1; // --dump N: print the write's line log from its byte N on
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--echoes") == 0)
            echoes = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--dump") == 0)
            dump_from = std::atoi(argv[i + 1]);
    }
    const bool skip_read = argc > 1 && std::strcmp(argv[argc - 1], "--write-only") == 0;
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // One debug line per reply byte is part of the tool; keep it off the
    // benchmark's own output.
    qputenv("QT_LOGGING_RULES", "default.debug=false");

    Q_INIT_RESOURCE(velmora);
    QApplication app(argc, argv);
    box_answerer answers; // the port probe may warn
    velmora window;
    window.show();
    boxsim::Box box;
    serial_port_handle &worker = velmora_access<bench_tag>::worker(window);
    worker.release_port();
    if (worker.open_port(QString::fromStdString(box.slave_path()))) {
        std::fprintf(stderr, "cannot open %s\n", box.slave_path().c_str());
        return 1;
    }
    worker.close_port();

    const stats rtt_before = pty_round_trip(echoes);

    // ---- full read ----
    QElapsedTimer clock;
    clock.start();
    if (!skip_read)
        window.ui.pushButton_sat_read->click();
    if (!skip_read && !wait_for_text(answers, "Satellite data read successfully!", 180000)) {
        std::fprintf(stderr, "the read did not end\n");
        return 1;
    }
    const double read_ms = clock.nsecsElapsed() / 1e6;
    std::vector<double> read_turn;
    {
        const auto log = box.log();
        for (size_t i = 0; i + 1 < log.size(); ++i)
            if (log[i].from_box && !log[i + 1].from_box)
                read_turn.push_back(us(log[i + 1].when - log[i].when));
    }
    const size_t read_bytes = box.log().size();

    // ---- full write ----
    clock.restart();
    window.ui.pushButton_sat_save->click();
    if (!wait_for_text(answers, "Satellite data write successfully!", 180000)) {
        std::fprintf(stderr, "the write did not end\n");
        return 1;
    }
    const double write_ms = clock.nsecsElapsed() / 1e6;
    std::vector<double> write_l, write_m;
    {
        const auto all = box.log();
        const std::vector<boxsim::LoggedByte> log(all.begin() + long(read_bytes), all.end());
        for (size_t i = size_t(std::max(dump_from, 0));
             dump_from >= 0 && i < log.size() && i < size_t(dump_from) + 50; ++i)
            std::printf("%10.1f us %s 0x%02X\n", us(log[i].when - log[size_t(dump_from)].when),
                        log[i].from_box ? "box  -> tool" : "tool -> box ", log[i].value);
        Clock::time_point last_tool_byte{};
        for (size_t i = 0; i + 1 < log.size(); ++i) {
            if (!log[i].from_box) {
                last_tool_byte = log[i].when;
                continue;
            }
            if (log[i + 1].from_box)
                continue;
            if (log[i].value == 'L') {
                write_l.push_back(us(log[i + 1].when - log[i].when));
            } else if (log[i].value == 'M') {
                // The 5 ms pause after the last record byte may still run
                // when 'M' arrives: count from the later of the two.
                const auto from = std::max(log[i].when, last_tool_byte + milliseconds(5));
                write_m.push_back(us(log[i + 1].when - from));
            }
        }
    }
    const stats rtt_after = pty_round_trip(echoes);
    const stats overshoot = sleep_overshoot(200);
    const double rtt = (rtt_before.median + rtt_after.median) / 2;

    const double read_pause_ms = 30 + 198 * 200;
    const double write_pause_ms = 199 * 20 * 5 + 10;
    std::printf("platform: %s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("pty round trip (echo, %d bytes, before/after): median %.1f / %.1f us, p90 %.1f / %.1f us\n",
                echoes, rtt_before.median, rtt_after.median, rtt_before.p90, rtt_after.p90);
    std::printf("full read : total %8.0f ms, prescribed pauses %6.0f ms, rest %6.0f ms\n", read_ms,
                read_pause_ms, read_ms - read_pause_ms);
    print_stats("box byte -> tool answer", summarise(read_turn), rtt);
    std::printf("full write: total %8.0f ms, prescribed pauses %6.0f ms, rest %6.0f ms\n", write_ms,
                write_pause_ms, write_ms - write_pause_ms);
    print_stats("'L' -> first record byte", summarise(write_l), rtt);
    print_stats("'M' -> number (after the 5 ms pause)", summarise(write_m), rtt);
    std::printf("  %-34s median %7.1f us (p90 %.1f us); 'M' own minus it: %.1f us = %4.1f%%\n",
                "5 ms sleep ends late by", overshoot.median, overshoot.p90,
                summarise(write_m).median - rtt - overshoot.median,
                100.0 * (summarise(write_m).median - rtt - overshoot.median) / exchange_line_us);
    return 0;
}
