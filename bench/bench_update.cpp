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
#include <atomic>
#include <cstdio>
#include <optional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "package_builder.h"
#include "update_rig.h"

using Clock = boxsim::Clock;
using micros = std::chrono::duration<double, std::micro>;

namespace {

// Line time of one exchange at 57600 baud: two characters of 10 bits.
constexpr double exchange_line_time_us = 2 * 10 * 1e6 / 57600;

// An image with a byte for every address from 0x3200 to 0xFFFF, and its
// configuration record.
std::string whole_flash_image()
{
    std::ostringstream image;
    auto record = [&](unsigned address, const std::vector<unsigned> &data) {
        unsigned sum = unsigned(data.size() + 3) + (address >> 8) + (address & 0xFF);
        char text[16];
        std::snprintf(text, sizeof text, "S1%02X%04X", unsigned(data.size() + 3), address);
        image << text;
        for (unsigned b : data) {
            std::snprintf(text, sizeof text, "%02X", b);
            image << text;
            sum += b;
        }
        std::snprintf(text, sizeof text, "%02X\n", ~sum & 0xFF);
        image << text;
    };
    record(0x3100, {0x32, 0x67, 0x01, 0x00});
    unsigned seed = 12345;
    for (unsigned address = 0x3200; address < 0x10000; address += 16) {
        std::vector<unsigned> data;
        for (int i = 0; i < 16; ++i) {
            seed = seed * 1103515245 + 12345;
            data.push_back((seed >> 16) & 0xFF);
        }
        record(address, data);
    }
    image << "S9030000FC\n";
    return image.str();
}

update_test::test_package whole_flash_package()
{
    std::istringstream image(whole_flash_image());
    QByteArray bytes;
    PackageBuilder builder;
    builder.build(
        image,
        [&](const char *data, std::size_t size) {
            bytes.append(data, int(size));
            return true;
        },
        FirmwareConfig{});
    update_test::test_package package;
    std::copy_n(bytes.constData(), kPackageHeaderSize, package.header.bytes);
    for (int at = int(kPackageHeaderSize); at + int(kPackageBlockSize) <= bytes.size();
         at += int(kPackageBlockSize)) {
        PackageBlock block;
        std::copy_n(bytes.constData() + at, kPackageBlockSize, block.bytes);
        package.blocks.push_back(block);
    }
    return package;
}

struct spread {
    double median = 0;
    double p99 = 0;
    double max = 0;
};

spread spread_of(std::vector<double> values)
{
    spread s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.max = values.back();
    return s;
}

// Round trips of single bytes through a pseudo-terminal answered by a thread
// blocked in read(): the line's own cost, without the tool.
std::vector<double> echo_round_trips(int count)
{
    boxsim::PtyPeer peer;
    const int fd = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    std::atomic<bool> done{false};
    std::thread echo([&] {
        pollfd p{fd, POLLIN, 0};
        while (!done) {
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char c;
            if (::read(fd, &c, 1) == 1 && ::write(fd, &c, 1) != 1)
                break;
        }
    });
    std::vector<double> trips;
    for (int i = 0; i < count; ++i) {
        peer.send(uint8_t('^'));
        if (!peer.wait_received(std::size_t(i + 1), std::chrono::milliseconds{1000}))
            break;
    }
    done = true;
    echo.join();
    ::close(fd);
    Clock::time_point sent{};
    for (const auto &b : peer.log()) {
        if (b.from_box)
            sent = b.when;
        else
            trips.push_back(micros(b.when - sent).count());
    }
    return trips;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(velmora);

    const update_test::test_package package = whole_flash_package();
    std::printf("platform %s, package of %zu blocks (%zu data bytes)\n",
                qPrintable(QGuiApplication::platformName()), package.blocks.size(),
                package.blocks.size() * kBlockLineBytes);

    const spread echo_before = spread_of(echo_round_trips(2000));

    boxsim::Box::Settings settings;
    // The box's second byte of a pair ('T' then '^') waits until the tool
    // has read the first and then 1 ms more: the tool keeps only the first
    // byte of an arrival, and a '^' right behind the 'T' may be cleared away.
    settings.gap = std::chrono::milliseconds{1};
    update_test::rig r(settings);
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

    const spread echo_after = spread_of(echo_round_trips(2000));
    const double echo = (echo_before.median + echo_after.median) / 2;

    // Each tool byte that answers a '^' of the box, paired in time order (the
    // box stamps its byte after write() returns, so the log itself may list
    // the answer first). A '^' the tool never saw is answered only by the
    // watchdog, two seconds later: counted apart.
    auto log = r.box.log();
    std::stable_sort(log.begin(), log.end(), [](const auto &a, const auto &b) { return a.when < b.when; });
    std::vector<double> turnaround;
    std::vector<double> own;
    int watchdog_answers = 0;
    std::optional<Clock::time_point> asked;
    Clock::time_point first{}, last{};
    for (const auto &b : log) {
        if (b.from_box) {
            asked.reset();
            if (b.value == '^')
                asked = b.when;
            continue;
        }
        if (!asked)
            continue;
        const double t = micros(b.when - *asked).count();
        asked.reset();
        if (t > 1e6) {
            ++watchdog_answers;
            continue;
        }
        turnaround.push_back(t);
        own.push_back(t - echo);
        if (first == Clock::time_point{})
            first = b.when;
        last = b.when;
    }
    const spread all = spread_of(turnaround);
    const spread mine = spread_of(own);
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
                mine.median, 100 * mine.median / exchange_line_time_us, exchange_line_time_us, mine.p99,
                100 * mine.p99 / exchange_line_time_us);
    return exact ? 0 : 1;
}
