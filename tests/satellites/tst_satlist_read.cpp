// Reading the satellite list from the simulated box, end to end through the
// window, the worker and QSerialPort; and writing back what was read.
#include "satlist_fixture.h"

#include "list_read.h"

using boxsim::Bytes;
using boxsim::Fault;
using boxsim::Trigger;
using namespace satlist;

namespace {

constexpr uint8_t H = 'H';
constexpr uint8_t ack = 0xCC;

// The tool's bytes for satellite k read without trouble, or for its first
// `acks` record bytes.
Bytes satellite_bytes(int k, int acks = 20)
{
    Bytes b{H, static_cast<uint8_t>(k)};
    b.insert(b.end(), static_cast<size_t>(acks), ack);
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

QStringList default_shown(int k)
{
    return shown("Sat " + std::to_string(k), 10 * k, k % 90, k % 33 - 16);
}

// The times of the tool's bytes, in order.
std::vector<boxsim::Clock::time_point> tool_byte_times(const boxsim::Box &box)
{
    std::vector<boxsim::Clock::time_point> times;
    for (const auto &b : box.log())
        if (!b.from_box)
            times.push_back(b.when);
    return times;
}

long long ms_between(boxsim::Clock::time_point a, boxsim::Clock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

} // namespace

class TstSatlistRead : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    // Also: stray bytes after each record and after the end change nothing.
    void full_read_then_write_back()
    {
        ListRig r;
        QVERIFY(r.attached);
        struct Fields {
            std::string name;
            int position, vertical, horizontal;
        };
        std::vector<Fields> sats_in_box;
        for (int k = 1; k <= sats; ++k)
            sats_in_box.push_back({"Sat " + std::to_string(k), 10 * k, k % 90, k % 33 - 16});
        sats_in_box[0] = {"T\xC3\xBCrksat 4A", -200, 5, -7};
        sats_in_box[49] = {"Empty slot", 0, 0, 0};
        sats_in_box[198] = {"ABCDEFGHIJKLMNOP", 4999, -90, 90};
        for (int k = 1; k <= sats; ++k) {
            const Fields &f = sats_in_box[size_t(k - 1)];
            r.box.set_record(
                k, boxsim::box_record(f.name, int16_t(f.position), int8_t(f.vertical), int8_t(f.horizontal)));
        }
        set_row(r.window, 120, {"old", "1", "2", "3"});
        // A box that sends one byte more: an 'I' right after every record
        // (the 199th included) and an 'M' right after the write's 200.
        Fault stray_read
            = Fault::stray(boxsim::Trigger::list_read_record_end(0), {'I'}, std::chrono::milliseconds(0));
        stray_read.times = 0;
        r.box.add_fault(stray_read);
        r.box.add_fault(Fault::stray(boxsim::Trigger::list_write_end(), {'M'}, std::chrono::milliseconds(0)));

        r.window.ui.pushButton_sat_read->click();
        QVERIFY(sat_buttons_disabled(r.window));
        QCOMPARE(r.wait_end(list_read_end_ms), QString("Satellite data read successfully!"));
        QCOMPARE(r.end_title(), QString("Info"));

        QCOMPARE(row_texts(r.window, 0),
                 (QStringList{QString::fromUtf8("T\xC3\xBCrksat 4A"), "-200", "5", "-7"}));
        QCOMPARE(row_texts(r.window, 49), (QStringList{"Empty slot", " ", " ", " "}));
        for (int k = 1; k <= sats; ++k) {
            const Fields &f = sats_in_box[size_t(k - 1)];
            QCOMPARE(row_texts(r.window, k - 1), shown(f.name, f.position, f.vertical, f.horizontal));
        }
        QCOMPARE(r.window.ui.progressBar_sat_setting->value(), 100);
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(!harness::worker(r.window).port_is_open());

        Bytes expected;
        for (int k = 1; k <= sats; ++k)
            expected = concat({expected, satellite_bytes(k)});
        QCOMPARE(r.box.received(), expected);
        // 200 ms between the last acknowledgement and the next request (the
        // median: the box's time stamps are late now and then under load).
        const auto times = tool_byte_times(r.box);
        std::vector<long long> pauses;
        for (int k = 2; k <= sats; ++k) {
            const size_t request = static_cast<size_t>(22 * (k - 1));
            pauses.push_back(ms_between(times[request - 1], times[request]));
        }
        std::sort(pauses.begin(), pauses.end());
        QVERIFY(pauses[pauses.size() / 2] >= 199);
        QTest::qWait(harness::past_queued_ms);
        QCOMPARE(r.driver.boxes().size(), 1);

        // The read's backup: what "Save to file" writes, byte for byte.
        const QStringList read_backups = r.backups("-read.csv");
        QCOMPARE(read_backups.size(), 1);
        const QString saved = r.dir.filePath("read.csv");
        r.choose(r.window.ui.pushButton_sat_save_file, saved);
        QCOMPARE(read_file(read_backups[0]), read_file(saved));
        // Marked as the box filled the table: the 16-byte name alone.
        for (int row = 0; row < sats; ++row)
            for (int col = 0; col < sat_columns; ++col)
                QCOMPARE(cell_marked(*r.window.ui.sat_setting->item(row, col)), row == 198 && col == 0);

        // Saving to the box what was read sends the same satellites; only a
        // name of 16 bytes loses its last one, as the question says first.
        r.driver.clear();
        r.driver.queue_answer("Write");
        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(list_write_end_ms), QString("Satellite data write successfully!"));
        QCOMPARE(r.end_title(), QString("Hint"));
        QCOMPARE(r.driver.boxes().size(), 2);
        QCOMPARE(r.driver.boxes().constFirst().text,
                 QString("The box will not get 1 row as the table shows it:\n\n"
                         "Row 199 gets name \"ABCDEFGHIJKLMNO\"\n\nWrite the list anyway?"));
        for (int k = 1; k <= sats; ++k) {
            const auto written = r.box.written_record(k);
            QVERIFY2(written, qPrintable(QString::number(k)));
            const boxsim::ToolRecordFields got = boxsim::decode_tool_record(*written);
            const Fields &f = sats_in_box[size_t(k - 1)];
            QCOMPARE(QString::fromStdString(got.name), QString::fromStdString(f.name.substr(0, 15)));
            QCOMPARE(int(got.position), f.position);
            QCOMPARE(int(got.vertical), f.vertical);
            QCOMPARE(int(got.horizontal), f.horizontal);
        }
        QByteArray log = "K";
        for (int k = 1; k <= sats; ++k)
            log += "ML";
        log += "M";
        QCOMPARE(r.log().size(), 400);
        QCOMPARE(r.log(), log);

        // The write's backup, read back as "Read from file" reads it, gives
        // the records the box received: restoring it writes the same list.
        const QStringList write_backups = r.backups("-write.csv");
        QCOMPARE(write_backups.size(), 1);
        QFile backup(write_backups[0]);
        QVERIFY(backup.open(QIODevice::ReadOnly));
        QByteArray line;
        for (int k = 1; k <= sats; ++k) {
            QVERIFY(read_csv_line(backup, &line));
            const SatRecord restored = row_to_record(parse_csv_line(line).cells());
            const auto received = r.box.written_record(k);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(restored.bytes), sat_record_size).toHex(' '),
                     QByteArray(reinterpret_cast<const char *>(received->data()), int(received->size()))
                         .toHex(' '));
        }
        QVERIFY(!read_csv_line(backup, &line));
        QCOMPARE(r.backups("-read.csv"), read_backups);
    }

    // Reading the box with unsaved edits asks first: Cancel leaves the port
    // unopened and the box without a byte; Discard reads.
    void reading_the_box_with_unsaved_edits()
    {
        ListRig r;
        QVERIFY(r.attached);
        QVERIFY(type_cell(r.window, 2, 0, "Edited"));
        harness::OpenCounter opens(QString::fromStdString(r.box.slave_path()));
        r.press_answering(r.window.ui.pushButton_sat_read, "Cancel");
        QCOMPARE(r.driver.boxes().size(), 1);
        QCOMPARE(r.driver.boxes().constFirst().title, QString("Unsaved edits"));
        QVERIFY(r.box.received().empty());
        QCOMPARE(opens.opens(), 0);
        QCOMPARE(row_texts(r.window, 2).constFirst(), QString("Edited"));

        // The box hangs up amid satellite 2: row 3 keeps its edit, and the
        // failed read leaves no backup.
        r.box.add_fault(Fault::hang_up(Trigger::list_read_byte(2, 3)));
        r.driver.clear();
        r.driver.queue_answer("Discard");
        r.window.ui.pushButton_sat_read->click();
        QCOMPARE(r.wait_end(list_read_end_ms), QString(read_error));
        QCOMPARE(r.driver.boxes().size(), 2);
        QCOMPARE(r.box.received(), concat({satellite_bytes(1), satellite_bytes(2, 3)}));
        QCOMPARE(row_texts(r.window, 0), default_shown(1));
        QVERIFY(r.backups("-read.csv").isEmpty());
        r.driver.clear();
        r.press_answering(r.window.ui.pushButton_sat_read, "Cancel");
        QCOMPARE(r.driver.texts().size(), 1);
    }

    void error_byte_restarts_then_hang_up()
    {
        ListRig r;
        QVERIFY(r.attached);
        // 0xEF instead of 'I' after the first request, then 0xEF where record
        // byte 7 of satellite 2 belongs, then the box hangs up amid satellite 4.
        r.box.add_fault(Fault::end(Trigger::nth_byte(boxsim::Conversation::list_read, 1), {0xEF}));
        r.box.add_fault(Fault::instead(Trigger::list_read_byte(2, 7), {0xEF}));
        r.box.add_fault(Fault::hang_up(Trigger::list_read_byte(4, 10)));
        for (int row : {3, 4, 198})
            set_row(r.window, row, {"kept", "1", "2", "3"});

        r.window.ui.pushButton_sat_read->click();
        QCOMPARE(r.wait_end(list_read_end_ms), QString(read_error));
        QCOMPARE(r.end_title(), QString("Error"));

        const Bytes expected = concat({{H},
                                       satellite_bytes(1),
                                       satellite_bytes(2, 7),
                                       satellite_bytes(2),
                                       satellite_bytes(3),
                                       satellite_bytes(4, 10)});
        QCOMPARE(r.box.received(), expected);
        for (int k = 1; k <= 3; ++k)
            QCOMPARE(row_texts(r.window, k - 1), default_shown(k));
        for (int row : {3, 4, 198})
            QCOMPARE(row_texts(r.window, row), (QStringList{"kept", "1", "2", "3"}));
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(!harness::worker(r.window).port_is_open());
        QTest::qWait(harness::past_watchdog_ms); // no watchdog after the end
        QCOMPARE(r.driver.boxes().size(), 1);
    }

    // Vertical -17 is the byte 0xEF, which the box also sends as its error:
    // the read restarts satellite 3 a few times, then ends naming it, with
    // the rows before it shown and the port free for the next exchange.
    void record_holding_error_byte_ends_read()
    {
        ListRig r;
        QVERIFY(r.attached);
        r.box.set_record(3, boxsim::box_record("Minus 17", 30, -17, 4));
        set_row(r.window, 2, {"kept", "1", "2", "3"});

        r.window.ui.pushButton_sat_read->click();
        const QString text = r.wait_end(list_read_end_ms);
        QVERIFY2(text.startsWith("The box keeps reporting an error for satellite 3,"), qPrintable(text));
        QCOMPARE(r.end_title(), QString("Error"));
        Bytes expected = concat({satellite_bytes(1), satellite_bytes(2)});
        for (int i = 0; i <= protocol::ListRead::max_restarts_in_row; ++i)
            expected = concat({expected, satellite_bytes(3, 19)});
        QCOMPARE(r.box.received(), expected);
        QCOMPARE(row_texts(r.window, 1), default_shown(2));
        QCOMPARE(row_texts(r.window, 2), (QStringList{"kept", "1", "2", "3"}));
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(!harness::worker(r.window).port_is_open());

        // The box takes a command amid a record only after a quiet.
        QVERIFY(r.box.wait_idle(std::chrono::milliseconds(1100), std::chrono::milliseconds(5000)));
        r.window.ui.pushButton_get_lmt->click();
        QTRY_COMPARE(r.window.ui.lineEdit_est_lmt->text(), QString("1000"));
    }

    void silence_resends_request()
    {
        ListRig r;
        QVERIFY(r.attached);
        // The first request goes unheard; later an acknowledgement amid
        // satellite 2. Each time 'H' follows 2000 ms later. The box takes the
        // 'H' amid the record as a new request and answers 'I': satellite 2
        // is asked for again and its row comes from the 20 new bytes alone.
        r.box.add_fault(Fault::silence(Trigger::nth_byte(boxsim::Conversation::list_read, 1),
                                       std::chrono::milliseconds(1000)));
        r.box.add_fault(Fault::silence(Trigger::list_read_byte(2, 5), std::chrono::milliseconds(1000)));
        r.box.add_fault(Fault::hang_up(Trigger::list_read_byte(3, 0)));

        r.window.ui.pushButton_sat_read->click();
        QCOMPARE(r.wait_end(list_read_end_ms), QString(read_error));

        const Bytes expected = concat(
            {{H}, satellite_bytes(1), satellite_bytes(2, 5), satellite_bytes(2), satellite_bytes(3, 0)});
        QCOMPARE(r.box.received(), expected);
        const auto times = tool_byte_times(r.box);
        // After the watchdog's 2000 ms, not at once (time stamps of a loaded
        // machine are rough).
        QVERIFY(ms_between(times[0], times[1]) >= 1500);
        const size_t resent = 1 + 22 + 7; // the 'H' after the unanswered acknowledgement
        QCOMPARE(expected[resent], H);
        QVERIFY(ms_between(times[resent - 1], times[resent]) >= 1500);
        QCOMPARE(row_texts(r.window, 0), default_shown(1));
        QCOMPARE(row_texts(r.window, 1), default_shown(2));
    }

    void no_port()
    {
        ListRig r;
        harness::worker(r.window).release_port();
        r.window.ui.pushButton_sat_read->click();
        QCOMPARE(r.wait_end(harness::patience_ms),
                 QString("The serial port is occupied or not exist, please try another port."));
        QCOMPARE(r.end_title(), QString("Warning"));
        QVERIFY(sat_buttons_enabled(r.window));
        r.driver.clear();
        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(harness::patience_ms),
                 QString("The serial port is occupied or not exist, please try another port."));
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(r.box.received().empty());
    }
};

QTEST_MAIN(TstSatlistRead)
#include "tst_satlist_read.moc"
