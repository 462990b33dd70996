// Writing the satellite list to the simulated box, end to end through the
// window, the worker and QSerialPort, checked record by record on the box's
// side and in data_transfer.log.
#include "satlist_fixture.h"

#include <QTimer>

#include <cstring>

using boxsim::Fault;
using boxsim::Trigger;
using namespace satlist;

Q_DECLARE_METATYPE(boxsim::Fault)

namespace {

// A record as the box must receive it, written out byte by byte: 16 name
// bytes, position low then high, horizontal, vertical.
QByteArray wire(const char *name, uint8_t pos_lo, uint8_t pos_hi, uint8_t horizontal, uint8_t vertical)
{
    QByteArray r(20, '\0');
    std::memcpy(r.data(), name, std::strlen(name));
    r[16] = char(pos_lo);
    r[17] = char(pos_hi);
    r[18] = char(horizontal);
    r[19] = char(vertical);
    return r.toHex(' ');
}

QByteArray written(const boxsim::Box &box, int k)
{
    const auto rec = box.written_record(k);
    if (!rec)
        return "none";
    return QByteArray(reinterpret_cast<const char *>(rec->data()), int(rec->size())).toHex(' ');
}

QByteArray undisturbed_log(int from, int to)
{
    QByteArray log;
    for (int k = from; k <= to; ++k)
        log += "ML";
    return log;
}

} // namespace

class TstSatlistWrite : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    void full_write_record_by_record()
    {
        ListRig r;
        QVERIFY(r.attached);
        // An earlier, longer log is emptied.
        QFile old(r.dir.filePath("data_transfer.log"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(1000, 'x'));
        old.close();

        const QString unicode = QString::fromUtf8("\xC3\x9Cn\xC3\xAF"
                                                  "c\xC3\xB6"
                                                  "d\xC3\xA9 name");
        set_row(r.window, 0, {"Sat 1", "192", "45", "-45"});
        set_row(r.window, 2, {"ABCDEFGHIJKLMNOPQR", "5001", "91", "91"});
        set_row(r.window, 4, {unicode, "-30000", "200", "300"});
        set_row(r.window, 6, {"Free", " ", " ", " "});
        set_row(r.window, 198, {"Last", "-1", "-1", "1"});

        r.driver.queue_answer("Write");
        r.window.ui.pushButton_sat_save->click();
        QVERIFY(sat_buttons_disabled(r.window));
        QCOMPARE(r.wait_end(list_write_end_ms), QString("Satellite data write successfully!"));
        QCOMPARE(r.end_title(), QString("Hint"));

        // Asked first, about the two rows the write alters.
        QCOMPARE(r.driver.boxes().size(), 2);
        const harness::ShownBox question = r.driver.boxes().constFirst();
        QCOMPARE(question.title, QString("Save to device"));
        QCOMPARE(question.icon, QMessageBox::Question);
        QCOMPARE(question.button_texts, (QStringList{"Write", "Cancel"}));
        QCOMPARE(question.default_button, QMessageBox::Cancel);
        QCOMPARE(question.answer, QString("Write"));
        QCOMPARE(question.text,
                 QString("The box will not get 2 rows as the table shows them:\n\n"
                         "Row 3 gets name \"ABCDEFGHIJKLMNO\", position 0, vertical 45, horizontal -45\n"
                         "Row 5 gets name \"%1\", vertical -56, horizontal 44\n\n"
                         "Write the list anyway?")
                     .arg(unicode.left(11)));
        // Each altered cell, and why.
        QCOMPARE(question.detailed_text.count('\n') + 1, 7);
        QVERIFY(question.detailed_text.contains(
            "\nRow 3, position \"5001\": 5001 is above 5000: the box gets 0\n"));
        QCOMPARE(r.backups("-write.csv").size(), 1);

        QCOMPARE(written(r.box, 1), wire("Sat 1", 0xC0, 0x00, 0xD3, 0x2D));
        QCOMPARE(written(r.box, 3), wire("ABCDEFGHIJKLMNO", 0, 0, 0xD3, 0x2D));
        QCOMPARE(written(r.box, 5),
                 wire("\xC3\x9Cn\xC3\xAF"
                      "c\xC3\xB6"
                      "d\xC3\xA9 nam",
                      0xD0, 0x8A, 44, 0xC8));
        QCOMPARE(written(r.box, 7), wire("Free", 0, 0, 0, 0));
        for (int k = 2; k < sats; ++k)
            if (k % 2 == 0 || k > 7) // rows never touched
                QCOMPARE(written(r.box, k), wire("", 0, 0, 0, 0));
        QCOMPARE(written(r.box, 199), wire("Last", 0xFF, 0xFF, 1, 0xFF));

        // Each satellite once, in order, and 200 at the end.
        const auto order = r.box.written_records();
        QCOMPARE(int(order.size()), sats);
        for (int k = 1; k <= sats; ++k)
            QCOMPARE(order[size_t(k - 1)].first, k);
        QCOMPARE(int(r.box.received().back()), 200);

        QCOMPARE(r.log(), "K" + undisturbed_log(1, sats) + "M");
        QCOMPARE(r.window.ui.progressBar_sat_setting->value(), 100);
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(!harness::worker(r.window).port_is_open());
        // The table is only read.
        QCOMPARE(row_texts(r.window, 2), (QStringList{"ABCDEFGHIJKLMNOPQR", "5001", "91", "91"}));
    }

    void time_outs_resend()
    {
        ListRig r;
        QVERIFY(r.attached);
        for (int k = 1; k <= sats; ++k)
            set_row(r.window, k - 1, {QString("S%1").arg(k), QString::number(k), "1", "-1"});
        // Number 3 goes unheard: after 2000 ms the tool asks again and
        // answers the repeated 'M' with 3 again. Record 5 goes unheard: the
        // repeated 'L' gets record 5 again.
        r.box.add_fault(Fault::silence(Trigger::list_write_number(3), std::chrono::milliseconds(1000)));
        r.box.add_fault(Fault::silence(Trigger::list_write_record(5, 0), std::chrono::milliseconds(1000)));

        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(list_write_end_ms), QString("Satellite data write successfully!"));

        QCOMPARE(r.log(),
                 "K" + undisturbed_log(1, 2) + "MResendML" + undisturbed_log(4, 4) + "MLResendL"
                     + undisturbed_log(6, sats) + "M");
        const auto order = r.box.written_records();
        QCOMPARE(int(order.size()), sats);
        for (int k = 1; k <= sats; ++k) {
            QCOMPARE(order[size_t(k - 1)].first, k);
            const boxsim::ToolRecordFields f = boxsim::decode_tool_record(order[size_t(k - 1)].second);
            QCOMPARE(QString::fromStdString(f.name), QString("S%1").arg(k));
            QCOMPARE(int(f.position), k);
        }
        const boxsim::Bytes sent = r.box.received();
        QCOMPARE(std::count(sent.begin(), sent.end(), uint8_t(0xEF)), 2);
    }

    // The technician cannot edit while the write runs, and a change made to
    // the table some other way does not reach the box: it gets the rows the
    // backup holds, as they were when the write started.
    void cells_are_read_only_while_writing()
    {
        ListRig r;
        QVERIFY(r.attached);
        set_row(r.window, 4, {"Before", "1", "1", "1"});
        const size_t record5_started = 1 + 4 * 21 + 1 + 1; // 'J', records 1-4, number 5, its first byte
        QTimer edit;
        bool tried = false;
        bool editor_opened = true;
        QAbstractItemView::EditTriggers triggers_meanwhile = QAbstractItemView::AllEditTriggers;
        connect(&edit, &QTimer::timeout, this, [&] {
            if (!tried && r.box.received().size() >= record5_started) {
                tried = true;
                triggers_meanwhile = r.window.ui.sat_setting->editTriggers();
                editor_opened = type_cell(r.window, 4, 0, "Typed");
                set_row(r.window, 4, {"After", "2", "2", "2"});
            }
        });
        edit.start(5);
        const QAbstractItemView::EditTriggers triggers = r.window.ui.sat_setting->editTriggers();
        QVERIFY(triggers != QAbstractItemView::NoEditTriggers);

        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(list_write_end_ms), QString("Satellite data write successfully!"));
        QVERIFY(tried);
        QVERIFY(!editor_opened);
        QCOMPARE(triggers_meanwhile, QAbstractItemView::NoEditTriggers);
        QCOMPARE(written(r.box, 5), wire("Before", 1, 0, 1, 1));
        const QStringList backups = r.backups("-write.csv");
        QCOMPARE(backups.size(), 1);
        QCOMPARE(read_file(backups[0]).split('\n').at(4), QByteArray("Before,1,1,1,"));

        QCOMPARE(r.window.ui.sat_setting->editTriggers(), triggers);
        QVERIFY(type_cell(r.window, 4, 0, "Later"));
    }

    // The question is the first thing the write does: Cancel leaves the port
    // unopened and the box without a byte, with or without a port to use.
    void write_question_comes_before_the_port()
    {
        ListRig r;
        QVERIFY(r.attached);
        set_row(r.window, 9, {"Far", "6000", "1", "1"});
        harness::OpenCounter opens(QString::fromStdString(r.box.slave_path()));
        r.press_answering(r.window.ui.pushButton_sat_save, "Cancel");
        QCOMPARE(r.driver.boxes().size(), 1);
        QCOMPARE(r.driver.boxes().constFirst().answer, QString("Cancel"));
        QVERIFY(r.driver.boxes().constFirst().text.contains("\nRow 10 gets position 0\n"));
        QVERIFY(r.box.received().empty());
        QCOMPARE(opens.opens(), 0);
        QVERIFY(!harness::worker(r.window).port_is_open());
        QVERIFY(r.backups("-write.csv").isEmpty());
        QVERIFY(!QFile::exists(r.dir.filePath("data_transfer.log")));
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(r.window.ui.sat_setting->editTriggers() != QAbstractItemView::NoEditTriggers);

        harness::worker(r.window).release_port();
        r.driver.clear();
        r.press_answering(r.window.ui.pushButton_sat_save, "Cancel");
        QCOMPARE(r.driver.texts().size(), 1);

        r.driver.clear();
        r.driver.queue_answer("Write");
        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(harness::patience_ms),
                 QString("The serial port is occupied or not exist, please try another port."));
        QCOMPARE(r.driver.boxes().size(), 2);
        QCOMPARE(r.driver.boxes().constFirst().answer, QString("Write"));
        QVERIFY(r.backups("-write.csv").isEmpty());
        QVERIFY(r.box.received().empty());
    }

    void a_backup_that_fails_is_told_after_the_write()
    {
        ListRig r;
        QVERIFY(r.attached);
        QVERIFY(QDir().mkpath(QFileInfo(backup_folder()).path()));
        QFile blocker(backup_folder()); // a file where the folder belongs
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        r.box.add_fault(Fault::hang_up(Trigger::list_write_record(2, 10)));
        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(harness::patience_ms), QString(write_error));
        QVERIFY(r.driver.wait_for_boxes(2));
        QCOMPARE(r.driver.texts(), (QStringList{write_error, "The satellite list could not be backed up."}));
        // The write went on without its backup.
        QVERIFY(r.box.written_record(1));
        QCOMPARE(r.log(), QByteArray("KMLML"));
        QTest::qWait(harness::past_queued_ms);
        QCOMPARE(r.driver.boxes().size(), 2);
    }

    void error_ends_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QByteArray>("log");
        QTest::newRow("'K' after the start")
            << Fault::instead(Trigger::list_write_number(2), {'K'}) << QByteArray("KMLMK");
        QTest::newRow("'L' before the first 'M'")
            << Fault::instead(Trigger::nth_byte(boxsim::Conversation::list_write, 1), {'L'})
            << QByteArray("L");
        QTest::newRow("other byte") << Fault::instead(Trigger::list_write_record(1), {'X'})
                                    << QByteArray("KMLX");
        QTest::newRow("hang-up") << Fault::hang_up(Trigger::list_write_record(2, 10)) << QByteArray("KMLML");
    }

    void error_ends()
    {
        QFETCH(Fault, fault);
        QFETCH(QByteArray, log);
        ListRig r;
        QVERIFY(r.attached);
        r.box.add_fault(fault);
        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(harness::patience_ms), QString(write_error));
        QCOMPARE(r.end_title(), QString("Error"));
        QCOMPARE(r.log(), log);
        QVERIFY(sat_buttons_enabled(r.window));
        QVERIFY(!harness::worker(r.window).port_is_open());
        QTest::qWait(harness::past_watchdog_ms); // nothing more: no watchdog, no second message
        QCOMPARE(r.driver.boxes().size(), 1);
        QCOMPARE(r.log(), log);
    }

    void silent_box_is_asked_again_and_each_write_has_its_own_log()
    {
        ListRig r;
        QVERIFY(r.attached);
        // 'J' goes unheard: the watchdog runs from 'J' on.
        r.box.add_fault(Fault::silence(Trigger::nth_byte(boxsim::Conversation::list_write, 1)));
        r.window.ui.pushButton_sat_save->click();
        QVERIFY(harness::ModalDriver::wait_until([&] { return r.box.received().size() >= 2; }));
        QCOMPARE(int(r.box.received()[1]), 0xEF);
        r.box.peer().hang_up();
        QCOMPARE(r.wait_end(harness::patience_ms), QString(write_error));
        QVERIFY(r.log().startsWith("Resend"));

        // The next write, on a new line to a new box, logs only itself.
        boxsim::Box second;
        QVERIFY(harness::attach_port(r.window, QString::fromStdString(second.slave_path())));
        second.add_fault(Fault::instead(Trigger::list_write_number(1), {'Z'}));
        r.driver.clear();
        r.window.ui.pushButton_sat_save->click();
        QCOMPARE(r.wait_end(harness::patience_ms), QString(write_error));
        QCOMPARE(r.log(), QByteArray("KMZ"));
    }
};

QTEST_MAIN(TstSatlistWrite)
#include "tst_satlist_write.moc"
