// vr20-box as a user runs it, against a fresh simulated box per case: exit
// status, what it prints, and the bytes the box receives.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <vector>

#include <signal.h>

#include "test_files.h"
#include "box_sim.h"
#include "port_listing.h"
#include "sat_list.h"
#include "update_rig.h"
#include "vr20_box_run.h"

using namespace boxsim;
using std::chrono::milliseconds;
using update_test::first_difference;
using update_test::make_package;
using update_test::TestPackage;

using Faults = std::vector<Fault>;
Q_DECLARE_METATYPE(Faults)

namespace {

const QString tool_path = box_run::tool;

const QString cpu_text = QStringLiteral("BIN file CPU does not corresponding with device's CPU");
const QString too_old_text = QStringLiteral("Too old BIN file");
const QString failed_text
    = QStringLiteral("Update process failed, please reboot the device and restart the update program.");
const QString write_error_text = QStringLiteral("Data write error, please restart box and PC software");
const QString transfer_error_text = QStringLiteral("Data transfer error, please restart box and PC software");
const QString not_prepared_text
    = QStringLiteral("Device has not been prepared, please re-connect cable and reboot the update software.");

using box_run::on;
using box_run::Run;

Run run_tool(const QStringList &args, const QByteArray &input = {}, int limit_ms = 60000)
{
    return box_run::run(args, input, limit_ms);
}

using harness::read_file;
using harness::write_file;

// Waits until the box has been quiet a while, so that a byte the program
// wrote just before it ended has been taken in.
void settle(const Box &box)
{
    box.wait_idle(milliseconds(100), milliseconds(10000));
}

// The lines of `text` that start with `prefix`.
QList<QByteArray> lines_starting(const QByteArray &text, const QByteArray &prefix)
{
    QList<QByteArray> lines;
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith(prefix))
            lines << line;
    return lines;
}

// A CSV line, each field followed by a comma.
QByteArray csv_line(const QByteArray &name, const QByteArray &position, const QByteArray &vertical,
                    const QByteArray &horizontal)
{
    return name + ',' + position + ',' + vertical + ',' + horizontal + ",\n";
}

// 199 plain lines, with `changed` lines (1-based row -> line) put in.
QByteArray csv_text(const QMap<int, QByteArray> &changed = {})
{
    QByteArray text;
    for (int k = 1; k <= sat_count; ++k)
        text += changed.value(k,
                              csv_line("Sat " + QByteArray::number(k), QByteArray::number(7 * k),
                                       QByteArray::number(k % 80), QByteArray::number(k % 21 - 10)));
    return text;
}

// What a write of `csv` sends for each satellite: the row the reader makes
// of its line (empty for a skipped line), turned into a record.
std::vector<SatRecord> records_sent_for(const QByteArray &csv)
{
    std::vector<SatRecord> records;
    for (const CsvFields &fields : read_csv_list(csv).lines)
        records.push_back(row_to_record(fields.is_valid() ? fields.cells() : SatRow{}));
    return records;
}

// The cells of the full-write CSV that the write alters.
const QMap<int, QByteArray> altered_cells{
    {5, csv_line("Sat 5", "5001", "5", "-5")},
    {7, csv_line("Sat 7", "49", "91", "-3")},
    {9, csv_line("ABCDEFGHIJKLMNOPQ", "63", "9", "-1")},
};

// A box that hangs up at the first record byte of a list write, should one
// start where none may.
Fault hang_up_on_any_write()
{
    return Fault::hang_up(Trigger::list_write_record(1, 0));
}

} // namespace

class TstVr20Box : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void limits_get_data();
    void limits_get();
    void limits_set_data();
    void limits_set();
    void limits_set_ended_early();
    void before_the_box_data();
    void before_the_box();
    void ports();

    void update_data();
    void update();
    void broken_package_data();
    void broken_package();
    void interrupted_update_data();
    void interrupted_update();

    void list_read_to_file();
    void failed_read_leaves_output_data();
    void failed_read_leaves_output();
    void list_write_from_stdin();
    void list_write_refused_data();
    void list_write_refused();

    void output_without_terminal_data();
    void output_without_terminal();
};

void TstVr20Box::initTestCase()
{
    QLoggingCategory::setFilterRules("default.debug=false");
    QVERIFY2(QFileInfo(tool_path).isExecutable(), qPrintable(tool_path + " is not built"));
}

// ---- soft limits ----

void TstVr20Box::limits_get_data()
{
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QList<int>>("held"); // WEST and EAST the box holds; empty: its own

    const QByteArray limits = "WEST -1000\nEAST 1000\n";
    const QByteArray whole("b\x01\x02\x03\x04", 5);
    QTest::newRow("read") << Faults{} << QStringList{} << 0 << limits << whole << QList<int>();
    QTest::newRow("stray byte after the end")
        << Faults{Fault::stray(Trigger::limits_read_count(4), {'c'}, milliseconds(0))} << QStringList{} << 0
        << limits << whole << QList<int>();
    // Values no box holds are printed, said to be so, and fail (5).
    QTest::newRow("a limit out of range") << Faults{} << QStringList{} << 5
                                          << QByteArray("WEST 5001\nEAST 0\n") << whole << QList<int>{5001, 0};
    QTest::newRow("limits never set: 0 and 0")
        << Faults{} << QStringList{} << 0 << QByteArray("WEST 0\nEAST 0\n") << whole << QList<int>{0, 0};
    // No resend: a limits read has no watchdog.
    QTest::newRow("silent box, --timeout 300")
        << Faults{Fault::silence(Trigger::nth_byte(Conversation::limits_read, 1))}
        << QStringList{"--timeout", "300"} << 4 << QByteArray() << QByteArray("b") << QList<int>();
}

void TstVr20Box::limits_get()
{
    QFETCH(Faults, faults);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, received);
    QFETCH(QList<int>, held);
    Box box;
    for (const Fault &f : faults)
        box.add_fault(f);
    if (!held.isEmpty())
        box.set_limits(int16_t(held[0]), int16_t(held[1]));

    const Run run = run_tool(on(box, options + QStringList{"limits", "get"}));
    QCOMPARE(run.code, code);
    QCOMPARE(run.out, out);
    settle(box);
    QCOMPARE(box.received(), Bytes(received.begin(), received.end()));
    if (code == 5)
        QVERIFY2(run.err.contains("outside -5000 to 5000"), run.err.constData());
    if (out.startsWith("WEST 0\n"))
        QVERIFY2(run.err.contains("WEST is not below EAST"), run.err.constData());
    if (code == 4) {
        QVERIFY2(run.err.contains("said nothing for 300 ms"), run.err.constData());
        // Given up after the 300 ms asked for, far from the 5 s default. The
        // program cannot end sooner than 300 ms after it started; the upper
        // bound counts from the box's 'b', which leaves the program's start
        // out (the box may read the 'b' a little after it was sent).
        const std::vector<LoggedByte> log = box.log();
        QVERIFY(!log.empty() && !log.front().from_box);
        const qint64 waited
            = std::chrono::duration_cast<milliseconds>(run.end - log.front().when).count();
        QVERIFY2(run.ms >= 300 && waited < 4000, qPrintable(QStringLiteral("%1 %2").arg(run.ms).arg(waited)));
    }
}

void TstVr20Box::limits_set_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("west"); // what the box holds afterwards
    QTest::addColumn<int>("east");

    const QString set_ok = QStringLiteral("EAST/WEST limit set OK.");
    const QString range = QStringLiteral("The EAST/WEST limit setting should between -5000 to 5000.");
    const QString order = QStringLiteral("The EAST limit should be greater than the WEST limit.");
    const QString numbers = QStringLiteral("limits set takes two whole numbers");
    QTest::newRow("negative WEST as typed") << QStringList{"-2000", "2000"} << 0 << set_ok << -2000 << 2000;
    QTest::newRow("the range's ends") << QStringList{"-5000", "5000"} << 0 << set_ok << -5000 << 5000;
    QTest::newRow("WEST below -5000") << QStringList{"-5001", "2000"} << 2 << range << -1000 << 1000;
    QTest::newRow("EAST above 5000") << QStringList{"0", "5001"} << 2 << range << -1000 << 1000;
    QTest::newRow("beyond 16 bits") << QStringList{"-2000", "70000"} << 2 << numbers << -1000 << 1000;
    QTest::newRow("wrong order") << QStringList{"1000", "-1000"} << 2 << order << -1000 << 1000;
    QTest::newRow("equal") << QStringList{"100", "100"} << 2 << order << -1000 << 1000;
    QTest::newRow("not a number") << QStringList{"west", "2000"} << 2 << numbers << -1000 << 1000;
    QTest::newRow("decimal") << QStringList{"-2000", "1.5"} << 2 << numbers << -1000 << 1000;
    QTest::newRow("one value") << QStringList{"-2000"} << 2 << "limits get, or limits set WEST EAST" << -1000
                               << 1000;
}

void TstVr20Box::limits_set()
{
    QFETCH(QStringList, values);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(int, west);
    QFETCH(int, east);
    Box box;

    const Run run = run_tool(on(box, QStringList{"limits", "set"} + values));
    QCOMPARE(run.code, code);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY(run.out.isEmpty());
    QCOMPARE(int(box.west_limit()), west);
    QCOMPARE(int(box.east_limit()), east);
    settle(box);
    if (code == 0)
        QCOMPARE(box.completed(Conversation::limits_write), 1);
    else
        QCOMPARE(box.received(), Bytes{});
}

// A box that ends the write before it asked for every limit byte may hold
// its old values: no success.
void TstVr20Box::limits_set_ended_early()
{
    Box box;
    box.set_write_requests(Bytes{}, 4);
    const Run run = run_tool(on(box, QStringList{"limits", "set", "-2000", "2000"}));
    QCOMPARE(run.code, 5);
    QVERIFY2(run.err.contains("The box ended the exchange before it received every limit."),
             run.err.constData());
    QVERIFY(!run.err.contains("set OK"));
    settle(box);
    QCOMPARE(box.received(), Bytes{'d'});
    QCOMPARE(int(box.west_limit()), -1000);
}

// Refused before a byte goes out: usage, and ports that cannot be used.
void TstVr20Box::before_the_box_data()
{
    QTest::addColumn<QStringList>("args"); // PORT stands for the box's terminal
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out"); // expected in stdout
    QTest::addColumn<QStringList>("err"); // each expected in stderr

    QTest::newRow("option after the command")
        << QStringList{"limits", "get", "--port", "PORT"} << 2 << QByteArray()
        << QStringList{"--port after the command", "Options go before the command: vr20-box --port limits"};
    QTest::newRow("--timeout after the command")
        << QStringList{"--port", "PORT", "limits", "get", "--timeout", "300"} << 2 << QByteArray()
        << QStringList{"--timeout after the command", "Options go before the command"};
    QTest::newRow("unknown command") << QStringList{"--port", "PORT", "erase"} << 2 << QByteArray()
                                     << QStringList{"unknown command erase", "Try 'vr20-box --help'."};
    QTest::newRow("unknown option") << QStringList{"--fast", "--port", "PORT", "limits", "get"} << 2
                                    << QByteArray() << QStringList{"unknown option --fast"};
    QTest::newRow("no command") << QStringList{"--port", "PORT"} << 2 << QByteArray()
                                << QStringList{"no command given"};
    QTest::newRow("nothing at all") << QStringList{} << 2 << QByteArray() << QStringList{"no command given"};
    QTest::newRow("--port without a port")
        << QStringList{"--port"} << 2 << QByteArray() << QStringList{"--port needs a port"};
    QTest::newRow("--timeout 0") << QStringList{"--timeout", "0", "--port", "PORT", "limits", "get"} << 2
                                 << QByteArray() << QStringList{"--timeout needs a number"};
    QTest::newRow("list without a path") << QStringList{"--port", "PORT", "list", "read"} << 2 << QByteArray()
                                         << QStringList{"list read OUT.csv, list write [--verify] IN.csv, or list diff FILE.csv [FILE.csv]"};
    QTest::newRow("update without a package") << QStringList{"--port", "PORT", "update"} << 2 << QByteArray()
                                              << QStringList{"update takes one package"};
    QTest::newRow("--help") << QStringList{"--help"} << 0 << QByteArray("Usage: vr20-box [OPTIONS] COMMAND")
                            << QStringList{};
    QTest::newRow("--version") << QStringList{"--version"} << 0 << QByteArray("vr20-box ") << QStringList{};
    QTest::newRow("port missing") << QStringList{"--port", "/dev/vr20-no-such-port", "limits", "get"} << 3
                                  << QByteArray() << QStringList{"/dev/vr20-no-such-port"};
    QTest::newRow("port is no terminal")
        << QStringList{"--port", "FILE", "limits", "get"} << 3 << QByteArray() << QStringList{"plain.txt"};
    // Files are settled before the box hears a byte.
    QTest::newRow("list read into a missing folder")
        << QStringList{"--port", "PORT", "list", "read", "NOWHERE"} << 1 << QByteArray()
        << QStringList{"cannot write", "No such file or directory"};
    QTest::newRow("update from an endless input")
        << QStringList{"--port", "PORT", "update", "/dev/zero"} << 1 << QByteArray()
        << QStringList{"larger than 16777216 bytes"};
}

void TstVr20Box::before_the_box()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QStringList, err);
    Box box;
    QTemporaryDir dir;
    const QString file = dir.filePath("plain.txt");
    QVERIFY(write_file(file, "not a port\n"));
    for (QString &a : args) {
        if (a == "PORT")
            a = QString::fromStdString(box.slave_path());
        else if (a == "FILE")
            a = file;
        else if (a == "NOWHERE")
            a = dir.filePath("nowhere/list.csv");
    }

    const Run run = run_tool(args);
    QCOMPARE(run.code, code);
    QVERIFY2(run.out.startsWith(out), run.out.constData());
    for (const QString &text : err)
        QVERIFY2(run.err.contains(text.toUtf8()), run.err.constData());
    if (code == 0) {
        QVERIFY(run.err.isEmpty());
    } else {
        QVERIFY2(run.out.isEmpty(), "errors go to stderr");
    }
    if (QTest::currentDataTag() == QByteArray("--help")) {
        // The exit status table, every status with its meaning.
        for (const char *line :
             {"0 done", "1 a file could not be read or written", "2 usage", "3 the port is missing",
              "4 the box did not answer", "5 the box refused", "6 the transfer", "130 interrupted"})
            QVERIFY2(run.out.simplified().contains(line), line);
    }
    if (QTest::currentDataTag() == QByteArray("--version"))
        QVERIFY2(QRegularExpression("^vr20-box \\d+\\.\\d+\\S*\\n$").match(QString(run.out)).hasMatch(),
                 run.out.constData());
    QCOMPARE(read_file(file), QByteArray("not a port\n"));
    settle(box);
    QCOMPARE(box.received(), Bytes{});
}

// One line a port, tab-separated: path, description, USB id, state; the
// same ports the system listing gives.
void TstVr20Box::ports()
{
    const Run run = run_tool({"ports"});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.err.isEmpty(), run.err.constData());
    QStringList paths;
    QList<QByteArray> lines = run.out.split('\n');
    QCOMPARE(lines.takeLast(), QByteArray()); // every line ends with LF
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split('\t');
        QCOMPARE(fields.size(), 4);
        QVERIFY2(fields[0].startsWith("/dev/"), line.constData());
        QVERIFY2(fields[3] == "free" || fields[3] == "busy" || fields[3] == "denied", line.constData());
        QVERIFY2(fields[2].isEmpty()
                     || QRegularExpression("^[0-9a-f]{4}:[0-9a-f]{4}$").match(QString(fields[2])).hasMatch(),
                 line.constData());
        paths << QString::fromLocal8Bit(fields[0]);
    }
    QStringList listed;
    for (const PortEntry &port : SystemPortListing().ports())
        listed << port.path;
    QCOMPARE(paths, listed);
}

// ---- update ----

void TstVr20Box::update_data()
{
    QTest::addColumn<int>("blocks");
    QTest::addColumn<uchar>("header_verdict");
    QTest::addColumn<uchar>("final_verdict");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // on stderr
    QTest::addColumn<bool>("clean"); // the box received exactly a clean session
    QTest::addColumn<int>("limit_ms"); // loose bound on the whole run

    const int normal = 30000;
    const int dead_line = 20000; // far below the 60 s that a dead line would take
    const Faults none;
    QTest::newRow("accepted") << 2 << uchar('Y') << uchar('S') << none << QStringList{} << 0
                              << "Update process completed." << true << normal;
    QTest::newRow("V at the header") << 2 << uchar('V') << uchar('S') << none << QStringList{} << 5
                                     << cpu_text << false << normal;
    QTest::newRow("W at the header") << 2 << uchar('W') << uchar('S') << none << QStringList{} << 5
                                     << cpu_text << false << normal;
    QTest::newRow("X at the header") << 2 << uchar('X') << uchar('S') << none << QStringList{} << 5
                                     << too_old_text << false << normal;
    QTest::newRow("Z as the final verdict")
        << 1 << uchar('Y') << uchar('Z') << none << QStringList{} << 5 << failed_text << true << normal;
    QTest::newRow("] as the final verdict")
        << 1 << uchar('Y') << uchar(']') << none << QStringList{} << 5 << write_error_text << true << normal;
    QTest::newRow("Z mid-block") << 2 << uchar('Y') << uchar('S')
                                 << Faults{Fault::end(Trigger::update_line(1, 2, 5), {'Z'})} << QStringList{}
                                 << 5 << failed_text << false << normal;
    QTest::newRow("] mid-block") << 2 << uchar('Y') << uchar('S')
                                 << Faults{Fault::end(Trigger::update_line(0, 4, 9), {']'})} << QStringList{}
                                 << 5 << write_error_text << false << normal;
    QTest::newRow("no P: silent on E")
        << 1 << uchar('Y') << uchar('S') << Faults{Fault::silence(Trigger::nth_byte(Conversation::update, 1))}
        << QStringList{} << 4 << not_prepared_text << false << normal;
    QTest::newRow("no P: Q instead") << 1 << uchar('Y') << uchar('S')
                                     << Faults{Fault::instead(Trigger::nth_byte(Conversation::update, 1),
                                                              {'Q'})}
                                     << QStringList{} << 4 << not_prepared_text << false << normal;
    QTest::newRow("15 resends of a line are taken")
        << 1 << uchar('Y') << uchar('S') << Faults{Fault::resend_line(Trigger::update_line(0, 3), 15)}
        << QStringList{} << 0 << "Update process completed." << false << normal;
    QTest::newRow("the 16th U") << 1 << uchar('Y') << uchar('S')
                                << Faults{Fault::resend_line(Trigger::update_line(0, 3), 16)} << QStringList{}
                                << 6 << transfer_error_text << false << normal;
    // Without --timeout the 60 s default would hide a program that keeps
    // polling a dead line; it must see the hang-up and end.
    QTest::newRow("hang-up mid-block")
        << 2 << uchar('Y') << uchar('S') << Faults{Fault::hang_up(Trigger::update_line(0, 3, 5))}
        << QStringList{} << 6 << transfer_error_text << false << dead_line;
    QTest::newRow("silent mid-block, --timeout 600")
        << 2 << uchar('Y') << uchar('S') << Faults{Fault::silence(Trigger::update_line(0, 3, 5))}
        << QStringList{"--timeout", "600"} << 4 << "the box said nothing for 600 ms" << false << dead_line;
    QTest::newRow("stray byte after the verdict")
        << 2 << uchar('Y') << uchar('S')
        << Faults{Fault::stray(Trigger::update_block_start(2), {'Y'}, milliseconds(0))} << QStringList{} << 0
        << "Update process completed." << true << normal;
}

void TstVr20Box::update()
{
    QFETCH(int, blocks);
    QFETCH(uchar, header_verdict);
    QFETCH(uchar, final_verdict);
    QFETCH(Faults, faults);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, clean);
    QFETCH(int, limit_ms);
    QTemporaryDir dir;
    const TestPackage package = make_package(blocks);
    const QString path = dir.filePath("pkg.bin");
    QVERIFY(write_file(path, package.file_bytes()));
    Box box;
    box.set_header_verdict(header_verdict);
    box.set_final_verdict(final_verdict);
    for (const Fault &f : faults)
        box.add_fault(f);

    const Run run = run_tool(on(box, options + QStringList{"update", path}));
    QCOMPARE(run.code, code);
    QVERIFY2(run.ms < limit_ms, qPrintable(QString::number(run.ms)));
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY(run.out.isEmpty());
    settle(box);
    const Bytes received = box.received();
    QVERIFY(!received.empty());
    QCOMPARE(received.front(), uint8_t('E'));
    if (clean)
        QCOMPARE(first_difference(received, package.clean_session()), QString());
    if (code == 0) {
        const auto header = box.received_header();
        QVERIFY(header);
        QVERIFY(std::memcmp(header->data(), package.header.bytes, 4) == 0);
        const std::vector<boxsim::ReceivedBlock> got = box.received_blocks();
        QCOMPARE(int(got.size()), blocks);
        for (int b = 0; b < blocks; ++b) {
            const PackageBlock &sent = package.blocks[size_t(b)];
            QCOMPARE(got[size_t(b)].address_high, sent.bytes[0]);
            QVERIFY2(std::memcmp(got[size_t(b)].lines.data(), sent.bytes + 2, ::block_line_bytes) == 0,
                     qPrintable(QString("block %1").arg(b)));
        }
        QCOMPARE(box.completed(Conversation::update), 1);
    }
    if (header_verdict != 'Y')
        QCOMPARE(first_difference(received, Bytes{'E', 'R', 0x32, 0x67, 0x01, 0x00}), QString());
}

void TstVr20Box::broken_package_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("forced_code");
    QTest::addColumn<QByteArray>("forced_start"); // what --force sends first

    const QByteArray entry("ER", 2);
    TestPackage bad_check = make_package(2);
    bad_check.blocks[1].bytes[block_line_pos(6, line_data_bytes)] ^= 0x01;
    QTest::newRow("wrong check byte") << bad_check.file_bytes()
                                      << "check bytes wrong in 1 blocks"
                                      // The box refuses the line every time.
                                      << 6 << entry + QByteArray("\x32\x67\x01\x00", 4);
    const TestPackage trailing = make_package(1, 100);
    const boxsim::Bytes trailing_session = trailing.clean_session();
    QTest::newRow("trailing piece") << trailing.file_bytes()
                                    << "a trailing piece of 100 bytes that is not a whole block" << 0
                                    << QByteArray(reinterpret_cast<const char *>(trailing_session.data()),
                                                  int(trailing_session.size()));
    // The missing header bytes go out as 0, and '[' at once: no blocks.
    QTest::newRow("short header") << QByteArray("\x32\x67", 2) << "shorter than the 4-byte header" << 0
                                  << entry + QByteArray("\x32\x67\x00\x00[", 5);
}

void TstVr20Box::broken_package()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    QFETCH(int, forced_code);
    QFETCH(QByteArray, forced_start);
    QTemporaryDir dir;
    const QString path = dir.filePath("broken.bin");
    QVERIFY(write_file(path, file));

    {
        Box box;
        const Run run = run_tool(on(box, {"update", path}));
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains("malformed package: " + reason.toUtf8()), run.err.constData());
        QVERIFY2(run.err.contains("nothing sent"), run.err.constData());
        settle(box);
        QCOMPARE(box.received(), Bytes{});
    }
    {
        Box box;
        const Run run = run_tool(on(box, {"--force", "update", path}));
        QCOMPARE(run.code, forced_code);
        QVERIFY2(run.err.contains("malformed package: " + reason.toUtf8()), run.err.constData());
        settle(box);
        const Bytes received = box.received();
        const QByteArray got(reinterpret_cast<const char *>(received.data()), int(received.size()));
        QVERIFY2(got.startsWith(forced_start), qPrintable(got.left(forced_start.size() + 8).toHex(' ')));
        QVERIFY(box.received_header());
        QVERIFY(std::memcmp(box.received_header()->data(), forced_start.constData() + 2, 4) == 0);
    }
}

void TstVr20Box::interrupted_update_data()
{
    QTest::addColumn<int>("signal_number");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// Stopped amid a block: it ends at once with 130, says what state the box
// is left in, sends nothing more, and leaves the port to the next program.
void TstVr20Box::interrupted_update()
{
    QFETCH(int, signal_number);
    QTemporaryDir dir;
    const TestPackage package = make_package(3);
    const QString path = dir.filePath("pkg.bin");
    QVERIFY(write_file(path, package.file_bytes()));
    Box box;

    QProcess p;
    p.start(tool_path, on(box, {"update", path}));
    QVERIFY(p.waitForStarted(10000));
    QVERIFY(box.peer().wait_received(200, milliseconds(20000)));
    QElapsedTimer clock;
    clock.start();
    if (signal_number == SIGTERM)
        p.terminate();
    else
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
    const bool ended = p.waitForFinished(5000);
    const qint64 stop_ms = clock.elapsed();
    if (!ended) {
        p.kill();
        p.waitForFinished();
    }
    QVERIFY(ended);
    // At once: a loaded machine under the sanitizers may take a while to exit.
    QVERIFY2(stop_ms < 5000, qPrintable(QString::number(stop_ms)));
    // A byte written just before the end may still be on its way in.
    settle(box);
    const std::size_t sent = box.received().size();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.contains(QByteArray("stopped by signal ") + QByteArray::number(signal_number)),
             err.constData());
    QVERIFY2(err.contains("The box may still be in its bootloader"), err.constData());
    QVERIFY(sent < package.clean_session().size());

    // The box restarted, as the message asks: the next program opens the
    // port and talks to it.
    settle(box);
    box.reset();
    const std::size_t before = box.received().size();
    const Run next = run_tool(on(box, {"limits", "get"}));
    QCOMPARE(next.code, 0);
    QCOMPARE(next.out, QByteArray("WEST -1000\nEAST 1000\n"));
    const Bytes received = box.received();
    QCOMPARE(Bytes(received.begin() + std::ptrdiff_t(before), received.end()), (Bytes{'b', 1, 2, 3, 4}));
}

// ---- satellite list ----

// The one full read: the CSV holds the box's records as the window saves them.
void TstVr20Box::list_read_to_file()
{
    Box box;
    box.set_record(1, boxsim::box_record("T\xC3\xBCrksat 4A", -200, 5, -7));
    box.set_record(50, boxsim::box_record("Empty slot", 0, 0, 0));
    box.set_record(120, boxsim::box_record("", 0, 0, 0));
    box.set_record(199, boxsim::box_record("ABCDEFGHIJKLMNOP", 4999, -90, 90));
    QTemporaryDir dir;
    const QString path = dir.filePath("list.csv");
    QVERIFY(write_file(path, QByteArray(9000, 'Z'))); // longer than the list: replaced whole

    const Run run = run_tool(on(box, {"list", "read", path}), {}, 120000);
    QCOMPARE(run.code, 0);
    QVERIFY(run.out.isEmpty());

    QByteArray expected;
    for (int k = 1; k <= sat_count; ++k) {
        const boxsim::Record r = box.record(k);
        SatRecord rec;
        std::memcpy(rec.bytes, r.data(), sat_record_size);
        expected += format_csv_line(record_to_row(rec, EmptySlot::blank)).toLocal8Bit();
    }
    const QByteArray written = read_file(path);
    QCOMPARE(written, expected);
    const QList<QByteArray> lines = written.split('\n');
    QCOMPARE(lines.size(), sat_count + 1);
    QCOMPARE(lines[0], QString::fromUtf8("T\xC3\xBCrksat 4A,-200,5,-7,").toLocal8Bit());
    QCOMPARE(lines[1], QByteArray("Sat 2,20,2,-14,"));
    QCOMPARE(lines[49], QByteArray("Empty slot,,,,"));
    QCOMPARE(lines[119], QByteArray(",,,,"));
    QCOMPARE(lines[198], QByteArray("ABCDEFGHIJKLMNOP,4999,-90,90,"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"list.csv"});

    Bytes session;
    for (int k = 1; k <= sat_count; ++k) {
        session.push_back('H');
        session.push_back(uint8_t(k));
        session.insert(session.end(), sat_record_size, 0xCC);
    }
    // The last 0xCC too: it goes out just before the port is closed.
    QCOMPARE(first_difference(box.received(), session), QString());

    // Progress without a terminal: whole lines, the last at the end.
    QVERIFY(!run.err.contains('\r'));
    QVERIFY(!run.err.contains('\x1b'));
    const QList<QByteArray> progress = lines_starting(run.err, "list read: ");
    QVERIFY(!progress.isEmpty());
    QVERIFY2(progress.last().startsWith("list read: satellite 199 of 199, 100%"),
             progress.last().constData());
}

void TstVr20Box::failed_read_leaves_output_data()
{
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<int>("minus_17_at"); // a satellite whose vertical is -17 (the byte 0xEF); 0: none
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("to_stdout");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("said");

    const Faults hang_up{Fault::hang_up(Trigger::list_read_byte(3, 7))};
    QTest::newRow("hang-up, to a file")
        << hang_up << 0 << QStringList{} << false << 6 << transfer_error_text.toUtf8();
    QTest::newRow("hang-up, to stdout")
        << hang_up << 0 << QStringList{} << true << 6 << transfer_error_text.toUtf8();
    QTest::newRow("silent, --timeout 800, to a file")
        << Faults{Fault::silence(Trigger::list_read_byte(2, 4))} << 0 << QStringList{"--timeout", "800"}
        << false << 4 << QByteArray("said nothing for 800 ms");
    QTest::newRow("a record the box cannot send back")
        << Faults{} << 4 << QStringList{} << false << 6 << QByteArray("error for satellite 4,");
}

// A read that fails writes nothing: an earlier file keeps its bytes.
void TstVr20Box::failed_read_leaves_output()
{
    QFETCH(Faults, faults);
    QFETCH(int, minus_17_at);
    QFETCH(QStringList, options);
    QFETCH(bool, to_stdout);
    QFETCH(int, code);
    QFETCH(QByteArray, said);
    Box box;
    for (const Fault &f : faults)
        box.add_fault(f);
    if (minus_17_at > 0)
        box.set_record(minus_17_at, boxsim::box_record("Minus 17", 0, -17, 0));
    QTemporaryDir dir;
    const QString path = dir.filePath("old.csv");
    const QByteArray old = "old,1,2,3,\n";
    QVERIFY(write_file(path, old));

    const Run run
        = run_tool(on(box, options + QStringList{"list", "read", to_stdout ? "-" : path}), {}, 30000);
    QCOMPARE(run.code, code);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(read_file(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"old.csv"});
    QVERIFY2(run.err.contains(said), run.err.constData());
}

// The one full write, from standard input, of a Windows-1252 file with a
// line that is no satellite row (--force); the cells it alters are named.
void TstVr20Box::list_write_from_stdin()
{
    Box box;
    QMap<int, QByteArray> lines = altered_cells;
    lines[11] = "Sat 11;77;1;1\n";
    lines[12] = csv_line("T\xFCrksat 42E", "420", "1", "2");
    const QByteArray csv = csv_text(lines);

    const Run run = run_tool(on(box, {"--force", "list", "write", "-"}), csv, 90000);
    QCOMPARE(run.code, 0);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.contains("Satellite data write successfully!"), run.err.constData());
    QCOMPARE(box.completed(Conversation::list_write), 1);
    const std::vector<SatRecord> expected = records_sent_for(csv);
    QCOMPARE(int(expected.size()), sat_count);
    const auto written = box.written_records();
    QCOMPARE(int(written.size()), sat_count);
    for (int k = 1; k <= sat_count; ++k) {
        const auto got = box.written_record(k);
        QVERIFY2(got, qPrintable(QString::number(k)));
        QVERIFY2(std::memcmp(got->data(), expected[size_t(k - 1)].bytes, sat_record_size) == 0,
                 qPrintable(QString("satellite %1").arg(k)));
    }
    // The altered cells, as the box got them.
    QCOMPARE(int(boxsim::decode_tool_record(*box.written_record(5)).position), 0);
    QCOMPARE(int(boxsim::decode_tool_record(*box.written_record(7)).vertical), 45);
    QCOMPARE(boxsim::decode_tool_record(*box.written_record(9)).name, std::string("ABCDEFGHIJKLMNO"));
    QCOMPARE(boxsim::decode_tool_record(*box.written_record(8)).name, std::string("Sat 8"));
    QCOMPARE(boxsim::decode_tool_record(*box.written_record(11)).name, std::string());
    QCOMPARE(boxsim::decode_tool_record(*box.written_record(12)).name, std::string("T\xC3\xBCrksat 42E"));
    QVERIFY2(run.err.contains("1 line is not a satellite row and was skipped:\n  line 11: \"Sat 11;77;1;1\""),
             run.err.constData());

    // Each altered cell named with its row and column, and no other.
    const QList<QByteArray> reports = lines_starting(run.err, "vr20-box: row ");
    QVERIFY2(run.err.contains("vr20-box: row 5, position: \"5001\" is sent as \"0\""), run.err.constData());
    QVERIFY2(run.err.contains("vr20-box: row 7, vertical: \"91\" is sent as \"45\""), run.err.constData());
    QVERIFY2(run.err.contains("vr20-box: row 9, name: \"ABCDEFGHIJKLMNOPQ\""), run.err.constData());
    QCOMPARE(reports.size(), 3);
}

void TstVr20Box::list_write_refused_data()
{
    QTest::addColumn<QByteArray>("csv"); // empty: no file
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("err");
    QTest::addColumn<bool>("nothing_sent");

    QTest::newRow("--strict, altered numbers")
        << csv_text({{5, altered_cells[5]}, {7, altered_cells[7]}}) << QStringList{"--strict"}
        << Faults{hang_up_on_any_write()} << 1
        << QStringList{"row 5, position", "row 7, vertical",
                       "2 cells would be altered or could not be read back; nothing sent (--strict)"}
        << true;
    // The CSV's 17-byte name reaches the box as 15 bytes.
    QTest::newRow("--strict, a name longer than 15 bytes")
        << csv_text({{9, altered_cells[9]}}) << QStringList{"--strict"} << Faults{hang_up_on_any_write()} << 1
        << QStringList{"row 9, name", "nothing sent (--strict)"} << true;
    QTest::newRow("no such file") << QByteArray() << QStringList{} << Faults{} << 1
                                  << QStringList{"cannot read"} << true;
    QTest::newRow("a line that is no satellite row")
        << csv_text({{5, "Sat 5;1;2;3\n"}}) << QStringList{} << Faults{hang_up_on_any_write()} << 1
        << QStringList{"line 5: \"Sat 5;1;2;3\"", "nothing sent", "--force"} << true;
    QByteArray semicolons = csv_text();
    semicolons.replace(',', ';');
    QTest::newRow("semicolons, --force: no satellite line, nothing sent")
        << semicolons << QStringList{"--force"} << Faults{hang_up_on_any_write()} << 1
        << QStringList{"199 lines are not satellite rows", "and 194 more",
                       "separates its fields by semicolons", "Nothing sent."}
        << true;
    QTest::newRow("--strict, a number that is no integer")
        << csv_text({{3, csv_line("Sat 3", "12.5", "1", "1")}}) << QStringList{"--strict"}
        << Faults{hang_up_on_any_write()} << 1
        << QStringList{"line 3, position \"12.5\" reads as 1185",
                       "1 number fields do not read as they show; nothing sent (--strict)"}
        << true;
    QTest::newRow("X mid-write") << csv_text() << QStringList{}
                                 << Faults{Fault::instead(Trigger::list_write_record(2), {'X'})} << 6
                                 << QStringList{transfer_error_text} << false;
    QTest::newRow("hang-up mid-write")
        << csv_text() << QStringList{} << Faults{Fault::hang_up(Trigger::list_write_record(3, 4))} << 6
        << QStringList{transfer_error_text} << false;
}

void TstVr20Box::list_write_refused()
{
    QFETCH(QByteArray, csv);
    QFETCH(QStringList, options);
    QFETCH(Faults, faults);
    QFETCH(int, code);
    QFETCH(QStringList, err);
    QFETCH(bool, nothing_sent);
    Box box;
    for (const Fault &f : faults)
        box.add_fault(f);
    QTemporaryDir dir;
    const QString path = dir.filePath("list.csv");
    if (!csv.isEmpty())
        QVERIFY(write_file(path, csv));

    const Run run = run_tool(on(box, options + QStringList{"list", "write", path}), {}, 30000);
    QCOMPARE(run.code, code);
    for (const QString &text : err)
        QVERIFY2(run.err.contains(text.toUtf8()), run.err.constData());
    settle(box);
    if (nothing_sent) {
        QCOMPARE(box.received(), Bytes{});
    } else {
        QVERIFY(!box.received().empty());
        QCOMPARE(box.completed(Conversation::list_write), 0);
    }
}

// ---- what it says on a pipe ----

void TstVr20Box::output_without_terminal_data()
{
    QTest::addColumn<QStringList>("args"); // PACKAGE stands for a 3-block package
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<QByteArray>("out");

    QTest::newRow("update") << QStringList{"update", "PACKAGE"} << false << QByteArray();
    QTest::newRow("update, --quiet") << QStringList{"--quiet", "update", "PACKAGE"} << true << QByteArray();
    QTest::newRow("limits set, --quiet")
        << QStringList{"--quiet", "limits", "set", "-20", "30"} << true << QByteArray();
    QTest::newRow("limits get, --quiet")
        << QStringList{"--quiet", "limits", "get"} << true << QByteArray("WEST -1000\nEAST 1000\n");
}

// Standard error here is a pipe: whole lines, no carriage returns or escape
// sequences; one progress line per block; nothing at all with --quiet.
void TstVr20Box::output_without_terminal()
{
    QFETCH(QStringList, args);
    QFETCH(bool, quiet);
    QFETCH(QByteArray, out);
    QTemporaryDir dir;
    const int blocks = 3;
    const QString path = dir.filePath("pkg.bin");
    QVERIFY(write_file(path, make_package(blocks).file_bytes()));
    args.replaceInStrings(QRegularExpression("^PACKAGE$"), path);
    Box box;

    const Run run = run_tool(on(box, args));
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, out);
    if (quiet) {
        QCOMPARE(run.err, QByteArray());
        return;
    }
    QVERIFY(!run.err.contains('\r'));
    QVERIFY(!run.err.contains('\x1b'));
    QVERIFY(run.err.endsWith('\n'));
    const QList<QByteArray> progress = lines_starting(run.err, "update: ");
    // A line as each block starts; a closing line at 100% may follow.
    QVERIFY2(progress.size() == blocks || progress.size() == blocks + 1, run.err.constData());
    for (int b = 0; b < blocks; ++b)
        QVERIFY2(progress[b].startsWith(QString("update: block %1 of %2,").arg(b + 1).arg(blocks).toUtf8()),
                 progress[b].constData());
    if (progress.size() > blocks)
        QVERIFY2(progress.last().contains(", 100%, "), progress.last().constData());
}

QTEST_GUILESS_MAIN(TstVr20Box)
#include "tst_vr20_box.moc"
