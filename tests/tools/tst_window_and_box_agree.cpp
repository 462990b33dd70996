// The window and vr20-box, each against its own simulated box set up the
// same way, send the same bytes and leave the same results: the list read
// and the CSV it saves, the list write of that CSV, an update, the limits.
#include <QFileInfo>
#include <QLineEdit>

#include <cstring>

#include "satlist_fixture.h"
#include "update_rig.h"
#include "vr20_box_run.h"

using namespace boxsim;
using std::chrono::milliseconds;
using update_test::first_difference;

using Faults = std::vector<Fault>;
Q_DECLARE_METATYPE(Faults)

namespace {

// Records that take each rule of the read, the CSV and the write: a UTF-8
// name, a comma in a name, empty slots, a 16-byte name, and values the write
// does not send as they are.
void set_records(Box &box)
{
    box.set_record(1, boxsim::box_record("T\xC3\xBCrksat 4A", -200, 5, -7));
    box.set_record(2, boxsim::box_record("A,B", 12, 3, 4));
    box.set_record(50, boxsim::box_record("Empty slot", 0, 0, 0));
    box.set_record(77, boxsim::box_record("", 0, 0, 0));
    box.set_record(100, boxsim::box_record("Far", 6000, 100, -100));
    box.set_record(199, boxsim::box_record("ABCDEFGHIJKLMNOP", 4999, -90, 90));
}

Bytes tail(const Bytes &bytes, std::size_t from)
{
    return Bytes(bytes.begin() + std::ptrdiff_t(std::min(from, bytes.size())), bytes.end());
}

bool wait_finished(QProcess &p, int timeout_ms)
{
    if (p.state() == QProcess::NotRunning)
        return true;
    return p.waitForFinished(timeout_ms);
}

} // namespace

class TstWindowAndBoxAgree : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void list_read_then_write();
    void update_data();
    void update();
    void limits_data();
    void limits();
};

void TstWindowAndBoxAgree::initTestCase()
{
    Q_INIT_RESOURCE(velmora);
    QVERIFY2(QFileInfo(box_run::tool).isExecutable(), qPrintable(box_run::tool + " is not built"));
}

// Each side runs at the same time as the other, against its own box.
void TstWindowAndBoxAgree::list_read_then_write()
{
    satlist::ListRig r;
    QVERIFY(r.attached);
    Box cli_box;
    set_records(r.box);
    set_records(cli_box);

    // The read: the window saves its table to a file; vr20-box writes to
    // standard output.
    QProcess read;
    read.setWorkingDirectory(r.dir.path());
    read.start(box_run::tool, box_run::on(cli_box, {"list", "read", "-"}));
    QVERIFY(read.waitForStarted(10000));
    r.window.ui.pushButton_sat_read->click();
    QCOMPARE(r.wait_end(satlist::list_read_end_ms), QString("Satellite data read successfully!"));
    QVERIFY(wait_finished(read, satlist::list_read_end_ms));
    QCOMPARE(read.exitStatus(), QProcess::NormalExit);
    QCOMPARE(read.exitCode(), 0);
    const QByteArray cli_csv = read.readAllStandardOutput();
    const QString csv_path = r.dir.filePath("window.csv");
    r.choose(r.window.ui.pushButton_sat_save_file, csv_path);
    const QByteArray window_csv = satlist::read_file(csv_path);
    QCOMPARE(window_csv.count('\n'), satlist::sats);
    QCOMPARE(cli_csv, window_csv);
    QVERIFY(r.box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    QVERIFY(cli_box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    // Both reads end with their last 0xCC on the box's side.
    QCOMPARE(first_difference(cli_box.received(), r.box.received()), QString());
    QCOMPARE(r.box.received().back(), uint8_t(0xCC));

    // Both boxes have finished the read: the write starts at once.
    for (const Box *box : {&r.box, &cli_box})
        QCOMPARE(box->conversation(), Conversation::none);

    // The write of the window's file: the window loads it into a table that
    // held something else, vr20-box reads it itself.
    const std::size_t window_from = r.box.received().size();
    const std::size_t cli_from = cli_box.received().size();
    for (int row = 0; row < satlist::sats; ++row)
        satlist::set_row(r.window, row, {"x", "1", "1", "1"});
    r.driver.clear();
    r.choose(r.window.ui.pushButton_sat_read_file, csv_path);
    QVERIFY(r.driver.boxes().isEmpty());
    QProcess write;
    write.setWorkingDirectory(r.dir.path());
    write.start(box_run::tool, box_run::on(cli_box, {"list", "write", csv_path}));
    QVERIFY(write.waitForStarted(10000));
    r.window.ui.pushButton_sat_save->click();
    QCOMPARE(r.wait_end(satlist::list_write_end_ms), QString("Satellite data write successfully!"));
    QVERIFY(wait_finished(write, satlist::list_write_end_ms));
    QCOMPARE(write.exitStatus(), QProcess::NormalExit);
    QCOMPARE(write.exitCode(), 0);
    const QByteArray write_err = write.readAllStandardError();
    QVERIFY2(write_err.contains("row 100, position: \"6000\" is sent as \"0\""), write_err.constData());
    QVERIFY(r.box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    QVERIFY(cli_box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));

    QCOMPARE(first_difference(tail(cli_box.received(), cli_from), tail(r.box.received(), window_from)),
             QString());
    QCOMPARE(r.box.completed(Conversation::list_write), 1);
    QCOMPARE(cli_box.completed(Conversation::list_write), 1);
    QCOMPARE(cli_box.written_records().size(), r.box.written_records().size());
    for (int k = 1; k <= satlist::sats; ++k)
        QVERIFY2(cli_box.record(k) == r.box.record(k), qPrintable(QString("satellite %1").arg(k)));
    // The rules did act: the far values went out as the write sends them.
    const boxsim::ToolRecordFields far = boxsim::decode_tool_record(*cli_box.written_record(100));
    QCOMPARE(int(far.position), 0);
    QCOMPARE(int(far.vertical), 45);
    QCOMPARE(int(far.horizontal), -45);
}

void TstWindowAndBoxAgree::update_data()
{
    QTest::addColumn<uchar>("header_verdict");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<int>("code"); // vr20-box's exit status
    QTest::addColumn<QString>("text"); // the window's one message

    // The rules of performing actions are the runner's, tested there; one row
    // shows both front ends wire it to the same bytes.
    QTest::newRow("a line asked for twice more")
        << uchar('Y') << Faults{Fault::resend_line(Trigger::update_line(1, 5), 2)} << 0
        << "Update process completed.";
}

void TstWindowAndBoxAgree::update()
{
    QFETCH(uchar, header_verdict);
    QFETCH(Faults, faults);
    QFETCH(int, code);
    QFETCH(QString, text);
    update_test::UpdateRig r;
    QVERIFY(r.ready());
    Box cli_box;
    for (Box *box : {&r.box, &cli_box}) {
        box->set_header_verdict(header_verdict);
        for (const Fault &f : faults)
            box->add_fault(f);
    }
    const QString path = r.write_package(update_test::make_package(2));

    r.load(path);
    r.press_start();
    QVERIFY(r.wait_session_end());
    QCOMPARE(r.driver.texts(), QStringList{text});
    const box_run::Run run = box_run::run(box_run::on(cli_box, {"update", path}));
    QCOMPARE(run.code, code);
    QVERIFY2(run.err.contains(text.toUtf8()), run.err.constData());
    QVERIFY(r.box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    QVERIFY(cli_box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    QCOMPARE(first_difference(cli_box.received(), r.box.received()), QString());
    QCOMPARE(cli_box.received_blocks().size(), r.box.received_blocks().size());
    QCOMPARE(cli_box.lines_rejected(), r.box.lines_rejected());
}

void TstWindowAndBoxAgree::limits_data()
{
    QTest::addColumn<QStringList>("values"); // empty: get
    QTest::addColumn<int>("west"); // what the boxes hold first
    QTest::addColumn<int>("east");
    QTest::addColumn<QByteArray>("requests"); // of a limits write; empty: 0, 1, 2, 3
    QTest::addColumn<QString>("warning"); // of a read, besides the values shown

    QTest::newRow("get") << QStringList{} << -1000 << 1000 << QByteArray() << QString();
    QTest::newRow("get the 16-bit ends")
        << QStringList{} << -32768 << 32767 << QByteArray()
        << "The box answered with a limit outside -5000 to 5000. Read the limits again to check them.";
    QTest::newRow("set, the box asks 3 0 0 1 2")
        << QStringList{"-20", "30"} << -1000 << 1000 << QByteArray("\x03\x00\x00\x01\x02", 5) << QString();
}

void TstWindowAndBoxAgree::limits()
{
    QFETCH(QStringList, values);
    QFETCH(int, west);
    QFETCH(int, east);
    QFETCH(QByteArray, requests);
    QFETCH(QString, warning);
    satlist::ListRig r;
    QVERIFY(r.attached);
    Box cli_box;
    for (Box *box : {&r.box, &cli_box}) {
        box->set_limits(int16_t(west), int16_t(east));
        if (!requests.isEmpty())
            box->set_write_requests(Bytes(requests.begin(), requests.end()));
    }

    if (values.isEmpty()) {
        r.window.ui.lineEdit_wst_lmt->clear();
        r.window.ui.lineEdit_est_lmt->clear();
        r.window.ui.pushButton_get_lmt->click();
        QVERIFY(harness::ModalDriver::wait_until(
            [&] { return !r.window.ui.lineEdit_est_lmt->text().isEmpty(); }));
        QVERIFY(r.box.wait_completed(Conversation::limits_read, 1, milliseconds(harness::patience_ms)));
        const box_run::Run run = box_run::run(box_run::on(cli_box, {"limits", "get"}));
        QCOMPARE(run.code, warning.isEmpty() ? 0 : 5);
        QVERIFY(r.driver.wait_for_boxes(warning.isEmpty() ? 0 : 1));
        QCOMPARE(r.driver.texts(), warning.isEmpty() ? QStringList() : QStringList{warning});
        QVERIFY2(run.err.contains(warning.toUtf8()), run.err.constData());
        QCOMPARE(run.out,
                 QString("WEST %1\nEAST %2\n")
                     .arg(r.window.ui.lineEdit_wst_lmt->text(), r.window.ui.lineEdit_est_lmt->text())
                     .toUtf8());
        QCOMPARE(run.out, QString("WEST %1\nEAST %2\n").arg(west).arg(east).toUtf8());
    } else {
        r.window.ui.lineEdit_wst_lmt->setText(values[0]);
        r.window.ui.lineEdit_est_lmt->setText(values[1]);
        r.window.ui.pushButton_set_lmt->click();
        QVERIFY(r.driver.wait_for_boxes(1));
        QCOMPARE(r.driver.texts(), QStringList{"EAST/WEST limit set OK."});
        QVERIFY(r.box.wait_completed(Conversation::limits_write, 1, milliseconds(harness::patience_ms)));
        const box_run::Run run = box_run::run(box_run::on(cli_box, QStringList{"limits", "set"} + values));
        QCOMPARE(run.code, 0);
        QVERIFY2(run.err.contains("EAST/WEST limit set OK."), run.err.constData());
        QCOMPARE(cli_box.limit_bytes(), r.box.limit_bytes());
        QCOMPARE(int(cli_box.west_limit()), values[0].toInt());
        QCOMPARE(int(cli_box.east_limit()), values[1].toInt());
    }
    QVERIFY(r.box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    QVERIFY(cli_box.wait_idle(milliseconds(100), milliseconds(harness::patience_ms)));
    QCOMPARE(first_difference(cli_box.received(), r.box.received()), QString());
}

QTEST_MAIN(TstWindowAndBoxAgree)
#include "tst_window_and_box_agree.moc"
