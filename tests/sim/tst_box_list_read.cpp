// The list read as the simulated box plays it, from the tool's end of the
// line.

#include "box_script.h"

#include <QtTest>

using namespace boxsim;
using namespace boxscript;
using namespace std::chrono_literals;

class TstBoxListRead : public ConversationTest
{
    Q_OBJECT

protected:
    void add_rows() override;
};

void TstBoxListRead::add_rows()
{
    const Setup none = nothing();
    const std::vector<Record> recs = default_records();

    QTest::newRow("list read satellite 1")
        << none << list_read_of(1, recs[0])
        << Setup([](Box &b) { QCOMPARE(b.conversation(), Conversation::list_read); });
    {
        Record mine = box_record("Sat 1", 192, 45, -45);
        Script s = list_read_of(satellite_slots, mine);
        QTest::newRow("list read satellite 199 ends the read")
            << Setup([mine](Box &b) { b.set_record(satellite_slots, mine); }) << s << Setup([](Box &b) {
                   QCOMPARE(b.completed(Conversation::list_read), 1);
                   QCOMPARE(b.conversation(), Conversation::none);
               });
    }
    {
        Script s{say("H", {"I"}), say(raw({5}), {part(recs[4], 0, 1)})};
        for (int i = 1; i < 7; ++i)
            s << say(raw({0xCC}), {part(recs[4], i, 1)});
        s << say(raw({0xCC}), {raw({0xEF})});
        s << list_read_of(5, recs[4]);
        QTest::newRow("list read: 0xEF at record byte 7, then the satellite again")
            << Setup([](Box &b) { b.add_fault(Fault::instead(Trigger::list_read_byte(5, 7), {0xEF})); }) << s
            << none;
    }
    QTest::newRow("list read: a stray byte amid a record gets 0xEF")
        << none
        << Script{say("H", {"I"}), say(raw({2}), {part(recs[1], 0, 1)}), say(raw({0x00}), {raw({0xEF})}),
                  say("H", {"I"})}
        << none;
    QTest::newRow("list read: 'H' amid a record starts it again")
        << none
        << Script{say("H", {"I"}), say(raw({2}), {part(recs[1], 0, 1)}),
                  say(raw({0xCC}), {part(recs[1], 1, 1)}), say("H", {"I"}),
                  say(raw({2}), {part(recs[1], 0, 1)})}
        << none;
    QTest::newRow("list read: a prompt 'H' where a number is awaited is satellite 72")
        << none << Script{say("H", {"I"}), say("H", {part(recs[71], 0, 1)})} << none;
    QTest::newRow("list read: 'H' after a quiet where a number is awaited asks again")
        << none << Script{say("H", {"I"}), say("H", {"I"}, 300), say(raw({9}), {part(recs[8], 0, 1)})}
        << Setup([](Box &b) { QCOMPARE(b.completed(Conversation::list_read), 0); });
    QTest::newRow("list read: number 0 gets 0xEF")
        << none << Script{say("H", {"I"}), say(raw({0}), {raw({0xEF})}), say("H", {"I"})} << none;
    {
        Fault f = Fault::instead(Trigger::list_read_request(), {'!'});
        f.times = 0;
        Script s{say("H", {"!"}), say(raw({1}), {part(recs[0], 0, 1)})};
        for (int i = 1; i < 20; ++i)
            s << say(raw({0xCC}), {part(recs[0], i, 1)});
        s << say(raw({0xCC})) << say("H", {"!"}) << say(raw({2}), {part(recs[1], 0, 1)});
        QTest::newRow("list read: the request trigger matches each 'H'") << with(f) << s << hits(2);
    }

    // Stray bytes after the answer: the conversation goes on as if they had
    // not come, and so does the next one.
    for (int ms : stray_delays_ms) {
        const milliseconds delay{ms};
        const QByteArray two = raw({0x55, 0xAA});
        Script s = list_read_of(1, recs[0]) + list_read_of(2, recs[1], "U", ms) + list_read_of(3, recs[2]);
        stray_row(ms, "satellite 2's record")
            << with(Fault::stray(Trigger::list_read_record_end(2), {0x55}, delay)) << s + limits_read_start()
            << hits(1);

        Fault every = Fault::stray(Trigger::list_read_record_end(), {0x55, 0xAA}, delay);
        every.times = 0;
        s = list_read_of(1, recs[0], two, ms) + list_read_of(2, recs[1], two, ms)
            + list_read_of(3, recs[2], two, ms);
        stray_row(ms, "every satellite's record") << with(every) << s << hits(3);
    }
}

QTEST_GUILESS_MAIN(TstBoxListRead)
#include "tst_box_list_read.moc"
