// The simulated box driven from the tool's end of its pseudo-terminal with
// plain POSIX calls: every conversation and fault byte for byte, and each
// arrival (what one read() on the tool's side gets) checked on its own,
// because the tool keeps only the first byte of an arrival.

#include "box_sim.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace boxsim;
using namespace std::chrono_literals;

namespace {

// One step of a script: what the tool sends, and the arrivals it must get.
struct Exchange {
    QByteArray send;
    QByteArrayList expect; // each entry one arrival; empty: nothing may come
    int pause_ms = 0; // quiet before sending
    int at_least_ms = 0; // the first arrival may not come sooner
    QByteArray stray; // stray bytes after the answer, each its own arrival
    int stray_at_least_ms = 0; // the first stray byte may not come sooner
};
using Script = QVector<Exchange>;
using Setup = std::function<void(Box &)>;

QByteArray B(std::initializer_list<int> bytes)
{
    QByteArray out;
    for (int b : bytes)
        out.append(static_cast<char>(b));
    return out;
}

QByteArray R(const Record &r, int from, int count)
{
    return QByteArray(reinterpret_cast<const char *>(r.data()) + from, count);
}

struct Arrival {
    Clock::time_point when;
    QByteArray bytes;
};

// The tool's end of the line, opened the way a serial port is.
class ToolEnd
{
public:
    explicit ToolEnd(const std::string &path) { open_port(path); }
    ~ToolEnd() { close_port(); }

    void open_port(const std::string &path)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    void close_port()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }
    // Arrivals until `count` bytes came or `timeout` passed.
    QVector<Arrival> take(int count, std::chrono::milliseconds timeout)
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

    int fd = -1;
    bool hung_up = false;
};

QByteArrayList bytes_of(const QVector<Arrival> &arrivals)
{
    QByteArrayList out;
    for (const Arrival &a : arrivals)
        out << a.bytes;
    return out;
}

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

// Runs a script; false (with the test failed) at the first mismatch.
bool run_script(ToolEnd &tool, const Script &script)
{
    for (int i = 0; i < script.size(); ++i) {
        const Exchange &x = script[i];
        if (x.pause_ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(x.pause_ms));
        const auto sent = Clock::now();
        if (!tool.send(x.send)) {
            qWarning("step %d: send failed", i);
            return false;
        }
        int expected = x.stray.size();
        for (const QByteArray &a : x.expect)
            expected += a.size();
        // Where nothing may come, give the box time to answer wrongly.
        const auto arrivals = expected ? tool.take(expected, 3s) : tool.take(0, 120ms);
        const QByteArrayList got = bytes_of(arrivals);
        const QVector<QByteArrayList> allowed = allowed_arrivals(x);
        const int which = allowed.indexOf(got);
        if (which < 0) {
            qWarning("step %d: sent %s, expected [%s] and stray [%s], got [%s]", i,
                     x.send.toHex(' ').constData(), x.expect.join("|").toHex(' ').constData(),
                     x.stray.toHex(' ').constData(), got.join("|").toHex(' ').constData());
            return false;
        }
        if (x.at_least_ms && !arrivals.isEmpty()
            && arrivals.first().when - sent < std::chrono::milliseconds(x.at_least_ms)) {
            qWarning("step %d: answer came too soon", i);
            return false;
        }
        const int first_stray = x.expect.size() - which;
        if (!x.stray.isEmpty()
            && arrivals[first_stray].when - sent < std::chrono::milliseconds(x.stray_at_least_ms)) {
            qWarning("step %d: stray byte came too soon", i);
            return false;
        }
    }
    return true;
}

Exchange X(QByteArray send, QByteArrayList expect = {}, int pause_ms = 0, int at_least_ms = 0)
{
    return {std::move(send), std::move(expect), pause_ms, at_least_ms, {}, 0};
}

// An exchange whose answer is followed by `stray`, not sooner than
// `at_least_ms` after the tool's byte.
Exchange S(QByteArray send, QByteArrayList expect, QByteArray stray, int at_least_ms = 0)
{
    return {std::move(send), std::move(expect), 0, 0, std::move(stray), at_least_ms};
}

// A line whose 17 bytes sum to 0 modulo 256.
QByteArray good_line(int seed)
{
    QByteArray line;
    int sum = 0;
    for (int i = 0; i < 16; ++i) {
        const int v = (seed * 37 + i * 11) & 0xFF;
        line.append(static_cast<char>(v));
        sum += v;
    }
    line.append(static_cast<char>((256 - sum % 256) % 256));
    return line;
}

// Sends lines `from`..31 of a block, each byte answered '^' and each line
// with 'T' then '^' (or 'Y' after the last).
void append_lines(Script &s, int block, int from = 0)
{
    for (int line = from; line < 32; ++line) {
        const QByteArray bytes = good_line(block * 32 + line);
        for (int i = 0; i < 16; ++i)
            s << X(bytes.mid(i, 1), {"^"});
        s << X(bytes.mid(16, 1), {"T", line == 31 ? "Y" : "^"});
    }
}

Script update_opening()
{
    return {X("E", {"P"}), X("R", {"Q"}), X(B({0x11, 0x22, 0x33, 0x44}), {"Y"})};
}

// Satellite k read whole; `stray` follows its last 0xCC.
Script list_read_of(int k, const Record &r, const QByteArray &stray = {}, int stray_ms = 0)
{
    Script s{X("H", {"I"}), X(B({k}), {R(r, 0, 1)})};
    for (int i = 1; i < 20; ++i)
        s << X(B({0xCC}), {R(r, i, 1)});
    s << S(B({0xCC}), {}, stray, stray_ms);
    return s;
}

QByteArray record_bytes(int seed)
{
    QByteArray r;
    for (int i = 0; i < 20; ++i)
        r.append(static_cast<char>((seed + i * 13) & 0x7F));
    return r;
}

Record to_record(const QByteArray &bytes)
{
    Record r{};
    std::copy_n(bytes.constData(), 20, reinterpret_cast<char *>(r.data()));
    return r;
}

} // namespace

Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(Setup)

class tst_box_sim : public QObject
{
    Q_OBJECT

private slots:
    void conversation_data();
    void conversation();
    void update_stores_blocks();
    void separate_arrivals_keep_the_gap();
    void pty_peer_alone();
    void link_names_the_terminal();
    void tool_reopening_keeps_the_line();
    void hang_up_reaches_the_tool();
    void stray_at_once_does_not_wait_for_the_tool();
};

void tst_box_sim::conversation_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<Script>("script");
    QTest::addColumn<Setup>("check"); // QCOMPAREs on the box afterwards

    const Setup none = [](Box &) {};
    const auto completed
        = [](Conversation c, int n) { return Setup([c, n](Box &b) { QCOMPARE(b.completed(c), n); }); };
    const std::vector<Record> recs = default_records();

    // Soft limits.
    QTest::newRow("limits read -1000/1000")
        << none
        << Script{X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})}), X(B({2}), {B({0xE8})}),
                  X(B({3}), {B({0x03})}), X(B({4}))}
        << completed(Conversation::LimitsRead, 1);
    QTest::newRow("limits read: 0x63 is data")
        << Setup([](Box &b) { b.set_limits(0x6363, -5000); })
        << Script{X("b", {"c", "c"}), X(B({1}), {"c"}), X(B({2}), {B({0x78})}), X(B({3}), {B({0xEC})}),
                  X(B({4}))}
        << completed(Conversation::LimitsRead, 1);
    QTest::newRow("limits write, default order")
        << Setup([](Box &b) {
               b.set_limit_bytes({0, 0, 0, 0});
           })
        << Script{X("d", {"e", B({0})}), X(B({0x78}), {B({1})}), X(B({0xEC}), {B({2})}),
                  X(B({0x88}), {B({3})}), X(B({0x13}), {B({4})})}
        << Setup([](Box &b) {
               QCOMPARE(b.west_limit(), int16_t(-5000));
               QCOMPARE(b.east_limit(), int16_t(5000));
               QCOMPARE(b.completed(Conversation::LimitsWrite), 1);
           });
    QTest::newRow("limits write, any order with repeats and end 9")
        << Setup([](Box &b) {
               b.set_limit_bytes({0, 0, 0, 0});
               b.set_write_requests({3, 1, 1, 0}, 9);
           })
        << Script{X("d", {"e", B({3})}), X(B({0xA3}), {B({1})}), X(B({0xA1}), {B({1})}),
                  X(B({0xB1}), {B({0})}), X(B({0xA0}), {B({9})})}
        << Setup([](Box &b) {
               QCOMPARE(b.limit_bytes(), (std::array<uint8_t, 4>{0xA0, 0xB1, 0, 0xA3}));
           });
    QTest::newRow("limits: a new 'b' while counts are awaited starts again")
        << none << Script{X("b", {"c", B({0x18})}), X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})})} << none;

    // List read.
    QTest::newRow("list read satellite 1")
        << none << list_read_of(1, recs[0])
        << Setup([](Box &b) { QCOMPARE(b.conversation(), Conversation::ListRead); });
    {
        Record mine = box_record("Sat 1", 192, 45, -45);
        Script s = list_read_of(199, mine);
        QTest::newRow("list read satellite 199 ends the read")
            << Setup([mine](Box &b) { b.set_record(199, mine); }) << s << Setup([](Box &b) {
                   QCOMPARE(b.completed(Conversation::ListRead), 1);
                   QCOMPARE(b.conversation(), Conversation::None);
               });
    }
    {
        Script s{X("H", {"I"}), X(B({5}), {R(recs[4], 0, 1)})};
        for (int i = 1; i < 7; ++i)
            s << X(B({0xCC}), {R(recs[4], i, 1)});
        s << X(B({0xCC}), {B({0xEF})});
        s << list_read_of(5, recs[4]);
        QTest::newRow("list read: 0xEF at record byte 7, then the satellite again")
            << Setup([](Box &b) { b.add_fault(Fault::instead(Trigger::list_read_byte(5, 7), {0xEF})); }) << s
            << none;
    }
    QTest::newRow("list read: a stray byte amid a record gets 0xEF")
        << none
        << Script{X("H", {"I"}), X(B({2}), {R(recs[1], 0, 1)}), X(B({0x00}), {B({0xEF})}), X("H", {"I"})}
        << none;
    QTest::newRow("list read: 'H' amid a record starts it again")
        << none
        << Script{X("H", {"I"}), X(B({2}), {R(recs[1], 0, 1)}), X(B({0xCC}), {R(recs[1], 1, 1)}),
                  X("H", {"I"}), X(B({2}), {R(recs[1], 0, 1)})}
        << none;
    QTest::newRow("list read: a prompt 'H' where a number is awaited is satellite 72")
        << none << Script{X("H", {"I"}), X("H", {R(recs[71], 0, 1)})} << none;
    QTest::newRow("list read: 'H' after a quiet where a number is awaited asks again")
        << none << Script{X("H", {"I"}), X("H", {"I"}, 300), X(B({9}), {R(recs[8], 0, 1)})}
        << Setup([](Box &b) { QCOMPARE(b.completed(Conversation::ListRead), 0); });
    QTest::newRow("list write: 'J' after a quiet starts the write again")
        << none << Script{X("J", {"K", "M"}), X("J", {"K", "M"}, 300), X(B({5}), {"L"})} << none;
    QTest::newRow("limits write: 'b' after a quiet where a limit byte is awaited")
        << none << Script{X("d", {"e", B({0})}), X("b", {"c", B({0x18})}, 300)} << none;
    QTest::newRow("update: a line byte of value 'E' after a quiet is data")
        << none << Script{X("E", {"P"}), X("R", {"Q"}),       X(B({1, 2, 3, 4}), {"Y"}),
                          X("a", {"_"}), X(B({0xE0}), {"^"}), X("E", {"^"}, 300)}
        << none;
    QTest::newRow("list read: number 0 gets 0xEF")
        << none << Script{X("H", {"I"}), X(B({0}), {B({0xEF})}), X("H", {"I"})} << none;

    // List write.
    {
        const QByteArray rec = record_bytes(1);
        QTest::newRow("list write: one record, then 200")
            << none << Script{X("J", {"K", "M"}), X(B({1}), {"L"}), X(rec, {"M"}), X(B({200}))}
            << Setup([rec](Box &b) {
                   QCOMPARE(b.written_record(1), std::optional<Record>(to_record(rec)));
                   QCOMPARE(b.completed(Conversation::ListWrite), 1);
                   Record mine = to_record(rec);
                   std::swap(mine[16], mine[17]);
                   QCOMPARE(b.record(1), mine); // kept for the next read, high byte first
               });
        QTest::newRow("list write: 0xEF after 'M' gets 'M' again")
            << none << Script{X("J", {"K", "M"}), X(B({0xEF}), {"M"}), X(B({7}), {"L"}), X(rec, {"M"})}
            << Setup([rec](Box &b) { QCOMPARE(b.written_record(7), std::optional<Record>(to_record(rec))); });
        const QByteArray other = record_bytes(40);
        QTest::newRow("list write: 0xEF after a quiet amid a record drops it and asks again")
            << none
            << Script{X("J", {"K", "M"}), X(B({3}), {"L"}), X(other.left(5)), X(B({0xEF}), {"L"}, 300),
                      X(rec, {"M"})}
            << Setup([rec](Box &b) {
                   QCOMPARE(b.written_records().size(), size_t(1));
                   QCOMPARE(b.written_record(3), std::optional<Record>(to_record(rec)));
               });
        QByteArray with_ef = rec;
        with_ef[17] = static_cast<char>(0xEF); // position -17: a record byte of value 0xEF
        QTest::newRow("list write: 0xEF inside a record is data")
            << none << Script{X("J", {"K", "M"}), X(B({4}), {"L"}), X(with_ef, {"M"})}
            << Setup([with_ef](Box &b) {
                   QCOMPARE(b.written_record(4), std::optional<Record>(to_record(with_ef)));
               });
    }

    // Update, before and between blocks.
    QTest::newRow("update: extra 'P' answered 'R' again")
        << Setup([](Box &b) { b.set_extra_p(1); }) << Script{X("E", {"P"}), X("R", {"P"}), X("R", {"Q"})}
        << none;
    for (char v : {'V', 'W', 'X'}) {
        QTest::newRow(qPrintable(QStringLiteral("update: header verdict %1 ends it").arg(v)))
            << Setup([v](Box &b) { b.set_header_verdict(static_cast<uint8_t>(v)); })
            << Script{X("E", {"P"}), X("R", {"Q"}), X(B({1, 2, 3, 4}), {QByteArray(1, v)}), X("a")}
            << Setup([](Box &b) {
                   QCOMPARE(b.completed(Conversation::Update), 1);
                   QCOMPARE(b.received_header(), (std::optional<std::array<uint8_t, 4>>({1, 2, 3, 4})));
               });
    }
    for (char v : {'S', 'Z', ']'}) {
        Script s = update_opening();
        s << X("[", {QByteArray(1, v)}) << X("[", {QByteArray(1, v)});
        QTest::newRow(qPrintable(QStringLiteral("update: final verdict %1, repeated").arg(v)))
            << Setup([v](Box &b) { b.set_final_verdict(static_cast<uint8_t>(v)); }) << s
            << completed(Conversation::Update, 1);
    }
    QTest::newRow("update: 4th header byte dropped, then resent alone")
        << Setup([](Box &b) { b.add_fault(Fault::silence(Trigger::update_header(3), 0ms)); })
        << Script{X("E", {"P"}), X("R", {"Q"}), X(B({1, 2, 3, 4})), X(B({4}), {"Y"})} << Setup([](Box &b) {
               QCOMPARE(b.received_header(), (std::optional<std::array<uint8_t, 4>>({1, 2, 3, 4})));
           });
    {
        Script s = update_opening();
        s << X(B({0x44}), {"Y"}) << X("a", {"_"}) << X("a", {"_"}) << X(B({0xE0}), {"^"});
        QTest::newRow("update: a resend gets the last request again") << none << s << none;
    }
    {
        Script s = update_opening();
        s << X("a", {"_"}) << X(B({0xE0}), {"^"});
        QByteArray bad = good_line(0);
        bad[16] = static_cast<char>(bad[16] + 1);
        for (int i = 0; i < 16; ++i)
            s << X(bad.mid(i, 1), {"^"});
        s << X(bad.mid(16, 1), {"U", "^"});
        const QByteArray good = good_line(0);
        for (int i = 0; i < 16; ++i)
            s << X(good.mid(i, 1), {"^"});
        s << X(good.mid(16, 1), {"T", "^"});
        QTest::newRow("update: a bad check byte gets 'U' and the line again")
            << none << s << Setup([](Box &b) {
                   QCOMPARE(b.lines_rejected(), 1);
                   QCOMPARE(b.lines_accepted(), 1);
               });
    }
    {
        Script s = update_opening();
        s << X("a", {"_"}) << X(B({0xE0}), {"^"});
        const QByteArray good = good_line(0);
        for (int pass = 0; pass < 3; ++pass) {
            for (int i = 0; i < 16; ++i)
                s << X(good.mid(i, 1), {"^"});
            s << X(good.mid(16, 1), {pass < 2 ? "U" : "T", "^"});
        }
        QTest::newRow("update: scripted 'U' twice after a good line")
            << Setup([](Box &b) { b.add_fault(Fault::resend_line(Trigger::update_line(0, 0), 2)); }) << s
            << Setup([](Box &b) { QCOMPARE(b.lines_rejected(), 2); });
    }
    {
        Script s = update_opening();
        s << X("a", {"_"}) << X(B({0xE0}), {"^"});
        const QByteArray good = good_line(0);
        for (int i = 0; i < 16; ++i)
            s << X(good.mid(i, 1), {"^"});
        s << X(good.mid(16, 1), {"T^"});
        QTest::newRow("update: 'T' and '^' joined in one write")
            << Setup([](Box &b) { b.add_fault(Fault::joined(Trigger::update_line(0, 0))); }) << s << none;
    }
    {
        Script s = update_opening();
        s << X("a", {"_"}) << X(B({0xE0}), {"^"}) << X(B({1}), {"^"}) << X(B({2}), {"]"})
          << X("b", {"c", B({0x18})});
        QTest::newRow("update: ']' mid-line ends it")
            << Setup([](Box &b) { b.add_fault(Fault::end(Trigger::update_line(0, 0, 1), {']'})); }) << s
            << none;
    }

    // Faults on any conversation.
    QTest::newRow("silence 0 ms drops one byte") << Setup(
        [](Box &b) { b.add_fault(Fault::silence(Trigger::nth_byte(Conversation::LimitsRead, 1), 0ms)); })
                                                 << Script{X("b"), X("b", {"c", B({0x18})})} << none;
    QTest::newRow("silence for a time, then answers again") << Setup([](Box &b) {
        b.add_fault(Fault::silence(Trigger::nth_byte(Conversation::LimitsRead, 2), 300ms));
    }) << Script{X("b", {"c", B({0x18})}), X(B({1})), X(B({1})), X(B({1}), {B({0xFC})}, 300)}
                                                            << none;
    QTest::newRow("silence for ever")
        << Setup([](Box &b) { b.add_fault(Fault::silence(Trigger::nth_byte(Conversation::ListWrite, 1))); })
        << Script{X("J"), X("b", {}, 200), X("H")} << none;
    QTest::newRow("delay") << Setup(
        [](Box &b) { b.add_fault(Fault::delay(Trigger::nth_byte(Conversation::LimitsRead, 2), 250ms)); })
                           << Script{X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})}, 0, 250)} << none;
    QTest::newRow("noise before the answer, each its own arrival") << Setup([](Box &b) {
        b.add_fault(Fault::noise(Trigger::nth_byte(Conversation::LimitsRead, 1), {0x00, 0x41}));
    }) << Script{X("b", {B({0x00}), "A", "c", B({0x18})})} << none;
    QTest::newRow("instead, and the conversation goes on") << Setup([](Box &b) {
        b.add_fault(Fault::instead(Trigger::nth_byte(Conversation::LimitsRead, 2), {0x99}));
    }) << Script{X("b", {"c", B({0x18})}), X(B({1}), {B({0x99})}), X(B({2}), {B({0xE8})})}
                                                           << none;
    QTest::newRow("joined answer with an extra byte, every time") << Setup([](Box &b) {
        Fault f = Fault::joined(Trigger::nth_byte(Conversation::LimitsRead, 1), {0x15});
        f.times = 0;
        b.add_fault(f);
    }) << Script{X("b", {B({'c', 0x18, 0x15})}), X("b", {B({'c', 0x18, 0x15})})}
                                                                  << none;
    QTest::newRow("a fault acts the given number of times") << Setup([](Box &b) {
        Fault f = Fault::silence(Trigger::nth_byte(Conversation::LimitsRead, 1), 0ms);
        f.times = 2;
        QCOMPARE(b.add_fault(f), 1);
    }) << Script{X("b"), X("b"), X("b", {"c", B({0x18})})} << Setup([](Box &b) {
        QCOMPARE(b.fault_hits(1), 2);
    });

    // Stray bytes after the answer: the conversation goes on as if they had
    // not come, and so does the next one.
    const auto with = [](const Fault &f) { return Setup([f](Box &b) { QCOMPARE(b.add_fault(f), 1); }); };
    const auto hits = [](int n) { return Setup([n](Box &b) { QCOMPARE(b.fault_hits(1), n); }); };
    const Script limits_read{X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})})};
    const QByteArray rec1 = record_bytes(1), rec2 = record_bytes(2);
    for (int ms : {0, 5, 30}) {
        const auto row = [ms](const char *what) -> QTestData & {
            return QTest::newRow(qPrintable(QStringLiteral("stray %1 ms after %2").arg(ms).arg(what)));
        };
        const milliseconds delay{ms};
        const QByteArray two = B({0x55, 0xAA}), three = B({0x55, 0x00, 0xAA});

        Script s{X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})}), X(B({2}), {B({0xE8})}),
                 S(B({3}), {B({0x03})}, "U", ms), X(B({4}))};
        row("the limits read's last answer")
            << with(Fault::stray(Trigger::limits_read_count(3), {0x55}, delay)) << s + limits_read
            << completed(Conversation::LimitsRead, 1);

        s = {X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})}), X(B({2}), {B({0xE8})}), X(B({3}), {B({0x03})}),
             S(B({4}), {}, "U", ms)};
        row("the limits read's count 4") << with(Fault::stray(Trigger::limits_read_count(4), {0x55}, delay))
                                         << s + limits_read << completed(Conversation::LimitsRead, 1);

        s = list_read_of(1, recs[0]) + list_read_of(2, recs[1], "U", ms) + list_read_of(3, recs[2]);
        row("satellite 2's record") << with(Fault::stray(Trigger::list_read_record_end(2), {0x55}, delay))
                                    << s + limits_read << hits(1);

        Fault every = Fault::stray(Trigger::list_read_record_end(), {0x55, 0xAA}, delay);
        every.times = 0;
        s = list_read_of(1, recs[0], two, ms) + list_read_of(2, recs[1], two, ms)
            + list_read_of(3, recs[2], two, ms);
        row("every satellite's record") << with(every) << s << hits(3);

        s = {X("J", {"K", "M"}), X(B({1}), {"L"}), X(rec1, {"M"}), S(B({200}), {}, three, ms),
             X("J", {"K", "M"}), X(B({2}), {"L"}), X(rec2, {"M"}), X(B({200}))};
        const Fault after_200 = Fault::stray(Trigger::list_write_end(), {0x55, 0x00, 0xAA}, delay);
        row("the list write's 200") << with(after_200) << s << Setup([](Box &b) {
            QCOMPARE(b.completed(Conversation::ListWrite), 2);
            QCOMPARE(b.written_records().size(), size_t(2));
        });

        s = {X("d", {"e", B({0})}),  X(B({0x78}), {B({1})}),          X(B({0xEC}), {B({2})}),
             X(B({0x88}), {B({3})}), S(B({0x13}), {B({4})}, "U", ms), X("b", {"c", B({0x78})}),
             X(B({1}), {B({0xEC})})};
        row("the limits write's end byte")
            << with(Fault::stray(Trigger::nth_byte(Conversation::LimitsWrite, 5), {0x55}, delay)) << s
            << Setup([](Box &b) {
                   QCOMPARE(b.completed(Conversation::LimitsWrite), 1);
                   QCOMPARE(b.east_limit(), int16_t(5000));
               });
    }
    QTest::newRow("stray after the whole of a two-byte answer")
        << with(Fault::stray(Trigger::nth_byte(Conversation::ListWrite, 1), {0x55}, 0ms))
        << Script{S("J", {"K", "M"}, "U"), X(B({5}), {"L"})} << none;
    QTest::newRow("the box answers while a stray byte waits")
        << with(Fault::stray(Trigger::limits_read_count(3), {0x55}, 400ms))
        << Script{X("b", {"c", B({0x18})}),
                  X(B({1}), {B({0xFC})}),
                  X(B({2}), {B({0xE8})}),
                  X(B({3}), {B({0x03})}),
                  X(B({4})),
                  S("b", {"c", B({0x18})}, "U"),
                  X(B({1}), {B({0xFC})})}
        << none;
    {
        // 0xEF 230 ms after 'L' is a resend request, though it comes but 80
        // ms after the stray byte.
        QTest::newRow("a stray byte leaves the line's quiet as it was")
            << with(Fault::stray(Trigger::list_write_number(3), {0x55}, 150ms))
            << Script{X("J", {"K", "M"}), S(B({3}), {"L"}, "U", 150), X(B({0xEF}), {"L"}, 80), X(rec1, {"M"})}
            << Setup(
                   [rec1](Box &b) { QCOMPARE(b.written_record(3), std::optional<Record>(to_record(rec1))); });
    }
}

void tst_box_sim::conversation()
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
    QVERIFY(bytes_of(tool.take(0, 150ms)).isEmpty()); // nothing after the last answer
    QVERIFY(box.wait_idle(20ms, 2s));
    check(box);
}

void tst_box_sim::update_stores_blocks()
{
    Box box;
    ToolEnd tool(box.slave_path());
    Script s = update_opening();
    const int addresses[] = {0xE0, 0x02};
    for (int block = 0; block < 2; ++block) {
        s << X("a", {"_"}) << X(B({addresses[block]}), {"^"});
        append_lines(s, block);
    }
    s << X("a", {"_"}) << X("[", {"_"}) << X(B({0x04}), {"^"}); // a third block begins
    QVERIFY(run_script(tool, s));
    QVERIFY(box.wait_idle(20ms, 2s));

    const auto blocks = box.received_blocks();
    QCOMPARE(blocks.size(), size_t(2));
    for (int block = 0; block < 2; ++block) {
        QCOMPARE(int(blocks[block].address_high), addresses[block]);
        QByteArray lines;
        for (int line = 0; line < 32; ++line)
            lines += good_line(block * 32 + line);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(blocks[block].lines.data()), 544), lines);
    }
    QCOMPARE(box.lines_accepted(), 64);
    QCOMPARE(box.completed(Conversation::Update), 0);

    // After a reset, a new session starts with nothing received.
    box.reset();
    QVERIFY(run_script(tool, {X("E", {"P"})}));
    QVERIFY(box.wait_idle(20ms, 2s));
    QVERIFY(box.received_blocks().empty());
    QVERIFY(!box.received_header());
}

void tst_box_sim::separate_arrivals_keep_the_gap()
{
    Box::Settings settings;
    settings.gap = 60ms;
    Box box(settings);
    ToolEnd tool(box.slave_path());
    QVERIFY(tool.send("J"));
    const auto arrivals = tool.take(2, 3s);
    QCOMPARE(bytes_of(arrivals), (QByteArrayList{"K", "M"}));
    QVERIFY(arrivals[1].when - arrivals[0].when >= 50ms);

    // A further byte waits until the tool has read the one before.
    QVERIFY(tool.send(B({0xEF})));
    QVERIFY(box.peer().wait_received(2, 2s));
    std::this_thread::sleep_for(100ms);
    box.inject({0x01});
    std::this_thread::sleep_for(300ms);
    QCOMPARE(box.peer().unread_by_tool(), size_t(1)); // 'M' unread, 0x01 held back
    QCOMPARE(bytes_of(tool.take(1, 1s)), QByteArrayList{"M"});
    QCOMPARE(bytes_of(tool.take(1, 2s)), QByteArrayList{B({0x01})});
}

void tst_box_sim::pty_peer_alone()
{
    PtyPeer peer;
    ToolEnd tool(peer.slave_path());
    QVERIFY(tool.fd >= 0);
    QVERIFY(peer.send({0x06, 0x15}));
    QCOMPARE(bytes_of(tool.take(2, 2s)), QByteArrayList{B({0x06, 0x15})}); // one arrival
    QVERIFY(tool.send("xyz"));
    QVERIFY(peer.wait_received(3, 2s));
    QCOMPARE(peer.received(), (Bytes{'x', 'y', 'z'}));
    const auto log = peer.log();
    QCOMPARE(log.size(), size_t(5));
    QVERIFY(log[0].from_box && log[1].from_box && !log[2].from_box);
    QCOMPARE(int(log[4].value), int('z'));
    QVERIFY(log[2].when >= log[1].when);
    QVERIFY(bytes_of(tool.take(0, 100ms)).isEmpty()); // no echo, no protocol
}

void tst_box_sim::link_names_the_terminal()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string link = dir.filePath("COM9").toStdString();
    const std::string file = dir.filePath("plain").toStdString();
    QVERIFY(QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly));
    {
        Box box;
        std::string error;
        QVERIFY(!box.link(file, &error));
        QVERIFY(!error.empty());
        QVERIFY(QFileInfo(QString::fromStdString(file)).isFile()); // left alone

        QVERIFY(::symlink("/nonexistent", link.c_str()) == 0);
        QVERIFY2(box.link(link, &error), error.c_str()); // a stale link is replaced
        QCOMPARE(QFileInfo(QString::fromStdString(link)).symLinkTarget().toStdString(), box.slave_path());
        ToolEnd tool(link);
        QVERIFY(tool.fd >= 0);
        QVERIFY(run_script(tool, {X("b", {"c", B({0x18})})}));
    }
    QVERIFY(!QFileInfo::exists(QString::fromStdString(link)));
    QVERIFY(!QFileInfo(QString::fromStdString(link)).isSymLink());

    // A link taken over by another terminal stays when the first box goes.
    auto first = std::make_unique<Box>();
    Box second;
    QVERIFY(first->link(link));
    QVERIFY(second.link(link));
    first.reset();
    QCOMPARE(QFileInfo(QString::fromStdString(link)).symLinkTarget().toStdString(), second.slave_path());
}

void tst_box_sim::tool_reopening_keeps_the_line()
{
    Box box;
    auto tool = std::make_unique<ToolEnd>(box.slave_path());
    QVERIFY(run_script(*tool, {X("b", {"c", B({0x18})})}));
    tool.reset();
    std::this_thread::sleep_for(50ms);
    QVERIFY(box.peer().is_up());
    tool = std::make_unique<ToolEnd>(box.slave_path());
    QVERIFY(run_script(*tool, {X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})})}));
    QVERIFY(!box.hung_up());
}

void tst_box_sim::hang_up_reaches_the_tool()
{
    Box box;
    box.add_fault(Fault::hang_up(Trigger::list_read_byte(3, 2)));
    ToolEnd tool(box.slave_path());
    QVERIFY(run_script(tool,
                       {X("H", {"I"}), X(B({3}), {R(default_records()[2], 0, 1)}),
                        X(B({0xCC}), {R(default_records()[2], 1, 1)})}));
    QVERIFY(tool.send(B({0xCC})));
    QVERIFY(box.wait_until([&] { return box.hung_up(); }, 2s));
    QVERIFY(bytes_of(tool.take(1, 1s)).isEmpty());
    QVERIFY(tool.hung_up);
    QVERIFY(!box.peer().send(0x41));
}

void tst_box_sim::stray_at_once_does_not_wait_for_the_tool()
{
    Box::Settings settings;
    settings.drain_limit = 10s;
    Box box(settings);
    box.add_fault(Fault::stray(Trigger::limits_read_count(3), {0x55, 0xAA}, 0ms));
    ToolEnd tool(box.slave_path());
    QVERIFY(run_script(tool, {X("b", {"c", B({0x18})}), X(B({1}), {B({0xFC})}), X(B({2}), {B({0xE8})})}));
    QVERIFY(tool.send(B({3})));
    // The first stray byte follows the answer unread; the second waits its turn.
    QVERIFY(box.wait_until([&] { return box.peer().unread_by_tool() == 2; }, 2s));
    std::this_thread::sleep_for(100ms);
    QCOMPARE(box.peer().unread_by_tool(), size_t(2));
    QCOMPARE(bytes_of(tool.take(2, 1s)).join(), B({0x03, 0x55}));
    QCOMPARE(bytes_of(tool.take(1, 2s)), QByteArrayList{B({0xAA})});
}

QTEST_GUILESS_MAIN(tst_box_sim)
#include "tst_box_sim.moc"
