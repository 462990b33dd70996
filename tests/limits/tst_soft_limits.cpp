// Reading and setting the EAST/WEST soft limits through the real window,
// worker and serial port, against the simulated box.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "box_sim.h"
#include "harness.h"
#include "message_log.h"
#include "serial_port_handle.h"
#include "soft_limits.h"
#include "velmora.h"

using namespace boxsim;
using std::chrono::milliseconds;

namespace {
const QString port_unusable
    = QStringLiteral("The serial port is occupied or not exist, please try another port.");
const QString range_message = QStringLiteral("The EAST/WEST limit setting should between -5000 to 5000.");
const QString order_message = QStringLiteral("The EAST limit should be greater than the WEST limit.");
const QString set_ok = QStringLiteral("EAST/WEST limit set OK.");
const QString set_incomplete = QStringLiteral(
    "The box ended the exchange before it received every limit. Read the limits back to check them.");
const QString read_out_of_range = QStringLiteral(
    "The box answered with a limit outside -5000 to 5000. Read the limits again to check them.");

} // namespace

class TstSoftLimits : public QObject
{
    Q_OBJECT

    std::unique_ptr<harness::ModalDriver> driver;
    std::unique_ptr<Box> box;
    std::unique_ptr<velmora> window;

    void start(bool with_port = true)
    {
        driver = std::make_unique<harness::ModalDriver>();
        box = std::make_unique<Box>();
        window = std::make_unique<velmora>();
        driver->clear(); // the start-up probe finds no COM port here
        if (with_port)
            QVERIFY(harness::attach_port(*window, QString::fromStdString(box->slave_path())));
    }

    bool port_closed() { return !harness::worker(*window).port_is_open(); }

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    void cleanup()
    {
        window.reset();
        box.reset();
        driver.reset();
    }

    void wire_encoding_data()
    {
        QTest::addColumn<int>("west");
        QTest::addColumn<int>("east");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("-1000/1000") << -1000 << 1000 << QByteArray::fromHex("18fce803");
        QTest::newRow("limits") << -5000 << 5000 << QByteArray::fromHex("78ec8813");
        QTest::newRow("zero/one") << 0 << 1 << QByteArray::fromHex("00000100");
        QTest::newRow("extremes") << -32768 << 32767 << QByteArray::fromHex("0080ff7f");
    }

    void wire_encoding()
    {
        QFETCH(int, west);
        QFETCH(int, east);
        QFETCH(QByteArray, wire);
        const auto bytes = soft_limits::encode(int16_t(west), int16_t(east));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), 4), wire);
        QCOMPARE(int(soft_limits::decode(bytes[0], bytes[1])), west);
        QCOMPARE(int(soft_limits::decode(bytes[2], bytes[3])), east);
    }

    void read_limits_data()
    {
        QTest::addColumn<QByteArray>("limits");
        QTest::addColumn<QByteArray>("noise");
        QTest::addColumn<QString>("west");
        QTest::addColumn<QString>("east");
        QTest::addColumn<QStringList>("warnings"); // the values are shown all the same
        QTest::newRow("-1000/1000") << QByteArray::fromHex("18fce803") << QByteArray() << "-1000"
                                    << "1000" << QStringList();
        QTest::newRow("bytes before 'c' ignored, 0x63 after it is data")
            << QByteArray::fromHex("6300636f") << QByteArray::fromHex("1863ff") << "99"
            << "28515" << QStringList{read_out_of_range};
        QTest::newRow("extremes") << QByteArray::fromHex("0080ff7f") << QByteArray() << "-32768"
                                  << "32767" << QStringList{read_out_of_range};
    }

    void read_limits()
    {
        QFETCH(QByteArray, limits);
        QFETCH(QByteArray, noise);
        QFETCH(QString, west);
        QFETCH(QString, east);
        QFETCH(QStringList, warnings);
        start();
        box->set_limit_bytes(
            {uint8_t(limits[0]), uint8_t(limits[1]), uint8_t(limits[2]), uint8_t(limits[3])});
        if (!noise.isEmpty()) {
            // The noise reaches the tool before 'c', each byte its own arrival;
            // 0x63 ('c') among them is the only byte that could be mistaken.
            Bytes n(noise.begin(), noise.end());
            n.erase(std::remove(n.begin(), n.end(), uint8_t('c')), n.end());
            box->add_fault(Fault::noise(Trigger::nth_byte(Conversation::limits_read, 1), n));
        }
        window->ui.pushButton_get_lmt->click();
        QVERIFY(
            harness::ModalDriver::wait_until([&] { return !window->ui.lineEdit_est_lmt->text().isEmpty(); }));
        QCOMPARE(window->ui.lineEdit_wst_lmt->text(), west);
        QCOMPARE(window->ui.lineEdit_est_lmt->text(), east);
        QVERIFY(box->wait_completed(Conversation::limits_read, 1, milliseconds(harness::patience_ms)));
        QCOMPARE(box->received(), (Bytes{'b', 1, 2, 3, 4}));
        // Every count answers a data byte: it follows the byte it counts.
        const auto log = box->log();
        int counted = 0;
        for (std::size_t i = 0; i < log.size(); ++i)
            if (!log[i].from_box && log[i].value >= 1 && log[i].value <= 4) {
                QVERIFY(i > 0 && log[i - 1].from_box);
                QCOMPARE(log[i - 1].value, uint8_t(limits[log[i].value - 1]));
                ++counted;
            }
        QCOMPARE(counted, 4);
        QVERIFY(driver->wait_for_boxes(int(warnings.size())));
        QCOMPARE(driver->texts(), warnings);
        QVERIFY(harness::ModalDriver::wait_until([&] { return port_closed(); }));
    }

    void set_limits_data()
    {
        QTest::addColumn<QString>("west");
        QTest::addColumn<QString>("east");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("-1000/1000") << "-1000"
                                    << "1000" << set_ok << QByteArray::fromHex("18fce803");
        QTest::newRow("-5000/5000 accepted") << "-5000"
                                             << "5000" << set_ok << QByteArray::fromHex("78ec8813");
        QTest::newRow("-5001 rejected") << "-5001"
                                        << "0" << range_message << QByteArray();
        QTest::newRow("5001 rejected") << "0"
                                       << "5001" << range_message << QByteArray();
        QTest::newRow("WEST equal to EAST") << "100"
                                            << "100" << order_message << QByteArray();
        QTest::newRow("WEST above EAST") << "200"
                                         << "100" << order_message << QByteArray();
        QTest::newRow("two empty fields") << ""
                                          << "" << order_message << QByteArray();
        QTest::newRow("40000 taken as 0") << "40000"
                                          << "10" << set_ok << QByteArray::fromHex("00000a00");
        QTest::newRow("not a number taken as 0") << "-7"
                                                 << "abc" << set_ok << QByteArray::fromHex("f9ff0000");
        QTest::newRow("6000/-6000 gives only the range message") << "6000"
                                                                 << "-6000" << range_message << QByteArray();
    }

    void set_limits()
    {
        QFETCH(QString, west);
        QFETCH(QString, east);
        QFETCH(QString, message);
        QFETCH(QByteArray, wire);
        start();
        window->ui.lineEdit_wst_lmt->setText(west);
        window->ui.lineEdit_est_lmt->setText(east);
        window->ui.pushButton_set_lmt->click();
        QVERIFY(driver->wait_for_boxes(1));
        QCOMPARE(driver->texts(), QStringList{message});
        const harness::ShownBox shown = driver->boxes().first();
        QCOMPARE(shown.title, message == set_ok ? QStringLiteral("Hint") : QStringLiteral("Warning"));
        QCOMPARE(shown.icon, message == set_ok ? QMessageBox::Information : QMessageBox::Warning);
        QCOMPARE(shown.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
        QVERIFY(shown.parentless);
        if (wire.isEmpty()) {
            QTest::qWait(harness::past_queued_ms);
            QVERIFY(box->received().empty());
        } else {
            QVERIFY(box->wait_completed(Conversation::limits_write, 1, milliseconds(harness::patience_ms)));
            const auto stored = box->limit_bytes();
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(stored.data()), 4), wire);
            QCOMPARE(box->received(),
                     (Bytes{'d', uint8_t(wire[0]), uint8_t(wire[1]), uint8_t(wire[2]), uint8_t(wire[3])}));
        }
        QVERIFY(harness::ModalDriver::wait_until([&] { return port_closed(); }));
    }

    void the_box_chooses_which_limit_bytes_it_asks_for_data()
    {
        QTest::addColumn<QByteArray>("requests");
        QTest::addColumn<int>("end_byte");
        QTest::addColumn<QString>("message");
        QTest::newRow("reversed") << QByteArray::fromHex("03020100") << 4 << set_ok;
        QTest::newRow("repeats") << QByteArray::fromHex("0300030102") << 0x65 << set_ok;
        QTest::newRow("an index never asked for") << QByteArray::fromHex("01") << 0xff << set_incomplete;
        QTest::newRow("nothing asked for") << QByteArray() << 4 << set_incomplete;
    }

    void the_box_chooses_which_limit_bytes_it_asks_for()
    {
        QFETCH(QByteArray, requests);
        QFETCH(int, end_byte);
        QFETCH(QString, message);
        start();
        box->set_write_requests(Bytes(requests.begin(), requests.end()), uint8_t(end_byte));
        window->ui.lineEdit_wst_lmt->setText(QStringLiteral("-1000"));
        window->ui.lineEdit_est_lmt->setText(QStringLiteral("1000"));
        window->ui.pushButton_set_lmt->click();
        QVERIFY(driver->wait_for_boxes(1));
        QCOMPARE(driver->texts(), QStringList{message});
        QCOMPARE(driver->boxes().first().title,
                 message == set_ok ? QStringLiteral("Hint") : QStringLiteral("Warning"));
        const QByteArray wire = QByteArray::fromHex("18fce803");
        Bytes expected{'d'};
        for (char index : requests)
            expected.push_back(uint8_t(wire[index]));
        QCOMPARE(box->received(), expected);
    }

    void no_port_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("get") << "pushButton_get_lmt";
        QTest::newRow("set") << "pushButton_set_lmt";
    }

    void no_port()
    {
        QFETCH(QString, button);
        start(false);
        window->ui.lineEdit_wst_lmt->setText(QStringLiteral("-5"));
        window->ui.lineEdit_est_lmt->setText(QStringLiteral("5"));
        window->findChild<QPushButton *>(button)->click();
        QCOMPARE(driver->texts(), QStringList{port_unusable});
        QCOMPARE(driver->boxes().first().title, QStringLiteral("Warning"));
        QVERIFY(box->received().empty());
    }

    void a_second_press_abandons_the_pending_exchange()
    {
        start();
        box->set_limits(-1000, 1000);
        // The box never answers the first 'b'.
        box->add_fault(Fault::silence(Trigger::nth_byte(Conversation::limits_read, 1), milliseconds(0)));
        window->ui.pushButton_get_lmt->click();
        QVERIFY(box->peer().wait_received(1, milliseconds(harness::patience_ms)));
        window->ui.pushButton_get_lmt->click();
        QVERIFY(
            harness::ModalDriver::wait_until([&] { return !window->ui.lineEdit_est_lmt->text().isEmpty(); }));
        QVERIFY(box->wait_completed(Conversation::limits_read, 1, milliseconds(harness::patience_ms)));
        QTest::qWait(harness::past_queued_ms);
        // With two reply connections every data byte would be counted twice.
        QCOMPARE(box->received(), (Bytes{'b', 'b', 1, 2, 3, 4}));
        QCOMPARE(window->ui.lineEdit_wst_lmt->text(), QStringLiteral("-1000"));
        QCOMPARE(window->ui.lineEdit_est_lmt->text(), QStringLiteral("1000"));
        QVERIFY(driver->boxes().isEmpty());
        QVERIFY(port_closed());
    }

    void a_write_after_a_pending_read()
    {
        start();
        box->add_fault(Fault::silence(Trigger::nth_byte(Conversation::limits_read, 1), milliseconds(0)));
        window->ui.pushButton_get_lmt->click();
        QVERIFY(box->peer().wait_received(1, milliseconds(harness::patience_ms)));
        window->ui.lineEdit_wst_lmt->setText(QStringLiteral("-20"));
        window->ui.lineEdit_est_lmt->setText(QStringLiteral("30"));
        window->ui.pushButton_set_lmt->click();
        QVERIFY(driver->wait_for_boxes(1));
        QCOMPARE(driver->texts(), QStringList{set_ok});
        QCOMPARE(box->west_limit(), int16_t(-20));
        QCOMPARE(box->east_limit(), int16_t(30));
    }

    void stray_bytes_after_the_end_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("after");
        QTest::addColumn<int>("delay_ms");
        // After the box's last limit byte (answered with count 4) and after
        // the tool's count 4 itself.
        QTest::newRow("read, at once after the last limit byte") << false << 3 << 0;
        QTest::newRow("read, 5 ms after the last limit byte") << false << 3 << 5;
        QTest::newRow("read, at once after count 4") << false << 4 << 0;
        QTest::newRow("write, at once after the end byte") << true << 0 << 0;
        QTest::newRow("write, 5 ms after the end byte") << true << 0 << 5;
    }

    void stray_bytes_after_the_end()
    {
        QFETCH(bool, write);
        QFETCH(int, after);
        QFETCH(int, delay_ms);
        start();
        harness::MessageLog log;
        // Index 1, then the 0x04 that would count a fifth limit byte.
        const Bytes stray{0x01, 0x04};
        box->set_limits(-1000, 1000);
        if (write) {
            box->add_fault(Fault::stray(Trigger::nth_byte(Conversation::limits_write, 5), stray,
                                        milliseconds(delay_ms)));
            window->ui.lineEdit_wst_lmt->setText(QStringLiteral("-20"));
            window->ui.lineEdit_est_lmt->setText(QStringLiteral("30"));
            window->ui.pushButton_set_lmt->click();
            QVERIFY(driver->wait_for_boxes(1));
            QCOMPARE(driver->texts(), QStringList{set_ok});
        } else {
            box->add_fault(Fault::stray(Trigger::limits_read_count(after), stray, milliseconds(delay_ms)));
            window->ui.pushButton_get_lmt->click();
            QVERIFY(harness::ModalDriver::wait_until(
                [&] { return !window->ui.lineEdit_est_lmt->text().isEmpty(); }));
        }
        QVERIFY(box->wait_idle(milliseconds(50), milliseconds(harness::patience_ms)));
        QTest::qWait(harness::past_queued_ms);
        const Bytes first = write ? Bytes{'d', 0xEC, 0xFF, 0x1E, 0x00} : Bytes{'b', 1, 2, 3, 4};
        QCOMPARE(box->received(), first);
        QVERIFY(port_closed());

        // The next exchange reads what the box holds now.
        window->ui.lineEdit_wst_lmt->clear();
        window->ui.lineEdit_est_lmt->clear();
        window->ui.pushButton_get_lmt->click();
        QVERIFY(
            harness::ModalDriver::wait_until([&] { return !window->ui.lineEdit_est_lmt->text().isEmpty(); }));
        QCOMPARE(window->ui.lineEdit_wst_lmt->text(),
                 write ? QStringLiteral("-20") : QStringLiteral("-1000"));
        QCOMPARE(window->ui.lineEdit_est_lmt->text(), write ? QStringLiteral("30") : QStringLiteral("1000"));
        Bytes both = first;
        both.insert(both.end(), {'b', 1, 2, 3, 4});
        QVERIFY(box->wait_idle(milliseconds(50), milliseconds(harness::patience_ms)));
        QCOMPARE(box->received(), both);
        QCOMPARE(driver->boxes().size(), write ? 1 : 0);
        // No write to the closed port, and no error on the line (the
        // worker's debug line of a port error counts too).
        QStringList warnings;
        for (const harness::MessageLog::Entry &e : log.entries())
            if (e.type != QtDebugMsg || e.text.startsWith(QLatin1String("serial port error")))
                warnings << e.text;
        QVERIFY2(warnings.filter(QStringLiteral("not open")).isEmpty(), qPrintable(warnings.join('\n')));
        QVERIFY2(warnings.filter(QStringLiteral("serial port error")).isEmpty(),
                 qPrintable(warnings.join('\n')));
    }

    void a_box_that_hangs_up_mid_exchange()
    {
        start();
        box->add_fault(Fault::hang_up(Trigger::nth_byte(Conversation::limits_read, 2)));
        window->ui.pushButton_get_lmt->click();
        QVERIFY(driver->wait_for_boxes(1));
        QCOMPARE(driver->texts(), QStringList{port_unusable});
        QVERIFY(port_closed());
        QVERIFY(window->ui.lineEdit_est_lmt->text().isEmpty());
    }
};

QTEST_MAIN(TstSoftLimits)
#include "tst_soft_limits.moc"
