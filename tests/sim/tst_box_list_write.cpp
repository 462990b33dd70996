// The list write as the simulated box plays it, from the tool's end of the
// line.

#include "box_script.h"

#include <QtTest>

using namespace boxsim;
using namespace boxscript;
using namespace std::chrono_literals;

class TstBoxListWrite : public ConversationTest
{
    Q_OBJECT

protected:
    void add_rows() override;
};

void TstBoxListWrite::add_rows()
{
    const Setup none = nothing();

    QTest::newRow("list write: 'J' after a quiet starts the write again")
        << none << Script{say("J", {"K", "M"}), say("J", {"K", "M"}, 300), say(raw({5}), {"L"})} << none;
    {
        const QByteArray rec = record_bytes(1);
        QTest::newRow("list write: one record, then 200")
            << none << Script{say("J", {"K", "M"}), say(raw({1}), {"L"}), say(rec, {"M"}), say(raw({200}))}
            << Setup([rec](Box &b) {
                   QCOMPARE(b.written_record(1), std::optional<Record>(to_record(rec)));
                   QCOMPARE(b.completed(Conversation::list_write), 1);
                   Record mine = to_record(rec);
                   std::swap(mine[name_field_size], mine[name_field_size + 1]);
                   QCOMPARE(b.record(1), mine); // kept for the next read, high byte first
               });
        QTest::newRow("list write: 0xEF after 'M' gets 'M' again")
            << none
            << Script{say("J", {"K", "M"}), say(raw({0xEF}), {"M"}), say(raw({7}), {"L"}), say(rec, {"M"})}
            << Setup([rec](Box &b) { QCOMPARE(b.written_record(7), std::optional<Record>(to_record(rec))); });
        const QByteArray other = record_bytes(40);
        QTest::newRow("list write: 0xEF after a quiet amid a record drops it and asks again")
            << none
            << Script{say("J", {"K", "M"}), say(raw({3}), {"L"}), say(other.left(5)),
                      say(raw({0xEF}), {"L"}, 300), say(rec, {"M"})}
            << Setup([rec](Box &b) {
                   QCOMPARE(b.written_records().size(), size_t(1));
                   QCOMPARE(b.written_record(3), std::optional<Record>(to_record(rec)));
               });
        QByteArray with_ef = rec;
        // The position's high byte (the tool sends it second) of value 0xEF: record data.
        with_ef[static_cast<int>(name_field_size) + 1] = static_cast<char>(0xEF);
        QTest::newRow("list write: 0xEF inside a record is data")
            << none << Script{say("J", {"K", "M"}), say(raw({4}), {"L"}), say(with_ef, {"M"})}
            << Setup([with_ef](Box &b) {
                   QCOMPARE(b.written_record(4), std::optional<Record>(to_record(with_ef)));
               });
    }
    {
        const QByteArray rec = record_bytes(7);
        QTest::newRow("list write: a record's trigger matches its last byte only")
            << with(Fault::instead(Trigger::list_write_record(3), {'X'}))
            << Script{say("J", {"K", "M"}), say(raw({2}), {"L"}), say(rec, {"M"}),
                      say(raw({3}), {"L"}), say(rec, {"X"}),      say(raw({200}))}
            << Setup([rec](Box &b) {
                   QCOMPARE(b.fault_hits(1), 1);
                   QCOMPARE(b.written_record(3), std::optional<Record>(to_record(rec)));
                   QCOMPARE(b.completed(Conversation::list_write), 1);
               });
    }

    // Stray bytes after the answer: the conversation goes on as if they had
    // not come, and so does the next one.
    const QByteArray rec1 = record_bytes(1), rec2 = record_bytes(2);
    for (int ms : stray_delays_ms) {
        const milliseconds delay{ms};
        const QByteArray three = raw({0x55, 0x00, 0xAA});
        const Script s{say("J", {"K", "M"}), say(raw({1}), {"L"}),
                       say(rec1, {"M"}),     say_stray(raw({200}), {}, three, ms),
                       say("J", {"K", "M"}), say(raw({2}), {"L"}),
                       say(rec2, {"M"}),     say(raw({200}))};
        const Fault after_200 = Fault::stray(Trigger::list_write_end(), {0x55, 0x00, 0xAA}, delay);
        stray_row(ms, "the list write's 200") << with(after_200) << s << Setup([](Box &b) {
            QCOMPARE(b.completed(Conversation::list_write), 2);
            QCOMPARE(b.written_records().size(), size_t(2));
        });
    }
}

QTEST_GUILESS_MAIN(TstBoxListWrite)
#include "tst_box_list_write.moc"
