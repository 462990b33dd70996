// The start-up probe of COM1..COM15 and the choice of a port in the combo
// boxes, with COM names linked to pseudo-terminals.
#include <QComboBox>
#include <QSerialPort>
#include <QTabWidget>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "box_sim.h"
#include "harness.h"
#include "serial_port_handle.h"
#include "velmora.h"

namespace {

// Whether `path` exists as the process that started this test sees it (the
// machine's /dev, not the test's own), asked by a child that joins that
// process's mount namespace. -1 when the child cannot join it.
int exists_outside(const QString &path)
{
    const QByteArray name = path.toLocal8Bit();
    const QByteArray namespace_path = "/proc/" + QByteArray::number(::getppid()) + "/ns/mnt";
    const pid_t child = ::fork();
    if (child == 0) {
        const int ns = ::open(namespace_path.constData(), O_RDONLY);
        if (ns < 0 || ::setns(ns, CLONE_NEWNS) != 0)
            ::_exit(2);
        ::_exit(::access(name.constData(), F_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 2)
        return -1;
    return WEXITSTATUS(status) == 0 ? 1 : 0;
}

} // namespace

class TstPortChoice : public QObject
{
    Q_OBJECT

    // The ports beyond the COM names, in place of this machine's.
    std::shared_ptr<harness::FixedListing> listing = std::make_shared<harness::FixedListing>();

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(velmora);
        if (!harness::can_link_com_ports())
            QSKIP(qPrintable(harness::com_ports_problem()));
    }

    // Each box's COM link goes with it (the test's /dev is its own).
    void cleanup() { listing->entries.clear(); }

    // A COM link and the port's lock file stay in the test's own /dev and
    // lock folder: the machine, and any test beside this one, sees neither.
    void com_links_stay_in_the_tests_own_dev()
    {
        boxsim::PtyPeer peer;
        QVERIFY(peer.link("/dev/COM5"));
        QSerialPort port(QStringLiteral("COM5"));
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        const QString lock = QStringLiteral("/run/lock/LCK..COM5");
        QVERIFY(QFileInfo::exists(lock));
        QCOMPARE(exists_outside(QStringLiteral("/dev/COM5")), 0);
        QCOMPARE(exists_outside(lock), 0);
        QCOMPARE(exists_outside(QStringLiteral("/dev/null")), 1); // the check itself can see
    }

    // The probe tries the COM names before the USB adapters.
    void a_com_name_comes_before_a_usb_adapter()
    {
        boxsim::PtyPeer com, adapter;
        QVERIFY(com.link("/dev/COM5"));
        PortEntry usb = named_port(QString::fromStdString(adapter.slave_path()));
        usb.usb = true;
        listing->entries = {usb};
        harness::OpenCounter adapter_opens(usb.path);
        harness::ModalDriver driver;
        velmora window(listing);
        QVERIFY(driver.boxes().isEmpty());
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 4);
        QCOMPARE(window.ui.comboBox_port_rw->count(), 16);
        QCOMPARE(harness::worker(window).port->portName(), QStringLiteral("COM5"));
        QCOMPARE(adapter_opens.opens(), 0);
    }

    void only_com3_opens()
    {
        boxsim::PtyPeer peer;
        QVERIFY(peer.link("/dev/COM3"));
        harness::ModalDriver driver;
        velmora window(listing);
        QVERIFY(driver.boxes().isEmpty());
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 2);
        QCOMPARE(window.ui.comboBox_port_update->currentIndex(), 2);
        serial_port_handle &worker = harness::worker(window);
        QVERIFY(worker.has_port());
        QVERIFY(!worker.port_is_open());
        QCOMPARE(worker.port->portName(), QStringLiteral("COM3"));
    }

    void com1_is_not_reopened_at_start_up()
    {
        boxsim::PtyPeer peer;
        QVERIFY(peer.link("/dev/COM1"));
        harness::OpenCounter counter(QString::fromStdString(peer.slave_path()));
        harness::ModalDriver driver;
        velmora window(listing);
        QVERIFY(driver.boxes().isEmpty());
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 0);
        QCOMPARE(window.ui.comboBox_port_update->currentIndex(), 0);
        QCOMPARE(harness::worker(window).port->portName(), QStringLiteral("COM1"));
        // The probe opened it once; a port choice would have opened it again.
        QCOMPARE(counter.opens(), 1);
    }

    void the_first_port_that_opens_wins()
    {
        boxsim::PtyPeer first, second;
        QVERIFY(first.link("/dev/COM7"));
        QVERIFY(second.link("/dev/COM12"));
        harness::ModalDriver driver;
        velmora window(listing);
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 6);
        QCOMPARE(window.ui.comboBox_port_update->currentIndex(), 6);
        QCOMPARE(harness::worker(window).port->portName(), QStringLiteral("COM7"));
    }

    void choosing_a_port_moves_both_boxes_data()
    {
        QTest::addColumn<int>("tab");
        QTest::newRow("satellite tab") << 0;
        QTest::newRow("update tab") << 1;
    }

    void choosing_a_port_moves_both_boxes()
    {
        QFETCH(int, tab);
        boxsim::PtyPeer first, second;
        QVERIFY(first.link("/dev/COM2"));
        QVERIFY(second.link("/dev/COM9"));
        harness::ModalDriver driver;
        velmora window(listing);
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 1);
        window.ui.tabWidget->setCurrentIndex(tab);
        QComboBox *box = tab == 0 ? window.ui.comboBox_port_rw : window.ui.comboBox_port_update;
        box->setCurrentIndex(8);
        QVERIFY(driver.boxes().isEmpty());
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 8);
        QCOMPARE(window.ui.comboBox_port_update->currentIndex(), 8);
        serial_port_handle &worker = harness::worker(window);
        QCOMPARE(worker.port->portName(), QStringLiteral("COM9"));
        QVERIFY(!worker.port_is_open());
    }

    void a_port_that_does_not_open()
    {
        boxsim::PtyPeer peer;
        QVERIFY(peer.link("/dev/COM3"));
        harness::ModalDriver driver;
        velmora window(listing);
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 2);
        window.ui.comboBox_port_rw->setCurrentIndex(4);
        QCOMPARE(driver.texts(), QStringList{"Cannot Open or Find the Port!"});
        QCOMPARE(driver.boxes().first().title, QStringLiteral("Warning"));
        QVERIFY(!harness::worker(window).has_port());
        QCOMPARE(window.ui.comboBox_port_rw->currentIndex(), 4);
        QCOMPARE(window.ui.comboBox_port_update->currentIndex(), 2);
    }
};

QTEST_MAIN(TstPortChoice)
#include "tst_port_choice.moc"
