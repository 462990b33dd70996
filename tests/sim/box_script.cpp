#include "box_script.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace boxscript {

using namespace std::chrono_literals;

namespace {
constexpr int record_byte_count = static_cast<int>(boxsim::box_record_size);
} // namespace

QByteArray raw(std::initializer_list<int> bytes)
{
    QByteArray out;
    for (int b : bytes)
        out.append(static_cast<char>(b));
    return out;
}

QByteArray part(const Record &r, int from, int count)
{
    return QByteArray(reinterpret_cast<const char *>(r.data()) + from, count);
}

void ToolEnd::open_port(const std::string &path)
{
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

void ToolEnd::close_port()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool ToolEnd::send(const QByteArray &bytes)
{
    return ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
}

QVector<Arrival> ToolEnd::take(int count, std::chrono::milliseconds timeout)
{
    QVector<Arrival> got;
    int total = 0;
    const auto deadline = Clock::now() + timeout;
    while (total < count || count == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            hung_up = n == 0 || errno == EIO;
            break;
        }
        got.push_back({Clock::now(), QByteArray(buf, static_cast<int>(n))});
        total += static_cast<int>(n);
    }
    return got;
}

QByteArrayList bytes_of(const QVector<Arrival> &arrivals)
{
    QByteArrayList out;
    for (const Arrival &a : arrivals)
        out << a.bytes;
    return out;
}

namespace {

// The arrivals an exchange may get: its answer's, then each stray byte on
// its own; or the first stray byte in one read with the last answer byte,
// which it follows at once where the tool has not read that yet.
QVector<QByteArrayList> allowed_arrivals(const Exchange &x)
{
    QByteArrayList apart = x.expect;
    for (char c : x.stray)
        apart << QByteArray(1, c);
    QVector<QByteArrayList> allowed{apart};
    if (!x.expect.isEmpty() && !x.stray.isEmpty()) {
        QByteArrayList joined = apart;
        joined[x.expect.size() - 1] += joined.takeAt(x.expect.size());
        allowed << joined;
    }
    return allowed;
}

} // namespace

bool run_script(ToolEnd &tool, const Script &script)
{
    for (int i = 0; i < script.size(); ++i) {
        const Exchange &x = script[i];
        if (x.pause_ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(x.pause_ms));
        const auto sent = Clock::now();
        if (!tool.send(x.send)) {
            qWarning("exchange %d: send failed", i);
            return false;
        }
        int expected = x.stray.size();
        for (const QByteArray &a : x.expect)
            expected += a.size();
        // Where nothing may come, give the box time to answer wrongly.
        const auto arrivals = expected ? tool.take(expected, patience) : tool.take(0, nothing_comes);
        const QByteArrayList got = bytes_of(arrivals);
        const QVector<QByteArrayList> allowed = allowed_arrivals(x);
        const int which = allowed.indexOf(got);
        if (which < 0) {
            qWarning("exchange %d: sent %s, expected [%s] and stray [%s], got [%s]", i,
                     x.send.toHex(' ').constData(), x.expect.join("|").toHex(' ').constData(),
                     x.stray.toHex(' ').constData(), got.join("|").toHex(' ').constData());
            return false;
        }
        if (x.at_least_ms && !arrivals.isEmpty()
            && arrivals.first().when - sent < std::chrono::milliseconds(x.at_least_ms)) {
            qWarning("exchange %d: answer came too soon", i);
            return false;
        }
        const int first_stray = x.expect.size() - which;
        if (!x.stray.isEmpty()
            && arrivals[first_stray].when - sent < std::chrono::milliseconds(x.stray_at_least_ms)) {
            qWarning("exchange %d: stray byte came too soon", i);
            return false;
        }
    }
    return true;
}

Exchange say(QByteArray send, QByteArrayList expect, int pause_ms, int at_least_ms)
{
    return {std::move(send), std::move(expect), pause_ms, at_least_ms, {}, 0};
}

Exchange say_stray(QByteArray send, QByteArrayList expect, QByteArray stray, int at_least_ms)
{
    return {std::move(send), std::move(expect), 0, 0, std::move(stray), at_least_ms};
}

QByteArray good_line(int seed)
{
    QByteArray line;
    int sum = 0;
    for (int i = 0; i < static_cast<int>(boxsim::stored_line_bytes) - 1; ++i) {
        const int v = (seed * 37 + i * 11) & 0xFF;
        line.append(static_cast<char>(v));
        sum += v;
    }
    line.append(static_cast<char>((256 - sum % 256) % 256));
    return line;
}

Script update_opening()
{
    return {say("E", {"P"}), say("R", {"Q"}), say(raw({0x11, 0x22, 0x33, 0x44}), {"Y"})};
}

Script list_read_of(int k, const Record &r, const QByteArray &stray, int stray_ms)
{
    Script s{say("H", {"I"}), say(raw({k}), {part(r, 0, 1)})};
    for (int i = 1; i < record_byte_count; ++i)
        s << say(raw({0xCC}), {part(r, i, 1)});
    s << say_stray(raw({0xCC}), {}, stray, stray_ms);
    return s;
}

Script limits_read_start()
{
    return {say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})})};
}

QByteArray record_bytes(int seed)
{
    QByteArray r;
    for (int i = 0; i < record_byte_count; ++i)
        r.append(static_cast<char>((seed + i * 13) & 0x7F));
    return r;
}

Record to_record(const QByteArray &bytes)
{
    Record r{};
    std::copy_n(bytes.constData(), record_byte_count, reinterpret_cast<char *>(r.data()));
    return r;
}

void ConversationTest::conversation_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<Script>("script");
    QTest::addColumn<Setup>("check");
    add_rows();
}

void ConversationTest::conversation()
{
    QFETCH(Setup, setup);
    QFETCH(Script, script);
    QFETCH(Setup, check);

    Box::Settings settings;
    settings.resend_quiet = 200ms;
    Box box(settings);
    setup(box);
    if (QTest::currentTestFailed())
        return;
    ToolEnd tool(box.slave_path());
    QVERIFY(tool.fd >= 0);
    QVERIFY(run_script(tool, script));
    QVERIFY(bytes_of(tool.take(0, nothing_comes)).isEmpty()); // nothing after the last answer
    QVERIFY(box.wait_idle(20ms, patience));
    check(box);
}

Setup nothing()
{
    return [](Box &) {};
}

Setup completed(boxsim::Conversation c, int n)
{
    return [c, n](Box &b) { QCOMPARE(b.completed(c), n); };
}

Setup with(const boxsim::Fault &f)
{
    return [f](Box &b) { QCOMPARE(b.add_fault(f), 1); };
}

Setup hits(int n)
{
    return [n](Box &b) { QCOMPARE(b.fault_hits(1), n); };
}

QTestData &stray_row(int ms, const char *what)
{
    return QTest::newRow(qPrintable(QStringLiteral("stray %1 ms after %2").arg(ms).arg(what)));
}

} // namespace boxscript
