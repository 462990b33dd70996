// The fault language of the simulated box at work: silence, delay, noise,
// answers instead, joined answers, counted faults, stray bytes and hang-ups,
// from the tool's end of the line.

#include "box_script.h"

#include <QtTest>

#include <thread>

using namespace boxsim;
using namespace boxscript;
using namespace std::chrono_literals;

class TstBoxFaults : public ConversationTest
{
    Q_OBJECT

protected:
    void add_rows() override;

private slots:
    void hang_up_reaches_the_tool();
    void stray_at_once_does_not_wait_for_the_tool();
};

void TstBoxFaults::add_rows()
{
    const Setup none = nothing();

    // Faults on any conversation.
    QTest::newRow("silence 0 ms drops one byte") << Setup(
        [](Box &b) { b.add_fault(Fault::silence(Trigger::nth_byte(Conversation::limits_read, 1), 0ms)); })
                                                 << Script{say("b"), say("b", {"c", raw({0x18})})} << none;
    // The silence outlasts the two bytes it drops, and the byte after it
    // comes 2 s after its end, however late the box reads either.
    QTest::newRow("silence for a time, then answers again")
        << Setup([](Box &b) {
               b.add_fault(Fault::silence(Trigger::nth_byte(Conversation::limits_read, 2), 2s));
           })
        << Script{say("b", {"c", raw({0x18})}), say(raw({1})), say(raw({1})),
                  say(raw({1}), {raw({0xFC})}, 4000)}
        << none;
    QTest::newRow("silence for ever")
        << Setup([](Box &b) { b.add_fault(Fault::silence(Trigger::nth_byte(Conversation::list_write, 1))); })
        << Script{say("J"), say("b", {}, 200), say("H")} << none;
    QTest::newRow("delay") << Setup([](Box &b) {
        b.add_fault(Fault::delay(Trigger::nth_byte(Conversation::limits_read, 2), 250ms));
    }) << Script{say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})}, 0, 250)}
                           << none;
    QTest::newRow("noise before the answer, each its own arrival") << Setup([](Box &b) {
        b.add_fault(Fault::noise(Trigger::nth_byte(Conversation::limits_read, 1), {0x00, 0x41}));
    }) << Script{say("b", {raw({0x00}), "A", "c", raw({0x18})})} << none;
    QTest::newRow("instead, and the conversation goes on") << Setup([](Box &b) {
        b.add_fault(Fault::instead(Trigger::nth_byte(Conversation::limits_read, 2), {0x99}));
    }) << Script{say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0x99})}), say(raw({2}), {raw({0xE8})})}
                                                           << none;
    QTest::newRow("joined answer with an extra byte, every time") << Setup([](Box &b) {
        Fault f = Fault::joined(Trigger::nth_byte(Conversation::limits_read, 1), {0x15});
        f.times = 0;
        b.add_fault(f);
    }) << Script{say("b", {raw({'c', 0x18, 0x15})}), say("b", {raw({'c', 0x18, 0x15})})}
                                                                  << none;
    QTest::newRow("a fault acts the given number of times")
        << Setup([](Box &b) {
               Fault f = Fault::silence(Trigger::nth_byte(Conversation::limits_read, 1), 0ms);
               f.times = 2;
               QCOMPARE(b.add_fault(f), 1);
           })
        << Script{say("b"), say("b"), say("b", {"c", raw({0x18})})}
        << Setup([](Box &b) { QCOMPARE(b.fault_hits(1), 2); });

    // Stray bytes and the box's own answers: neither waits for the other, and
    // the stray bytes do not count as the line's activity.
    const QByteArray rec1 = record_bytes(1);
    QTest::newRow("stray after the whole of a two-byte answer")
        << with(Fault::stray(Trigger::nth_byte(Conversation::list_write, 1), {0x55}, 0ms))
        << Script{say_stray("J", {"K", "M"}, "U"), say(raw({5}), {"L"})} << none;
    // The stray byte waits longer than the tool takes to start the next read.
    QTest::newRow("the box answers while a stray byte waits")
        << with(Fault::stray(Trigger::limits_read_count(3), {0x55}, 1500ms))
        << Script{say("b", {"c", raw({0x18})}),
                  say(raw({1}), {raw({0xFC})}),
                  say(raw({2}), {raw({0xE8})}),
                  say(raw({3}), {raw({0x03})}),
                  say(raw({4})),
                  say_stray("b", {"c", raw({0x18})}, "U"),
                  say(raw({1}), {raw({0xFC})})}
        << none;
    {
        // 0xEF 230 ms after 'L' is a resend request, though it comes but 80
        // ms after the stray byte.
        QTest::newRow("a stray byte leaves the line's quiet as it was")
            << with(Fault::stray(Trigger::list_write_number(3), {0x55}, 150ms))
            << Script{say("J", {"K", "M"}), say_stray(raw({3}), {"L"}, "U", 150), say(raw({0xEF}), {"L"}, 80),
                      say(rec1, {"M"})}
            << Setup(
                   [rec1](Box &b) { QCOMPARE(b.written_record(3), std::optional<Record>(to_record(rec1))); });
    }
}

void TstBoxFaults::hang_up_reaches_the_tool()
{
    Box box;
    box.add_fault(Fault::hang_up(Trigger::list_read_byte(3, 2)));
    ToolEnd tool(box.slave_path());
    QVERIFY(run_script(tool,
                       {say("H", {"I"}), say(raw({3}), {part(default_records()[2], 0, 1)}),
                        say(raw({0xCC}), {part(default_records()[2], 1, 1)})}));
    QVERIFY(tool.send(raw({0xCC})));
    QVERIFY(box.wait_until([&] { return box.hung_up(); }, patience));
    QVERIFY(bytes_of(tool.take(1, patience)).isEmpty());
    QVERIFY(tool.hung_up);
    QVERIFY(!box.peer().send(0x41));
}

void TstBoxFaults::stray_at_once_does_not_wait_for_the_tool()
{
    Box::Settings settings;
    settings.drain_limit = 10s;
    Box box(settings);
    box.add_fault(Fault::stray(Trigger::limits_read_count(3), {0x55, 0xAA}, 0ms));
    ToolEnd tool(box.slave_path());
    QVERIFY(run_script(
        tool, {say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})}), say(raw({2}), {raw({0xE8})})}));
    QVERIFY(tool.send(raw({3})));
    // The first stray byte follows the answer unread; the second waits its turn.
    QVERIFY(box.wait_until([&] { return box.peer().unread_by_tool() == 2; }, patience));
    std::this_thread::sleep_for(nothing_comes);
    QCOMPARE(box.peer().unread_by_tool(), size_t(2));
    QCOMPARE(bytes_of(tool.take(2, patience)).join(), raw({0x03, 0x55}));
    QCOMPARE(bytes_of(tool.take(1, patience)), QByteArrayList{raw({0xAA})});
}

QTEST_GUILESS_MAIN(TstBoxFaults)
#include "tst_box_faults.moc"
