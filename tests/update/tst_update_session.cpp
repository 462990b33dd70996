// The bootloader update session end to end: the real window, worker and
// serial port against the simulated box on a pseudo-terminal.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <fstream>

#include "serial_port_handle.h"
#include "update_rig.h"

using boxsim::Box;
using boxsim::Bytes;
using boxsim::Conversation;
using boxsim::Fault;
using boxsim::Trigger;
using namespace update_test;

namespace {

QString count_text(int bytes)
{
    return QStringLiteral("Bootloader Started...%1Bytes Loaded").arg(bytes);
}

// Records what the label shows each time it is painted, with the count the
// window holds at that moment.
class PaintRecorder : public QObject
{
public:
    PaintRecorder(QLabel *label, velmora *window)
        : window(window)
    {
        label->installEventFilter(this);
        watched = label;
    }
    struct Shown {
        QString text;
        int count;
    };
    QList<Shown> paints;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        // Filters installed later run first: the window's own filter, set
        // when the session starts, has already brought the text up to date.
        if (object == watched && event->type() == QEvent::Paint)
            paints << Shown{watched->text(), bytes_counted(*window)};
        return false;
    }

private:
    velmora *window;
    QLabel *watched = nullptr;
};

void verify_session_over(velmora &window)
{
    QVERIFY(!session_running(window));
    QVERIFY(window.ui.pushButton_update_start->isEnabled());
    QVERIFY(!window.ui.pushButton_update_stop->isEnabled());
    QVERIFY(window.ui.pushButton_update_close->isEnabled());
    QVERIFY(!package_open(window));
    QVERIFY(!harness::worker(window).port_is_open());
}

} // namespace

class TstUpdateSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    void full_update_data()
    {
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("trailing");
        QTest::addColumn<int>("extra_p");
        QTest::addColumn<bool>("stray_after_verdict");
        QTest::newRow("three whole blocks") << 3 << 0 << 0 << false;
        QTest::newRow("trailing partial block never sent") << 2 << 300 << 0 << false;
        QTest::newRow("every P answered R") << 1 << 0 << 2 << false;
        QTest::newRow("requests after the verdict go unanswered") << 2 << 0 << 0 << true;
    }

    void full_update()
    {
        QFETCH(int, blocks);
        QFETCH(int, trailing);
        QFETCH(int, extra_p);
        QFETCH(bool, stray_after_verdict);
        UpdateRig r;
        QVERIFY(r.ready());
        r.box.set_extra_p(extra_p);
        if (stray_after_verdict)
            r.box.add_fault(Fault::stray(Trigger::update_block_start(blocks), Bytes{'Y', 'P', '^'},
                                         std::chrono::milliseconds(0)));
        const TestPackage package = make_package(blocks, trailing);
        r.load(r.write_package(package));
        QCOMPARE(r.window->ui.progressBar_update->maximum(), blocks);

        QProgressBar *progress = r.window->ui.progressBar_update;
        progress->reset();
        QList<int> values;
        connect(progress, &QProgressBar::valueChanged, progress, [&](int v) { values << v; });

        // A trailing piece is a fault: Start asks first, Cancel the default;
        // going on sends what the box got before the question existed.
        const int asked = trailing ? 1 : 0;
        if (asked)
            r.driver.queue_answer(QStringLiteral("Update"));
        r.press_start();
        QVERIFY(r.driver.wait_for_boxes(1 + asked));
        QVERIFY(r.wait_session_end());
        if (asked) {
            const harness::ShownBox question = r.driver.boxes().first();
            QCOMPARE(question.title, QStringLiteral("Warning"));
            QCOMPARE(question.default_button, QMessageBox::Cancel);
            QVERIFY2(question.text.contains(QStringLiteral("trailing piece of 300 bytes")),
                     qPrintable(question.text));
        }
        if (stray_after_verdict)
            QVERIFY(r.box.wait_idle(std::chrono::milliseconds(100),
                                    std::chrono::milliseconds(harness::patience_ms)));

        const harness::ShownBox box = r.driver.boxes().value(asked);
        QCOMPARE(box.title, QStringLiteral("Hint"));
        QCOMPARE(box.text, QStringLiteral("Update process completed."));
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(r.driver.boxes().size(), 1 + asked);

        // Every byte the tool put on the line, in order: the header as four
        // bytes after 'Q', each block's address high byte and its 544 bytes.
        QCOMPARE(first_difference(r.box.received(), package.clean_session(extra_p)), QString());
        const auto header = r.box.received_header();
        QVERIFY(header.has_value());
        QVERIFY(std::equal(header->begin(), header->end(), package.header.bytes));
        const auto received = r.box.received_blocks();
        QCOMPARE(int(received.size()), blocks);
        for (int b = 0; b < blocks; ++b) {
            QCOMPARE(received[b].address_high, package.blocks[b].bytes[0]);
            QVERIFY(
                std::equal(received[b].lines.begin(), received[b].lines.end(), package.blocks[b].bytes + 2));
        }

        QList<int> expected;
        for (int b = 0; b <= blocks; ++b)
            expected << b;
        QCOMPARE(values, expected);
        QCOMPARE(progress->maximum(), blocks);
        QCOMPARE(r.window->ui.label_update_status->text(), QStringLiteral("Update completed!"));
        verify_session_over(*r.window);
    }

    // Cancel, the default answer to a faulty package, leaves the box alone.
    void faulty_package_cancelled()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        TestPackage package = make_package(1);
        package.header.bytes[2] = 0; // no MCU of the box
        r.load(r.write_package(package));
        r.driver.queue_answer(QStringLiteral("Cancel"));
        r.press_start();
        QVERIFY(r.driver.wait_for_boxes(1));
        QVERIFY(r.driver.texts().first().contains(QStringLiteral("unknown MCU code 0x00")));
        QVERIFY(!session_running(*r.window));
        // Longer than the box takes to see an 'E'.
        constexpr int no_entry_wait_ms = 500;
        QTest::qWait(no_entry_wait_ms);
        QVERIFY(r.box.received().empty());
        QCOMPARE(r.driver.boxes().size(), 1);
    }

    // The label counts every data byte sent, repeated lines included, and
    // shows the exact count whenever it is painted.
    void label_counts_every_data_byte()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        const TestPackage package = make_package(2);
        r.box.add_fault(Fault::resend_line(Trigger::update_line(0, 3), 2));
        r.box.add_fault(Fault::resend_line(Trigger::update_line(1, 31), 1));
        r.box.set_final_verdict(']');
        r.load(r.write_package(package));
        PaintRecorder recorder(r.window->ui.label_update_status, r.window.get());
        // Paints from elsewhere too (an expose, another window moving away).
        QTimer poke;
        connect(&poke, &QTimer::timeout, &poke, [&] { r.window->update(); });
        poke.start(7);

        r.press_start();
        QVERIFY(r.wait_session_end());
        poke.stop();

        const int sent = 2 * int(block_line_bytes) + 3 * int(stored_line_bytes);
        QCOMPARE(r.window->ui.label_update_status->text(), count_text(sent));
        QCOMPARE(r.driver.texts(),
                 QStringList{QStringLiteral("Data write error, please restart box and PC software")});

        const QRegularExpression counted(QStringLiteral("^Bootloader Started\\.\\.\\.(\\d+)Bytes Loaded$"));
        int counted_paints = 0;
        for (const auto &paint : recorder.paints) {
            const auto match = counted.match(paint.text);
            if (!match.hasMatch())
                continue;
            ++counted_paints;
            QCOMPARE(match.captured(1).toInt(), paint.count);
        }
        QVERIFY(counted_paints > 0);
    }

    void resend_requests_data()
    {
        QTest::addColumn<int>("first_line_rejections");
        QTest::addColumn<bool>("ends");
        QTest::newRow("fifteen in a row honoured, T resets the count") << 15 << false;
        QTest::newRow("sixteenth in a row ends the session") << 16 << true;
    }

    void resend_requests()
    {
        QFETCH(int, first_line_rejections);
        QFETCH(bool, ends);
        UpdateRig r;
        QVERIFY(r.ready());
        const TestPackage package = make_package(1);
        r.box.add_fault(Fault::resend_line(Trigger::update_line(0, 0), first_line_rejections));
        // After the 'T' of line 0, fifteen more in a row for line 1.
        r.box.add_fault(Fault::resend_line(Trigger::update_line(0, 1), 15));
        r.load(r.write_package(package));

        r.press_start();
        QVERIFY(r.wait_session_end());
        verify_session_over(*r.window);

        const Bytes line0 = line_bytes(package.blocks[0], 0);
        const Bytes received = r.box.received();
        // 'E', 'R', header, 'a', address: then line 0, once per request.
        const std::size_t first_data = 2 + 4 + 2;
        if (ends) {
            QCOMPARE(r.driver.texts(),
                     QStringList{QStringLiteral("Data transfer error, please restart box and PC software")});
            QCOMPARE(r.driver.boxes().value(0).title, QStringLiteral("Warning"));
            QCOMPARE(r.box.lines_rejected(), 16);
            // Sixteen times line 0. The session is still connected while the
            // warning is open, so the box's next '^' may get an answer too.
            QVERIFY(received.size() >= first_data + 16 * stored_line_bytes);
            for (int n = 0; n < 16; ++n)
                QVERIFY(std::equal(line0.begin(), line0.end(),
                                   received.begin() + long(first_data + n * stored_line_bytes)));
        } else {
            QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Update process completed.")});
            QCOMPARE(r.box.lines_rejected(), 30);
            QCOMPARE(int(r.box.received_blocks().size()), 1);
            QCOMPARE(bytes_counted(*r.window), int(block_line_bytes) + 30 * int(stored_line_bytes));
        }
    }

    // After 'U', the next '^' sends the line from its first byte again, even
    // when the box asks in the middle of the line.
    void resend_request_mid_line_restarts_line()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        const TestPackage package = make_package(1);
        const Bytes line2 = line_bytes(package.blocks[0], 2);
        // The box takes 6 bytes, then the restarted line's first 11 as one
        // line: that mix must fail its check, so that the box asks again.
        unsigned mixed = 0;
        for (int i = 0; i < 6; ++i)
            mixed += line2[i];
        for (int i = 0; i < 11; ++i)
            mixed += line2[i];
        QVERIFY(mixed % 256 != 0);
        r.box.add_fault(Fault::instead(Trigger::update_line(0, 2, 5), Bytes{'U', '^'}));
        r.load(r.write_package(package));

        r.press_start();
        QVERIFY(r.wait_session_end());
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Update process completed.")});

        Bytes expected{'E', 'R'};
        for (const uint8_t b : package.header.bytes)
            expected.push_back(b);
        expected.push_back('a');
        expected.push_back(package.blocks[0].bytes[0]);
        for (int k = 0; k < 2; ++k) {
            const Bytes line = line_bytes(package.blocks[0], k);
            expected.insert(expected.end(), line.begin(), line.end());
        }
        expected.insert(expected.end(), line2.begin(), line2.begin() + 6);
        expected.insert(expected.end(), line2.begin(), line2.begin() + 11);
        expected.insert(expected.end(), line2.begin(), line2.end());
        for (int k = 3; k < int(block_lines); ++k) {
            const Bytes line = line_bytes(package.blocks[0], k);
            expected.insert(expected.end(), line.begin(), line.end());
        }
        expected.push_back('[');
        QCOMPARE(first_difference(r.box.received(), expected), QString());
    }

    // Silence after the header: only its last byte is sent again, after the
    // watchdog's 2000 ms, and the transfer log (when open) says so.
    void silence_after_header_resends_last_byte()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        const TestPackage package = make_package(1);
        r.box.add_fault(Fault::silence(Trigger::update_header(3), std::chrono::milliseconds{1000}));
        const QString log_path = r.dir.filePath(QStringLiteral("data_transfer.log"));
        std::fstream &log = transfer_log(*r.window);
        log.open(log_path.toStdString(), std::ios::out | std::ios::trunc);
        QVERIFY(log.is_open());
        r.load(r.write_package(package));

        r.press_start();
        QVERIFY(r.wait_session_end(30000));
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Update process completed.")});

        Bytes expected = package.clean_session();
        const auto fourth = expected.begin() + 2 + 4;
        expected.insert(fourth, *(fourth - 1));
        QCOMPARE(first_difference(r.box.received(), expected), QString());

        std::vector<boxsim::LoggedByte> sent;
        for (const auto &b : r.box.log())
            if (!b.from_box)
                sent.push_back(b);
        QVERIFY(sent.size() > 7);
        QVERIFY(sent[6].when - sent[5].when >= std::chrono::milliseconds{1950});

        log.close();
        QFile written(log_path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("Resended"));
    }

    void entry_failure_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("no answer to E") << true;
        QTest::newRow("wrong answer to E") << false;
    }

    void entry_failure()
    {
        QFETCH(bool, silent);
        UpdateRig r;
        QVERIFY(r.ready());
        const Trigger entry = Trigger::nth_byte(Conversation::update, 1);
        r.box.add_fault(silent ? Fault::silence(entry) : Fault::instead(entry, Bytes{'Q'}));
        r.load(r.write_package(make_package(1)));
        r.window->ui.label_update_status->clear();

        r.press_start();
        QCOMPARE(
            r.driver.texts(),
            QStringList{QStringLiteral(
                "Device has not been prepared, please re-connect cable and reboot the update software.")});
        QCOMPARE(r.driver.boxes().value(0).title, QStringLiteral("Warning"));
        QVERIFY(!session_running(*r.window));
        QVERIFY(!package_open(*r.window));
        QVERIFY(!harness::worker(*r.window).port_is_open());
        QVERIFY(r.window->ui.pushButton_update_start->isEnabled());
        QVERIFY(r.window->ui.pushButton_update_close->isEnabled());
        QVERIFY(r.window->ui.pushButton_update_stop->isEnabled());
        QCOMPARE(r.window->ui.label_update_status->text(), QStringLiteral("Getting into Bootloader Mode..."));
        QCOMPARE(first_difference(r.box.received(), Bytes{'E'}), QString());

        // The package is closed: a new start asks for one.
        r.driver.clear();
        r.press_start();
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Can not find BIN file")});
        QCOMPARE(first_difference(r.box.received(), Bytes{'E'}), QString());
    }

    void verdict_data()
    {
        QTest::addColumn<uchar>("verdict");
        QTest::addColumn<bool>("at_header");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("label");
        const QString cpu = QStringLiteral("BIN file CPU does not corresponding with device's CPU");
        const QString started = QStringLiteral("Bootloader Started...");
        // The verdicts mid-block come after 2 lines and 5 bytes of block 1.
        const QString mid_block = count_text(int(block_line_bytes) + 2 * int(stored_line_bytes) + 6);
        QTest::newRow("V: wrong CPU") << uchar('V') << true << "Warning" << cpu << started;
        QTest::newRow("Z: failed")
            << uchar('Z') << false << "Error"
            << "Update process failed, please reboot the device and restart the update program."
            << "Update process failed!";
        QTest::newRow("]: write error")
            << uchar(']') << false << "Warning"
            << "Data write error, please restart box and PC software" << mid_block;
    }

    void verdict()
    {
        QFETCH(uchar, verdict);
        QFETCH(bool, at_header);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, label);
        UpdateRig r;
        QVERIFY(r.ready());
        if (at_header)
            r.box.set_header_verdict(verdict);
        else
            r.box.add_fault(Fault::end(Trigger::update_line(1, 2, 5), Bytes{verdict}));
        r.load(r.write_package(make_package(3)));

        r.press_start();
        QVERIFY(r.wait_session_end());
        QCOMPARE(r.driver.texts(), QStringList{text});
        QCOMPARE(r.driver.boxes().value(0).title, title);
        QCOMPARE(r.window->ui.label_update_status->text(), label);
        verify_session_over(*r.window);
        const std::size_t sent = r.box.received().size();
        QTest::qWait(harness::past_queued_ms);
        QCOMPARE(r.box.received().size(), sent);
    }

    void ignored_reply_data()
    {
        QTest::addColumn<uchar>("reply");
        QTest::newRow("R") << uchar('R');
        QTest::newRow("0xFF") << uchar(0xFF);
    }

    void ignored_reply()
    {
        QFETCH(uchar, reply);
        UpdateRig r;
        QVERIFY(r.ready());
        const TestPackage package = make_package(1);
        r.box.add_fault(Fault::noise(Trigger::update_line(0, 2, 7), Bytes{reply}));
        r.box.add_fault(Fault::noise(Trigger::update_header(3), Bytes{reply}));
        r.load(r.write_package(package));

        r.press_start();
        QVERIFY(r.wait_session_end());
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Update process completed.")});
        QCOMPARE(first_difference(r.box.received(), package.clean_session()), QString());
    }

    void block_request_after_last_block_answered_end()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        const TestPackage package = make_package(2);
        // The box asks twice more instead of giving its verdict, each time
        // after the tool's answer: a request the box sends before the tool
        // has answered the one before is not taken for a new one.
        Fault again = Fault::instead(Trigger::update_block_start(2), Bytes{'Y'});
        again.times = 2;
        r.box.add_fault(again);
        r.load(r.write_package(package));

        r.press_start();
        QVERIFY(r.wait_session_end());
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Update process completed.")});
        Bytes expected = package.clean_session();
        expected.push_back('[');
        expected.push_back('[');
        QTest::qWait(harness::past_queued_ms);
        QCOMPARE(first_difference(r.box.received(), expected), QString());
    }

    void stop_ends_running_session()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        r.box.add_fault(Fault::silence(Trigger::update_line(0, 5, 3)));
        r.load(r.write_package(make_package(2)));
        r.press_start();
        QVERIFY(harness::ModalDriver::wait_until(
            [&] { return r.box.received().size() >= 8 + 5 * stored_line_bytes + 4; }));
        QVERIFY(session_running(*r.window));

        // Start does nothing while the session runs.
        const std::size_t sent = r.box.received().size();
        r.press_start();
        QVERIFY(session_running(*r.window));
        QCOMPARE(r.box.received().size(), sent);

        // Nor may another package replace the one being sent.
        const int asked = r.files->asked().size();
        r.window->ui.pushButton_bin_update->click();
        QCOMPARE(r.files->asked().size(), asked);
        QVERIFY(package_open(*r.window));

        r.press_stop();
        verify_session_over(*r.window);
        QVERIFY(r.driver.boxes().isEmpty());
        // No watchdog resends after the end.
        QTest::qWait(harness::past_watchdog_ms);
        QCOMPARE(r.box.received().size(), sent);
        QVERIFY(r.driver.boxes().isEmpty());
    }

    void start_without_package_warns()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        r.press_start();
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Can not find BIN file")});
        QCOMPARE(r.driver.boxes().value(0).title, QStringLiteral("Warning"));
        QVERIFY(!session_running(*r.window));
        QVERIFY(r.window->ui.pushButton_update_close->isEnabled());
        QTest::qWait(harness::past_queued_ms);
        QVERIFY(r.box.received().empty());
    }

    void hang_up_mid_block_ends_session()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        r.box.add_fault(Fault::hang_up(Trigger::update_line(1, 5, 3)));
        r.load(r.write_package(make_package(3)));

        r.press_start();
        QVERIFY(r.wait_session_end());
        QVERIFY(r.driver.wait_for_boxes(1));
        QCOMPARE(r.driver.texts(),
                 QStringList{QStringLiteral("Data transfer error, please restart box and PC software")});
        QCOMPARE(r.driver.boxes().value(0).title, QStringLiteral("Error"));
        verify_session_over(*r.window);
        QVERIFY(r.box.hung_up());
        // The count stands where the line broke.
        QCOMPARE(r.window->ui.label_update_status->text(),
                 count_text(int(block_line_bytes) + 5 * int(stored_line_bytes) + 4));
    }
};

QTEST_MAIN(TstUpdateSession)
#include "tst_update_session.moc"
