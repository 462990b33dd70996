// vr20-box's list checks against the simulated box: a write read back and
// compared (list write --verify), and what a write would change (list
// diff), with a slot the box reports otherwise than it was written.
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

#include "box_sim.h"
#include "harness.h"
#include "test_files.h"
#include "vr20_box_run.h"

using namespace boxsim;
using box_run::on;
using box_run::Run;

using Faults = std::vector<Fault>;
Q_DECLARE_METATYPE(Faults)

namespace {

constexpr int transfer_ms = 240000; // a write and a read of 199 satellites, with room

// 199 lines; no value holds the byte the box cannot send back (0xEF). Line
// 4 holds cells the write alters: the box holds 0, 45 and the name's first
// 15 bytes, and so does the comparison.
QByteArray csv(int changed_line = 0, const QByteArray &changed = {})
{
    QByteArray text;
    for (int k = 1; k <= 199; ++k) {
        if (k == changed_line)
            text += changed;
        else if (k == 4)
            text += "ABCDEFGHIJKLMNOPQ,5001,91,4,\n";
        else
            text += "Sat " + QByteArray::number(k) + ',' + QByteArray::number(4 * k) + ','
                + QByteArray::number(k % 80) + ',' + QByteArray::number(k % 30) + ",\n";
    }
    return text;
}

// The box holds what a write of csv() leaves there.
void hold_csv(Box &box)
{
    for (int k = 1; k <= 199; ++k)
        box.set_record(
            k,
            k == 4 ? box_record("ABCDEFGHIJKLMNO", 0, 45, 4)
                   : box_record("Sat " + std::to_string(k), int16_t(4 * k), int8_t(k % 80), int8_t(k % 30)));
}

// The box answers with `byte` for record byte `index` of satellite `k`, in
// every read.
Fault reports_otherwise(int k, int index, uint8_t byte)
{
    Fault f = Fault::instead(Trigger::list_read_byte(k, index), {byte});
    f.times = 0;
    return f;
}

} // namespace

class TstVr20BoxVerify : public QObject
{
    Q_OBJECT

private slots:
    void write_verify_data()
    {
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("the box holds what was sent") << Faults{} << 0 << QByteArray();
        // Byte 19 is the vertical: sent 6, read 16.
        QTest::newRow("a slot the box reports otherwise")
            << Faults{reports_otherwise(6, 19, 16)} << 7 << QByteArray("6\tvertical\t6\t16\n");
    }

    void write_verify()
    {
        QFETCH(Faults, faults);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        Box box;
        for (const Fault &f : faults)
            box.add_fault(f);
        QTemporaryDir dir;
        const QString path = dir.filePath("list.csv");
        QVERIFY(harness::write_file(path, csv()));

        const Run run = box_run::run(on(box, {"list", "write", "--verify", path}), {}, transfer_ms);
        QCOMPARE(run.code, code);
        QCOMPARE(run.out, out);
        QCOMPARE(box.completed(Conversation::list_write), 1);
        // The last 0xCC goes out just before the program ends.
        QVERIFY(
            box.wait_completed(Conversation::list_read, 1, std::chrono::milliseconds(harness::patience_ms)));
    }

    void diff_with_the_box_data()
    {
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<int>("unreadable"); // a slot holding a vertical of -17, which the box cannot send back
        QTest::newRow("a file the box holds, and one slot it reports otherwise")
            << Faults{reports_otherwise(9, 0, 'X')} << 7 << QByteArray("9\tname\tXat 9\tSat 9\n") << 0;
        // The lines before the end: the rows read are compared, the rest
        // not verified; the status is the broken transfer's.
        QTest::newRow("the read breaks off") << Faults{Fault::hang_up(Trigger::list_read_byte(198, 0))} << 6
                                             << QByteArray("198\tnot verified\n199\tnot verified\n") << 0;
        // The read ends at the slot: the lists cannot be told to agree.
        QTest::newRow("a slot the box cannot send back")
            << Faults{} << 7 << QByteArray("198\tnot verified\n199\tnot verified\n") << 198;
    }

    // Nothing is written: the box receives only the read.
    void diff_with_the_box()
    {
        QFETCH(Faults, faults);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(int, unreadable);
        Box box;
        hold_csv(box);
        if (unreadable)
            box.set_record(unreadable, box_record("Sat", 0, -17, 0));
        for (const Fault &f : faults)
            box.add_fault(f);
        QTemporaryDir dir;
        const QString path = dir.filePath("list.csv");
        QVERIFY(harness::write_file(path, csv()));

        const Run run = box_run::run(on(box, {"list", "diff", path}), {}, transfer_ms);
        QCOMPARE(run.code, code);
        QCOMPARE(run.out, out);
        QVERIFY(box.written_records().empty());
        QCOMPARE(box.completed(Conversation::list_write), 0);
    }

    void diff_of_two_files_data()
    {
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("the same") << csv() << 0 << QByteArray();
        QTest::newRow("the same as the box gets it")
            << csv(4, "ABCDEFGHIJKLMNOxyz,0,45,4,\n") << 0 << QByteArray();
        QTest::newRow("two fields of a row, a tab in a name printed as a space")
            << csv(7, "New\tname,28,7,0,\n") << 7
            << QByteArray("7\tname\tSat 7\tNew name\n7\thorizontal\t7\t0\n");
        QTest::newRow("a shorter file empties the rows after it")
            << csv().left(csv().indexOf("Sat 199")) << 7
            << QByteArray("199\tname\tSat 199\t\n199\tposition\t796\t0\n199\tvertical\t39\t0\n"
                          "199\thorizontal\t19\t0\n");
    }

    // No port is needed for two files.
    void diff_of_two_files()
    {
        QFETCH(QByteArray, b);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QTemporaryDir dir;
        QVERIFY(harness::write_file(dir.filePath("a.csv"), csv()));
        QVERIFY(harness::write_file(dir.filePath("b.csv"), b));
        const Run run = box_run::run(
            {"--port", "/nonexistent/port", "list", "diff", dir.filePath("a.csv"), dir.filePath("b.csv")});
        QCOMPARE(run.code, code);
        QCOMPARE(run.out, out);
    }
};

QTEST_GUILESS_MAIN(TstVr20BoxVerify)
#include "tst_vr20_box_verify.moc"
