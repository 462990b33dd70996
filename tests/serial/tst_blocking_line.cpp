// The line of the command-line program against pseudo-terminals: why an open
// fails, the settings it applies, bytes both ways, the one-byte-per-arrival
// rule, limits, hang-ups and stop requests.
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sys/ioctl.h>
#include <thread>

#include "blocking_line.h"
#include "box_sim.h"
#include "line_test_support.h"

using boxsim::PtyPeer;
using std::chrono::milliseconds;

namespace {
// Long enough for a byte to cross the line on a loaded machine.
constexpr milliseconds patience{10000};
// How long a byte that must not come is waited for: one that is there is
// read at once.
constexpr milliseconds no_byte{200};
// How late a loaded machine may end a wait that should end at once or at its
// limit.
constexpr int late_ms = 5000;
// A wait that must be cut short, far longer than patience and late_ms.
constexpr milliseconds long_wait{30000};
} // namespace

Q_DECLARE_METATYPE(BlockingLine::OpenError)

namespace {

std::unique_ptr<BlockingLine> open_line(const QString &path)
{
    BlockingLine::OpenError error = BlockingLine::OpenError::other;
    QString text;
    auto line = BlockingLine::open(path, &error, &text);
    if (!line)
        qWarning("open %s: %s", qPrintable(path), qPrintable(text));
    return line;
}

QString slave_of(const PtyPeer &peer)
{
    return QString::fromStdString(peer.slave_path());
}

// Raises `signal_number` in a thread of its own after `delay`.
struct DelayedSignal {
    std::thread thread;
    DelayedSignal(int signal_number, milliseconds delay)
        : thread([=] {
              std::this_thread::sleep_for(delay);
              raise(signal_number);
          })
    { }
    ~DelayedSignal() { thread.join(); }
};

} // namespace

class TstBlockingLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { install_stop_handlers(); }
    void init() { clear_stop_request(); }
    void cleanup() { clear_stop_request(); }

    void open_failures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<BlockingLine::OpenError>("expected");
        QTest::addColumn<int>("error_number");

        QTest::newRow("no such path") << "missing" << BlockingLine::OpenError::missing << ENOENT;
        QTest::newRow("held by another line") << "held" << BlockingLine::OpenError::busy << EBUSY;
        QTest::newRow("no permission") << "unreadable" << BlockingLine::OpenError::denied << EACCES;
        QTest::newRow("not a terminal") << "plain file" << BlockingLine::OpenError::other << ENOTTY;
        QTest::newRow("a directory") << "directory" << BlockingLine::OpenError::other << EISDIR;
    }
    void open_failures()
    {
        QFETCH(QString, setup);
        QFETCH(BlockingLine::OpenError, expected);
        QFETCH(int, error_number);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        PtyPeer peer;
        std::unique_ptr<BlockingLine> holder;
        QString path;
        if (setup == "missing") {
            path = dir.filePath("ttyUSB9");
        } else if (setup == "held") {
            path = slave_of(peer);
            holder = open_line(path);
            QVERIFY(holder);
        } else if (setup == "directory") {
            path = dir.path();
        } else {
            path = dir.filePath("port");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            if (setup == "unreadable")
                QVERIFY(file.setPermissions(QFileDevice::Permissions()));
        }

        auto user = WithoutCapabilities::like_a_user();
        if (!user.active())
            QSKIP("running as root without a way to drop privileges");
        BlockingLine::OpenError error = BlockingLine::OpenError::none;
        QString text;
        const auto line = BlockingLine::open(path, &error, &text);
        QVERIFY(!line);
        QCOMPARE(error, expected);
        QCOMPARE(text, QString::fromLocal8Bit(std::strerror(error_number)));
    }

    // The exclusive hold ends with the line, even while the terminal stays
    // open elsewhere (the simulated box keeps a descriptor of its own).
    void released_line_opens_again()
    {
        PtyPeer peer;
        auto user = WithoutCapabilities::like_a_user();
        if (!user.active())
            QSKIP("running as root without a way to drop privileges");
        auto first = open_line(slave_of(peer));
        QVERIFY(first);
        BlockingLine::OpenError error = BlockingLine::OpenError::none;
        QVERIFY(!BlockingLine::open(slave_of(peer), &error, nullptr));
        QCOMPARE(error, BlockingLine::OpenError::busy);
        first.reset();
        auto second = BlockingLine::open(slave_of(peer), &error, nullptr);
        QVERIFY(second);
        QCOMPARE(error, BlockingLine::OpenError::none);
        QVERIFY(second->send('A', true));
        QVERIFY(peer.wait_received(1, patience));
    }

    // The terminal starts out with other settings; the open must replace
    // every one that matters to the box. (A pseudo-terminal forces 8 data
    // bits and no parity by itself, so those are not checked here.)
    void line_settings_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<uint>("mask");
        QTest::addColumn<uint>("expected");

        QTest::newRow("input speed") << "ispeed" << ~0u << uint(B57600);
        QTest::newRow("output speed") << "ospeed" << ~0u << uint(B57600);
        QTest::newRow("one stop bit") << "cflag" << uint(CSTOPB) << 0u;
        QTest::newRow("no hardware flow control") << "cflag" << uint(CRTSCTS) << 0u;
        QTest::newRow("no modem control, receiver on")
            << "cflag" << uint(CLOCAL | CREAD) << uint(CLOCAL | CREAD);
        QTest::newRow("no software flow control") << "iflag" << uint(IXON | IXOFF | IXANY) << 0u;
        QTest::newRow("bytes kept as they are")
            << "iflag" << uint(ISTRIP | ICRNL | INLCR | IGNCR | IGNBRK | BRKINT | PARMRK) << 0u;
        QTest::newRow("no line editing, echo or signals")
            << "lflag" << uint(ICANON | ECHO | ECHONL | ISIG | IEXTEN) << 0u;
        QTest::newRow("no output processing") << "oflag" << uint(OPOST) << 0u;
        QTest::newRow("reads return at once") << "vmin vtime" << ~0u << 0u;
    }
    void line_settings()
    {
        QFETCH(QString, field);
        QFETCH(uint, mask);
        QFETCH(uint, expected);

        Pty pty;
        termios t{};
        QCOMPARE(tcgetattr(pty.slave, &t), 0);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        t.c_cflag |= CSTOPB | CRTSCTS;
        t.c_cflag &= ~tcflag_t(CLOCAL | CREAD);
        t.c_iflag |= IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR | BRKINT | PARMRK;
        t.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
        t.c_oflag |= OPOST;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;
        QCOMPARE(tcsetattr(pty.slave, TCSANOW, &t), 0);

        const auto line = open_line(pty.path);
        QVERIFY(line);
        QCOMPARE(tcgetattr(pty.slave, &t), 0);
        uint value = 0;
        if (field == "ispeed")
            value = uint(cfgetispeed(&t));
        else if (field == "ospeed")
            value = uint(cfgetospeed(&t));
        else if (field == "cflag")
            value = uint(t.c_cflag);
        else if (field == "iflag")
            value = uint(t.c_iflag);
        else if (field == "lflag")
            value = uint(t.c_lflag);
        else if (field == "oflag")
            value = uint(t.c_oflag);
        else
            value = uint(t.c_cc[VMIN]) | uint(t.c_cc[VTIME]) << 8;
        QCOMPARE(value & mask, expected);
    }

    // Bytes a cooked line would swallow or change go through unchanged.
    void bytes_both_ways_data()
    {
        QTest::addColumn<uint>("byte");
        QTest::addColumn<bool>("wait");

        QTest::newRow("letter, waiting") << uint('E') << true;
        QTest::newRow("letter, not waiting") << uint('R') << false;
        QTest::newRow("zero") << 0x00u << true;
        QTest::newRow("0xFF") << 0xFFu << true;
        QTest::newRow("carriage return") << 0x0Du << false;
        QTest::newRow("line feed") << 0x0Au << true;
        QTest::newRow("XOFF") << 0x13u << true;
        QTest::newRow("XON") << 0x11u << false;
        QTest::newRow("interrupt (^C)") << 0x03u << true;
        QTest::newRow("end of file (^D)") << 0x04u << true;
        QTest::newRow("erase") << 0x7Fu << true;
        QTest::newRow("high bit") << 0xCCu << false;
    }
    void bytes_both_ways()
    {
        QFETCH(uint, byte);
        QFETCH(bool, wait);

        PtyPeer peer;
        const auto line = open_line(slave_of(peer));
        QVERIFY(line);
        QVERIFY(line->send(uint8_t(byte), wait));
        QVERIFY(peer.wait_received(1, patience));
        QCOMPARE(peer.received(), boxsim::Bytes{uint8_t(byte)});

        QVERIFY(peer.send(uint8_t(byte)));
        uint8_t got = uint8_t(~byte);
        QCOMPARE(line->read_byte(got, patience), BlockingLine::Wait::byte);
        QCOMPARE(uint(got), byte);
    }

    void one_byte_per_arrival()
    {
        PtyPeer peer;
        const auto line = open_line(slave_of(peer));
        QVERIFY(line);
        QVERIFY(peer.send(boxsim::Bytes{'T', '^', 'Y'}));
        uint8_t got = 0;
        QCOMPARE(line->read_byte(got, patience), BlockingLine::Wait::byte);
        QCOMPARE(got, uint8_t('T'));
        QCOMPARE(line->read_byte(got, no_byte), BlockingLine::Wait::timeout);
        QCOMPARE(got, uint8_t('T'));

        // The next arrival is read as usual.
        QVERIFY(peer.send(uint8_t('Q')));
        QCOMPARE(line->read_byte(got, patience), BlockingLine::Wait::byte);
        QCOMPARE(got, uint8_t('Q'));
    }

    void read_limit_data()
    {
        QTest::addColumn<int>("limit_ms");
        QTest::newRow("none") << 0;
        QTest::newRow("shorter than a slice") << 30;
        QTest::newRow("several slices") << 300;
    }
    void read_limit()
    {
        QFETCH(int, limit_ms);
        PtyPeer peer;
        const auto line = open_line(slave_of(peer));
        QVERIFY(line);
        QElapsedTimer timer;
        timer.start();
        uint8_t got = 0;
        QCOMPARE(line->read_byte(got, milliseconds(limit_ms)), BlockingLine::Wait::timeout);
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= limit_ms, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < limit_ms + late_ms, qPrintable(QString::number(elapsed)));
    }

    void hang_up_data()
    {
        QTest::addColumn<bool>("while_waiting");
        QTest::newRow("before the read") << false;
        QTest::newRow("during the read") << true;
    }
    void hang_up()
    {
        QFETCH(bool, while_waiting);
        PtyPeer peer;
        const auto line = open_line(slave_of(peer));
        QVERIFY(line);
        std::thread far_end;
        if (while_waiting)
            far_end = std::thread([&] {
                std::this_thread::sleep_for(milliseconds(100));
                peer.hang_up();
            });
        else
            peer.hang_up();
        QElapsedTimer timer;
        timer.start();
        uint8_t got = 0;
        const BlockingLine::Wait result = line->read_byte(got, long_wait);
        const qint64 elapsed = timer.elapsed();
        if (far_end.joinable())
            far_end.join();
        QCOMPARE(result, BlockingLine::Wait::hung_up);
        QVERIFY2(elapsed < late_ms, qPrintable(QString::number(elapsed)));
        QVERIFY(!line->send('R', false));
        QVERIFY(!line->send('R', true));
    }

    // The far end does not read: the byte waits for room and goes once the
    // far end reads again.
    void send_waits_for_room()
    {
        Pty pty;
        const auto line = open_line(pty.path);
        QVERIFY(line);
        QVERIFY(pty.fill_towards_master() > 0);
        std::string arrived;
        std::atomic<bool> reading{false};
        std::thread reader([&] {
            std::this_thread::sleep_for(milliseconds(200));
            reading = true;
            arrived = pty.drain_master();
        });
        const bool sent = line->send('M', true);
        // It did wait: the room came from the far end's read.
        const bool far_end_read_first = reading;
        reader.join();
        QVERIFY(sent);
        QVERIFY(far_end_read_first);
        QTRY_VERIFY_WITH_TIMEOUT((arrived += pty.drain_master(), !arrived.empty() && arrived.back() == 'M'),
                                 int(patience.count()));
        QCOMPARE(std::count(arrived.begin(), arrived.end(), 'M'), std::ptrdiff_t(1));
    }

    void send_gives_up_without_room()
    {
        Pty pty;
        const auto line = open_line(pty.path);
        QVERIFY(line);
        QVERIFY(pty.fill_towards_master() > 0);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!line->send('M', false));
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        const std::string sent = pty.drain_master();
        QVERIFY(!sent.empty());
        QVERIFY(sent.find('M') == std::string::npos);
    }

    void stop_cuts_waits_short_data()
    {
        QTest::addColumn<QString>("wait");
        QTest::addColumn<int>("signal_number");
        QTest::addColumn<int>("within_ms"); // well short of the wait's own limit
        QTest::newRow("read, SIGINT") << "read" << SIGINT << late_ms;
        QTest::newRow("read, SIGTERM") << "read" << SIGTERM << late_ms;
        QTest::newRow("pause, SIGINT") << "pause" << SIGINT << late_ms;
        QTest::newRow("pause, SIGTERM") << "pause" << SIGTERM << late_ms;
        // A send gives up by itself after 3000 ms.
        QTest::newRow("send waiting for room, SIGINT") << "send" << SIGINT << 2500;
    }
    void stop_cuts_waits_short()
    {
        QFETCH(QString, wait);
        QFETCH(int, signal_number);
        QFETCH(int, within_ms);
        Pty pty;
        const auto line = open_line(pty.path);
        QVERIFY(line);
        if (wait == "send")
            QVERIFY(pty.fill_towards_master() > 0);
        QVERIFY(!stop_requested());

        QElapsedTimer timer;
        timer.start();
        bool stopped = false;
        {
            DelayedSignal signal(signal_number, milliseconds(50));
            uint8_t got = 0;
            if (wait == "read")
                stopped = line->read_byte(got, long_wait) == BlockingLine::Wait::stopped;
            else if (wait == "pause")
                stopped = !line->pause(long_wait);
            else
                stopped = !line->send('M', true);
        }
        const qint64 elapsed = timer.elapsed();
        QVERIFY(stopped);
        QVERIFY2(elapsed < within_ms, qPrintable(QString::number(elapsed)));
        QVERIFY(stop_requested());
        QCOMPARE(stop_signal(), signal_number);

        // Once stopped, waits end at once.
        timer.restart();
        uint8_t got = 0;
        QCOMPARE(line->read_byte(got, long_wait), BlockingLine::Wait::stopped);
        QVERIFY(!line->pause(long_wait));
        QVERIFY2(timer.elapsed() < late_ms, qPrintable(QString::number(timer.elapsed())));
    }

    // Without SA_RESTART a blocking call the signal lands in returns EINTR
    // instead of going on waiting.
    void signal_interrupts_blocking_calls()
    {
        int fds[2];
        QCOMPARE(pipe(fds), 0);
        const pthread_t self = pthread_self();
        std::atomic<bool> returned{false};
        std::thread other([&] {
            // Signals until the read returns, as one may land before it starts.
            QElapsedTimer clock;
            clock.start();
            while (!returned && clock.elapsed() < late_ms) {
                pthread_kill(self, SIGINT);
                std::this_thread::sleep_for(milliseconds(20));
            }
            // Ends the read all the same should the call be restarted.
            (void)::write(fds[1], "x", 1);
        });
        char c = 0;
        const ssize_t n = ::read(fds[0], &c, 1);
        const int error = errno;
        returned = true;
        other.join();
        ::close(fds[0]);
        ::close(fds[1]);
        QCOMPARE(n, ssize_t(-1));
        QCOMPARE(error, EINTR);
        QCOMPARE(stop_signal(), SIGINT);
    }
};

QTEST_GUILESS_MAIN(TstBlockingLine)
#include "tst_blocking_line.moc"
