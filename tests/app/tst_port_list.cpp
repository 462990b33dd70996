// The ports the system lists, after the fifteen COM names: the rows both
// boxes hold, the start-up probe of the USB adapters, the refresh when a list
// opens, a port named at start-up, and the reason a port does not open. The
// listing is the test's own; its ports are pseudo-terminals.
#include <QComboBox>
#include <QFile>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

#include <unistd.h>

#include "../serial/line_test_support.h"
#include "box_sim.h"
#include "harness.h"
#include "port_box.h"
#include "serial_port_handle.h"
#include "velmora.h"

namespace {

// A listed port: "usb" and "uart" are pseudo-terminals, "gone" is a USB
// adapter whose device has gone.
struct FakePort {
    std::unique_ptr<boxsim::PtyPeer> peer;
    PortEntry entry;
};

FakePort make_port(const QString &kind, const QString &name)
{
    FakePort port;
    QString path = QStringLiteral("/dev/vr20-gone-") + name;
    if (kind != QLatin1String("gone")) {
        port.peer = std::make_unique<boxsim::PtyPeer>();
        path = QString::fromStdString(port.peer->slave_path());
    }
    const bool usb = kind != QLatin1String("uart");
    port.entry = port_entry(path, name, usb ? QStringLiteral("FT232R USB UART") : QString(),
                            usb ? std::optional<quint16>(0x0403) : std::nullopt,
                            usb ? std::optional<quint16>(0x6001) : std::nullopt, PortEntry::State::free);
    return port;
}

// The name the worker's port object gives a path ("/dev/pts/4": "pts/4").
QString worker_name(const QString &path)
{
    return named_port(path).name;
}

// Which port each row is: the COM name, or the path its tooltip ends with
// (the text shown may be cut to fit the box in the test's font).
QStringList row_ports(const QComboBox &box)
{
    QStringList ports;
    for (int row = 0; row < box.count(); ++row)
        ports << (row < velmora::port_names
                      ? box.itemText(row)
                      : box.itemData(row, Qt::ToolTipRole).toString().split('\n').last());
    return ports;
}

QStringList com_names()
{
    QStringList names;
    for (int n = 1; n <= velmora::port_names; ++n)
        names << QStringLiteral("COM%1").arg(n);
    return names;
}

} // namespace

class TstPortList : public QObject
{
    Q_OBJECT

    std::shared_ptr<harness::FixedListing> listing;

    static QList<QComboBox *> boxes(velmora &window)
    {
        return {window.ui.comboBox_port_rw, window.ui.comboBox_port_update};
    }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(velmora);
        if (harness::com_name_exists())
            QSKIP("a /dev/COMn exists on this machine; the start-up probe would find it");
    }

    void init() { listing = std::make_shared<harness::FixedListing>(); }

    void probe_data()
    {
        QTest::addColumn<QStringList>("kinds");
        QTest::addColumn<int>("chosen"); // -1: none opens

        QTest::newRow("nothing listed") << QStringList{} << -1;
        QTest::newRow("a USB adapter after the COM names") << QStringList{"usb"} << 15;
        QTest::newRow("a UART is not tried") << QStringList{"uart"} << -1;
        QTest::newRow("a UART before a USB adapter") << QStringList{"uart", "usb"} << 16;
        QTest::newRow("an adapter that has gone, then one that opens") << QStringList{"gone", "usb"} << 16;
        QTest::newRow("the first adapter that opens") << QStringList{"usb", "usb"} << 15;
    }

    void probe()
    {
        QFETCH(QStringList, kinds);
        QFETCH(int, chosen);
        std::vector<FakePort> ports;
        std::vector<std::unique_ptr<harness::OpenCounter>> counters;
        for (int i = 0; i < kinds.size(); ++i) {
            ports.push_back(make_port(kinds[i], QStringLiteral("tty%1").arg(i)));
            listing->entries << ports.back().entry;
            counters.push_back(std::make_unique<harness::OpenCounter>(ports.back().entry.path));
        }
        harness::ModalDriver driver;
        velmora window(listing);
        serial_port_handle &worker = harness::worker(window);
        if (chosen < 0) {
            QCOMPARE(driver.texts(), QStringList{"Serial Port Not Found!"});
            QVERIFY(!worker.has_port());
        } else {
            QVERIFY(driver.boxes().isEmpty());
            QCOMPARE(worker.port->portName(), worker_name(ports[std::size_t(chosen - 15)].entry.path));
            QVERIFY(!worker.port_is_open());
        }
        for (QComboBox *box : boxes(window))
            QCOMPARE(box->currentIndex(), std::max(chosen, 0));
        // Built-in UARTs are never opened, nor anything after the port chosen.
        for (int i = 0; i < kinds.size(); ++i)
            if (kinds[i] == QLatin1String("uart") || (chosen >= 0 && 15 + i > chosen))
                QVERIFY2(counters[std::size_t(i)]->opens() == 0, qPrintable(kinds[i]));
    }

    void rows_follow_the_com_names()
    {
        FakePort uart = make_port("uart", "ttyS0");
        FakePort usb = make_port("usb", "ttyUSB0");
        listing->entries = {uart.entry, usb.entry};
        harness::ModalDriver driver;
        velmora window(listing);
        for (QComboBox *box : boxes(window)) {
            QCOMPARE(row_ports(*box), com_names() << uart.entry.path << usb.entry.path);
            QCOMPARE(box->itemData(15, Qt::ToolTipRole).toString(), uart.entry.path);
            QCOMPARE(box->itemData(16, Qt::ToolTipRole).toString(), "FT232R USB UART\n" + usb.entry.path);
        }
    }

    // A name too long for the box is cut in the middle; the tooltip holds
    // the path whole.
    void a_long_name_is_elided()
    {
        FakePort usb = make_port("usb", "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        listing->entries = {usb.entry};
        harness::ModalDriver driver;
        velmora window(listing);
        for (QComboBox *box : boxes(window)) {
            const QString shown = box->itemText(15);
            const QStringList parts = shown.split(QChar(0x2026));
            QCOMPARE(parts.size(), 2);
            QVERIFY(!parts[0].isEmpty() && !parts[1].isEmpty());
            QVERIFY(usb.entry.name.startsWith(parts[0]));
            QVERIFY(usb.entry.name.endsWith(parts[1]));
            QVERIFY(box->fontMetrics().horizontalAdvance(shown) <= static_cast<PortBox *>(box)->text_room());
            QCOMPARE(box->itemData(15, Qt::ToolTipRole).toString(), "FT232R USB UART\n" + usb.entry.path);
        }
    }

    void choosing_a_listed_port_data()
    {
        QTest::addColumn<int>("tab");
        QTest::newRow("satellite tab") << 0;
        QTest::newRow("update tab") << 1;
    }

    void choosing_a_listed_port()
    {
        QFETCH(int, tab);
        FakePort first = make_port("usb", "ttyUSB0");
        FakePort second = make_port("usb", "ttyUSB1");
        listing->entries = {first.entry, second.entry};
        harness::ModalDriver driver;
        velmora window(listing);
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 15);
        window.ui.tabWidget->setCurrentIndex(tab);
        boxes(window).at(tab)->setCurrentIndex(16);
        QVERIFY(driver.boxes().isEmpty());
        for (QComboBox *box : boxes(window))
            QCOMPARE(box->currentIndex(), 16);
        serial_port_handle &worker = harness::worker(window);
        QCOMPARE(worker.port->portName(), worker_name(second.entry.path));
        QVERIFY(!worker.port_is_open());
    }

    void refresh_when_a_list_opens_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QStringList>("rows"); // after the COM names

        for (int box = 0; box < 2; ++box) {
            const char *which = box == 0 ? ", satellite tab" : ", update tab";
            QTest::newRow(qPrintable(QStringLiteral("an adapter comes before the chosen one") + which))
                << box << QStringList{"ttyUSB1"} << QStringList{"ttyUSB0", "ttyUSB1"} << "ttyUSB1"
                << QStringList{"ttyUSB0", "ttyUSB1"};
            QTest::newRow(qPrintable(QStringLiteral("an adapter before the chosen one goes") + which))
                << box << QStringList{"ttyUSB0", "ttyUSB1"} << QStringList{"ttyUSB1"} << "ttyUSB1"
                << QStringList{"ttyUSB1"};
            QTest::newRow(qPrintable(QStringLiteral("the chosen adapter goes, its row stays") + which))
                << box << QStringList{"ttyUSB0", "ttyUSB1"} << QStringList{"ttyUSB1"} << "ttyUSB0"
                << QStringList{"ttyUSB1", "ttyUSB0"};
            QTest::newRow(qPrintable(QStringLiteral("the same ports") + which))
                << box << QStringList{"ttyUSB0", "ttyUSB1"} << QStringList{"ttyUSB0", "ttyUSB1"} << "ttyUSB0"
                << QStringList{"ttyUSB0", "ttyUSB1"};
        }
    }

    void refresh_when_a_list_opens()
    {
        QFETCH(int, box);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(QString, chosen);
        QFETCH(QStringList, rows);
        std::map<QString, FakePort> ports;
        for (const QString &name : before + after)
            if (!ports.count(name))
                ports.emplace(name, make_port("usb", name));
        for (const QString &name : before)
            listing->entries << ports.at(name).entry;
        harness::ModalDriver driver;
        velmora window(listing);
        const int chosen_row = 15 + before.indexOf(chosen);
        window.ui.comboBox_port_rw->setCurrentIndex(chosen_row);
        QCOMPARE(window.ui.comboBox_port_update->currentIndex(), chosen_row);
        const QString chosen_path = ports.at(chosen).entry.path;
        harness::OpenCounter opens(chosen_path);

        listing->entries.clear();
        for (const QString &name : after)
            listing->entries << ports.at(name).entry;
        QSignalSpy rw_changes(window.ui.comboBox_port_rw,
                              QOverload<int>::of(&QComboBox::currentIndexChanged));
        QSignalSpy update_changes(window.ui.comboBox_port_update,
                                  QOverload<int>::of(&QComboBox::currentIndexChanged));
        window.ui.tabWidget->setCurrentIndex(box);
        QComboBox *opened = boxes(window).at(box);
        opened->showPopup();
        opened->hidePopup();

        QStringList paths;
        for (const QString &name : rows)
            paths << ports.at(name).entry.path;
        for (QComboBox *b : boxes(window)) {
            QCOMPARE(row_ports(*b), com_names() + paths);
            QCOMPARE(b->currentIndex(), 15 + rows.indexOf(chosen));
        }
        QCOMPARE(rw_changes.count(), 0);
        QCOMPARE(update_changes.count(), 0);
        QVERIFY(driver.boxes().isEmpty());
        QCOMPARE(opens.opens(), 0);
        QCOMPARE(harness::worker(window).port->portName(), worker_name(chosen_path));
    }

    // A transfer's port stays chosen after a refresh moved its row.
    void a_refresh_during_a_transfer()
    {
        FakePort first = make_port("usb", "ttyUSB0");
        FakePort second = make_port("usb", "ttyUSB1");
        listing->entries = {second.entry};
        harness::ModalDriver driver;
        velmora window(listing);
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 15);
        listing->entries = {first.entry, second.entry};
        // A list read holds the port; the box on it stays silent, so the read
        // runs until the window closes.
        window.ui.pushButton_sat_read->click();
        QVERIFY(!window.ui.pushButton_sat_read->isEnabled());
        window.ui.comboBox_port_rw->showPopup();
        window.ui.comboBox_port_rw->hidePopup();
        window.ui.comboBox_port_rw->setCurrentIndex(15);
        QCOMPARE(driver.texts(),
                 QStringList{"The serial port is occupied or not exist, please try another port."});
        for (QComboBox *box : boxes(window))
            QCOMPARE(box->currentIndex(), 16);
        QCOMPARE(harness::worker(window).port->portName(), worker_name(second.entry.path));
    }

    void a_port_named_at_start_up_data()
    {
        QTest::addColumn<QString>("given"); // $listed, $unlisted: those pseudo-terminals' paths
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("port"); // the COM name or the path of the row chosen
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("opened"); // "listed", "unlisted" or none

        const QStringList none;
        const QString cannot_open("Cannot Open or Find the Port!");
        const QString no_such("No such file or directory");
        QTest::newRow("a listed port, by path") << "$listed" << 15 << "$listed" << none << ""
                                                << "listed";
        QTest::newRow("a port not listed, by path") << "$unlisted" << 16 << "$unlisted" << none << ""
                                                    << "unlisted";
        QTest::newRow("a port not listed, by its name under /dev")
            << "$unlisted-name" << 16 << "$unlisted" << none << ""
            << "unlisted";
        QTest::newRow("a path with nothing behind it")
            << "/dev/vr20-no-such-port" << 16 << "/dev/vr20-no-such-port" << QStringList{cannot_open}
            << no_such << "";
        QTest::newRow("a COM name that does not open")
            << "COM7" << 6 << "COM7" << QStringList{cannot_open} << no_such << "";
        QTest::newRow("a COM path that does not open")
            << "/dev/COM12" << 11 << "COM12" << QStringList{cannot_open} << no_such << "";
    }

    void a_port_named_at_start_up()
    {
        QFETCH(QString, given);
        QFETCH(int, row);
        QFETCH(QString, port);
        QFETCH(QStringList, texts);
        QFETCH(QString, detail);
        QFETCH(QString, opened);
        FakePort listed = make_port("usb", "ttyUSB0");
        boxsim::PtyPeer unlisted;
        const QString unlisted_path = QString::fromStdString(unlisted.slave_path());
        listing->entries = {listed.entry};
        given.replace("$listed", listed.entry.path)
            .replace("$unlisted-name", worker_name(unlisted_path))
            .replace("$unlisted", unlisted_path);
        port.replace("$listed", listed.entry.path).replace("$unlisted", unlisted_path);
        harness::OpenCounter listed_opens(listed.entry.path);
        harness::OpenCounter unlisted_opens(unlisted_path);

        harness::ModalDriver driver;
        velmora window(listing, given);
        QCOMPARE(driver.texts(), texts);
        for (const harness::ShownBox &ShownBox : driver.boxes()) {
            QCOMPARE(ShownBox.title, QStringLiteral("Warning"));
            QCOMPARE(ShownBox.detailed_text, detail);
        }
        for (QComboBox *box : boxes(window)) {
            QCOMPARE(box->currentIndex(), row);
            QCOMPARE(row_ports(*box).value(row), port);
            QCOMPARE(box->count(), std::max(16, row + 1));
        }
        serial_port_handle &worker = harness::worker(window);
        // Opened once, for the choice: no probe, no second open.
        QCOMPARE(listed_opens.opens(), opened == "listed" ? 1 : 0);
        QCOMPARE(unlisted_opens.opens(), opened == "unlisted" ? 1 : 0);
        QCOMPARE(worker.has_port(), !opened.isEmpty());
        if (!opened.isEmpty()) {
            QCOMPARE(worker.port->portName(),
                     worker_name(opened == "listed" ? listed.entry.path : unlisted_path));
            QVERIFY(!worker.port_is_open());
        }
    }

    // A port that exists but may not be opened: the reason and the remedy.
    void a_port_without_permission()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        PortEntry entry = named_port(dir.filePath("ttyUSB0"));
        QFile node(entry.path);
        QVERIFY(node.open(QIODevice::WriteOnly));
        node.close();
        QVERIFY(node.setPermissions(QFileDevice::Permissions()));
        listing->entries = {entry};
        harness::ModalDriver driver;
        velmora window(listing);
        driver.clear();

        // The open runs in the worker's thread, the reason is looked for in
        // this one: both meet the permission checks as a user would.
        serial_port_handle &worker = harness::worker(window);
        WithoutCapabilities here = WithoutCapabilities::like_a_user();
        WithoutCapabilities *there = nullptr;
        QMetaObject::invokeMethod(
            &worker,
            [&] {
                there = new WithoutCapabilities{CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_SYS_ADMIN};
            },
            Qt::BlockingQueuedConnection);
        const bool as_a_user = here.active() && there->active();
        if (as_a_user)
            window.ui.comboBox_port_rw->setCurrentIndex(15);
        QMetaObject::invokeMethod(
            &worker, [&] { delete there; }, Qt::BlockingQueuedConnection);
        if (!as_a_user)
            QSKIP("running as root without a way to drop privileges");

        QCOMPARE(driver.texts(), QStringList{"Cannot Open or Find the Port!"});
        const QString detail = driver.boxes().first().detailed_text;
        QVERIFY2(detail.startsWith("Permission denied"), qPrintable(detail));
        QVERIFY2(detail.contains("\"dialout\""), qPrintable(detail));
        QVERIFY2(detail.contains("log in again"), qPrintable(detail));
        QVERIFY(!worker.has_port());
    }
};

QTEST_MAIN(TstPortList)
#include "tst_port_list.moc"
