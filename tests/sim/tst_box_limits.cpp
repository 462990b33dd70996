// The soft limits as the simulated box plays them, read and written, from the
// tool's end of the line.

#include "box_script.h"

#include <QtTest>

using namespace boxsim;
using namespace boxscript;
using namespace std::chrono_literals;

class TstBoxLimits : public ConversationTest
{
    Q_OBJECT

protected:
    void add_rows() override;
};

void TstBoxLimits::add_rows()
{
    const Setup none = nothing();
    // Soft limits.
    QTest::newRow("limits read -1000/1000")
        << none
        << Script{say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})}), say(raw({2}), {raw({0xE8})}),
                  say(raw({3}), {raw({0x03})}), say(raw({4}))}
        << completed(Conversation::limits_read, 1);
    QTest::newRow("limits read: 0x63 is data")
        << Setup([](Box &b) { b.set_limits(0x6363, -5000); })
        << Script{say("b", {"c", "c"}), say(raw({1}), {"c"}), say(raw({2}), {raw({0x78})}),
                  say(raw({3}), {raw({0xEC})}), say(raw({4}))}
        << completed(Conversation::limits_read, 1);
    QTest::newRow("limits write, default order")
        << Setup([](Box &b) {
               b.set_limit_bytes({0, 0, 0, 0});
           })
        << Script{say("d", {"e", raw({0})}), say(raw({0x78}), {raw({1})}), say(raw({0xEC}), {raw({2})}),
                  say(raw({0x88}), {raw({3})}), say(raw({0x13}), {raw({4})})}
        << Setup([](Box &b) {
               QCOMPARE(b.west_limit(), int16_t(-5000));
               QCOMPARE(b.east_limit(), int16_t(5000));
               QCOMPARE(b.completed(Conversation::limits_write), 1);
           });
    QTest::newRow("limits write, any order with repeats and end 9")
        << Setup([](Box &b) {
               b.set_limit_bytes({0, 0, 0, 0});
               b.set_write_requests({3, 1, 1, 0}, 9);
           })
        << Script{say("d", {"e", raw({3})}), say(raw({0xA3}), {raw({1})}), say(raw({0xA1}), {raw({1})}),
                  say(raw({0xB1}), {raw({0})}), say(raw({0xA0}), {raw({9})})}
        << Setup([](Box &b) {
               QCOMPARE(b.limit_bytes(), (std::array<uint8_t, 4>{0xA0, 0xB1, 0, 0xA3}));
           });
    QTest::newRow("limits: a new 'b' while counts are awaited starts again")
        << none
        << Script{say("b", {"c", raw({0x18})}), say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})})}
        << none;
    QTest::newRow("limits write: 'b' after a quiet where a limit byte is awaited")
        << none << Script{say("d", {"e", raw({0})}), say("b", {"c", raw({0x18})}, 300)} << none;
    {
        Trigger index1;
        index1.conversation = Conversation::limits_write;
        index1.step = Step::limit_byte;
        index1.index = 1;
        Fault f = Fault::instead(index1, {0x99});
        f.times = 0;
        QTest::newRow("limits write: a limit byte's trigger matches each request of its index")
            << Setup([f](Box &b) {
                   b.set_write_requests({3, 1, 1, 0}, 9);
                   QCOMPARE(b.add_fault(f), 1);
               })
            << Script{say("d", {"e", raw({3})}), say(raw({0xA3}), {raw({1})}),
                      say(raw({0xA1}), {raw({0x99})}), say(raw({0xB1}), {raw({0x99})}),
                      say(raw({0xA0}), {raw({9})})}
            << hits(2);
    }

    // Stray bytes after the answer: the conversation goes on as if they had
    // not come, and so does the next one.
    for (int ms : stray_delays_ms) {
        const milliseconds delay{ms};
        Script s{say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})}), say(raw({2}), {raw({0xE8})}),
                 say_stray(raw({3}), {raw({0x03})}, "U", ms), say(raw({4}))};
        stray_row(ms, "the limits read's last answer")
            << with(Fault::stray(Trigger::limits_read_count(3), {0x55}, delay)) << s + limits_read_start()
            << completed(Conversation::limits_read, 1);

        s = {say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})}), say(raw({2}), {raw({0xE8})}),
             say(raw({3}), {raw({0x03})}), say_stray(raw({4}), {}, "U", ms)};
        stray_row(ms, "the limits read's count 4")
            << with(Fault::stray(Trigger::limits_read_count(4), {0x55}, delay)) << s + limits_read_start()
            << completed(Conversation::limits_read, 1);

        s = {say("d", {"e", raw({0})}),
             say(raw({0x78}), {raw({1})}),
             say(raw({0xEC}), {raw({2})}),
             say(raw({0x88}), {raw({3})}),
             say_stray(raw({0x13}), {raw({4})}, "U", ms),
             say("b", {"c", raw({0x78})}),
             say(raw({1}), {raw({0xEC})})};
        stray_row(ms, "the limits write's end byte")
            << with(Fault::stray(Trigger::nth_byte(Conversation::limits_write, 5), {0x55}, delay)) << s
            << Setup([](Box &b) {
                   QCOMPARE(b.completed(Conversation::limits_write), 1);
                   QCOMPARE(b.east_limit(), int16_t(5000));
               });
    }
}

QTEST_GUILESS_MAIN(TstBoxLimits)
#include "tst_box_limits.moc"
