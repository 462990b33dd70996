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
#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "box_sim.h"
#include "harness.h"
#include "line_timing.h"
#include "serial_port_handle.h"
#include "velmora.h"

namespace {

using bench::exchange_line_time_us;
using bench::micros;
using bench::Spread;
using bench::spread_of;

// Answers every message box with Yes and remembers the texts.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            // Marked rather than remembered: a new box may take the address
            // of one already answered and gone.
            if (!box || !box->isVisible() || box->property("answered").toBool())
                return;
            box->setProperty("answered", true);
            texts << box->text();
            // The single Yes, or the question's Write.
            QAbstractButton *answer = box->button(QMessageBox::Yes);
            for (QAbstractButton *b : box->buttons())
                if (!answer && box->buttonRole(b) == QMessageBox::AcceptRole)
                    answer = b;
            if (answer)
                answer->click();
        });
        timer.start(10);
    }
    QStringList texts;

private:
    QTimer timer;
};

bool wait_for_text(BoxAnswerer &answers, const QString &text, int timeout_ms)
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

void print_stats(const char *what, const Spread &s, double rtt)
{
    std::printf("  %-34s n=%-5zu median %7.1f us  p90 %7.1f us  max %8.1f us\n", what, s.count, s.median,
                s.p90, s.max);
    if (rtt > 0)
        std::printf("  %-34s median %7.1f us = %4.1f%% of the %.0f us line time of one exchange\n",
                    "  tool's own (minus pty round trip)", s.median - rtt,
                    100.0 * (s.median - rtt) / exchange_line_time_us, exchange_line_time_us);
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
    // The window's backups of the list go here, not to the user's folder.
    QTemporaryDir data_home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data_home.path()));

    Q_INIT_RESOURCE(velmora);
    QApplication app(argc, argv);
    BoxAnswerer answers; // the port probe may warn
    velmora window;
    window.show();
    boxsim::Box box;
    serial_port_handle &worker = harness::worker(window);
    worker.release_port();
    if (worker.open_port(QString::fromStdString(box.slave_path()))) {
        std::fprintf(stderr, "cannot open %s\n", box.slave_path().c_str());
        return 1;
    }
    worker.close_port();

    const Spread rtt_before = spread_of(bench::echo_round_trips(echoes));

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
    const std::vector<double> read_turn = bench::list_read_turnarounds(box.log()).turnarounds;
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
            std::printf("%10.1f us %s 0x%02X\n", micros(log[i].when - log[size_t(dump_from)].when),
                        log[i].from_box ? "box  -> tool" : "tool -> box ", log[i].value);
        bench::ListWriteTurns turns = bench::list_write_turnarounds(log);
        write_l = std::move(turns.after_l);
        write_m = std::move(turns.after_m);
    }
    const Spread rtt_after = spread_of(bench::echo_round_trips(echoes));
    const Spread overshoot = spread_of(bench::sleep_overshoot(200));
    const double rtt = (rtt_before.median + rtt_after.median) / 2;

    const double read_pause_ms = 30 + 198 * 200;
    const double write_pause_ms = 199 * 20 * 5 + 10;
    std::printf("platform: %s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("pty round trip (echo, %d bytes, before/after): median %.1f / %.1f us, p90 %.1f / %.1f us\n",
                echoes, rtt_before.median, rtt_after.median, rtt_before.p90, rtt_after.p90);
    std::printf("full read : total %8.0f ms, prescribed pauses %6.0f ms, rest %6.0f ms\n", read_ms,
                read_pause_ms, read_ms - read_pause_ms);
    print_stats("box byte -> tool answer", spread_of(read_turn), rtt);
    std::printf("full write: total %8.0f ms, prescribed pauses %6.0f ms, rest %6.0f ms\n", write_ms,
                write_pause_ms, write_ms - write_pause_ms);
    print_stats("'L' -> first record byte", spread_of(write_l), rtt);
    print_stats("'M' -> number (after the 5 ms pause)", spread_of(write_m), rtt);
    std::printf("  %-34s median %7.1f us (p90 %.1f us); 'M' own minus it: %.1f us = %4.1f%%\n",
                "5 ms sleep ends late by", overshoot.median, overshoot.p90,
                spread_of(write_m).median - rtt - overshoot.median,
                100.0 * (spread_of(write_m).median - rtt - overshoot.median) / exchange_line_time_us);
    return 0;
}
