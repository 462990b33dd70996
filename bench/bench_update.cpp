// A full firmware update through the real window against the simulated box
// answering at once over a pseudo-terminal. Measures the total time and the
// tool's own turnaround per data byte: from the box's '^' written to the data
// byte read, minus the pseudo-terminal's own round trip (an echo on another
// terminal in the same run).
//
//   xvfb-run -a ./bench_update 2>/dev/null          (a real X server)
//   QT_QPA_PLATFORM=offscreen ./bench_update 2>/dev/null
//
// The debug messages of every reply go to stderr, as in the program.
#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>

#include "line_timing.h"
#include "update_rig.h"
#include "whole_flash.h"

using bench::Clock;

namespace {

update_test::TestPackage whole_flash_package()
{
    const std::string bytes = bench::whole_flash_package_bytes();
    update_test::TestPackage package;
    std::copy_n(bytes.data(), package_header_size, package.header.bytes);
    for (std::size_t at = package_header_size; at + package_block_size <= bytes.size();
         at += package_block_size) {
        PackageBlock block;
        std::copy_n(bytes.data() + at, package_block_size, block.bytes);
        package.blocks.push_back(block);
    }
    return package;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(velmora);

    const update_test::TestPackage package = whole_flash_package();
    std::printf("platform %s, package of %zu blocks (%zu data bytes)\n",
                qPrintable(QGuiApplication::platformName()), package.blocks.size(),
                package.blocks.size() * block_line_bytes);

    const bench::Spread echo_before = bench::spread_of(bench::echo_round_trips(2000));

    boxsim::Box::Settings settings;
    // The box's second byte of a pair ('T' then '^') waits until the tool
    // has read the first and then 1 ms more: the tool keeps only the first
    // byte of an arrival, and a '^' right behind the 'T' may be cleared away.
    settings.gap = std::chrono::milliseconds{1};
    update_test::UpdateRig r(settings);
    if (!r.ready()) {
        std::fprintf(stderr, "the window could not take the box's port\n");
        return 1;
    }
    r.load(r.write_package(package));
    QElapsedTimer clock;
    clock.start();
    r.press_start();
    if (!r.wait_session_end(600000)
        || r.driver.texts() != QStringList{QStringLiteral("Update process completed.")}) {
        std::fprintf(stderr, "the update did not complete\n");
        return 1;
    }
    const double total_s = double(clock.nsecsElapsed()) / 1e9;
    const auto blocks = r.box.received_blocks();
    bool exact = blocks.size() == package.blocks.size();
    for (std::size_t i = 0; exact && i < blocks.size(); ++i)
        exact = blocks[i].address_high == package.blocks[i].bytes[0]
            && std::equal(blocks[i].lines.begin(), blocks[i].lines.end(), package.blocks[i].bytes + 2);
    const int lines_repeated = r.box.lines_rejected();

    const bench::Spread echo_after = bench::spread_of(bench::echo_round_trips(2000));
    const double echo = (echo_before.median + echo_after.median) / 2;

    // Each tool byte that answers a '^' of the box. A '^' the tool never saw
    // is answered only by the watchdog, two seconds later: counted apart.
    std::vector<double> turnaround;
    std::vector<double> own;
    int watchdog_answers = 0;
    Clock::time_point first{}, last{};
    for (const bench::Exchange &e : bench::exchanges_in(r.box.log(), uint8_t('^'))) {
        if (e.asked.value != '^')
            continue;
        const double t = e.turnaround_us();
        if (t > 1e6) {
            ++watchdog_answers;
            continue;
        }
        turnaround.push_back(t);
        own.push_back(t - echo);
        if (first == Clock::time_point{})
            first = e.answer.when;
        last = e.answer.when;
    }
    const bench::Spread all = bench::spread_of(turnaround);
    const bench::Spread mine = bench::spread_of(own);
    const double data_phase_s = std::chrono::duration<double>(last - first).count();

    std::printf(
        "blocks received as stored: %s; lines asked again: %d; '^' answered only by the watchdog: %d\n",
        exact ? "yes" : "NO", lines_repeated, watchdog_answers);
    std::printf(
        "total %.2f s (from Start, 0.4 s entry pause included); data phase %.2f s for %zu data bytes\n",
        total_s, data_phase_s, turnaround.size());
    std::printf("pty echo round trip: median %.1f us (before %.1f, after %.1f), p99 %.1f us\n", echo,
                echo_before.median, echo_after.median, std::max(echo_before.p99, echo_after.p99));
    std::printf("'^' to data byte:    median %.1f us, p99 %.1f us, max %.1f us\n", all.median, all.p99,
                all.max);
    std::printf("tool's own time:     median %.1f us (%.1f%% of %.0f us), p99 %.1f us (%.1f%%)\n",
                mine.median, 100 * mine.median / bench::exchange_line_time_us, bench::exchange_line_time_us,
                mine.p99, 100 * mine.p99 / bench::exchange_line_time_us);
    return exact ? 0 : 1;
}
