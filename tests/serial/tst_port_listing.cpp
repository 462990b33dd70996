// Listing the machine's ports: the entry built from what the system says of
// a port, and the state a port is probed in, without touching its line.
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <optional>

#include "blocking_line.h"
#include "line_test_support.h"
#include "port_listing.h"

Q_DECLARE_METATYPE(PortEntry::State)

namespace {

std::optional<quint16> id(int value)
{
    return value < 0 ? std::nullopt : std::optional<quint16>(quint16(value));
}

} // namespace

class TstPortListing : public QObject
{
    Q_OBJECT

private slots:
    void entry_from_system_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("vendor"); // -1: not known
        QTest::addColumn<int>("product");
        QTest::addColumn<QString>("usb_id");
        QTest::addColumn<bool>("usb");

        QTest::newRow("USB adapter") << "ttyUSB0" << 0x0403 << 0x6001 << "0403:6001" << true;
        QTest::newRow("ACM adapter") << "ttyACM1" << 0x2341 << 0x0043 << "2341:0043" << true;
        QTest::newRow("padded lower-case hex") << "ttyUSB3" << 0x000A << 0xBEEF << "000a:beef" << true;
        QTest::newRow("USB name, no ids") << "ttyUSB2" << -1 << -1 << "" << true;
        QTest::newRow("ACM name, no ids") << "ttyACM0" << -1 << -1 << "" << true;
        QTest::newRow("built-in UART") << "ttyS0" << -1 << -1 << "" << false;
        QTest::newRow("other name with USB ids") << "ttyXRUSB0" << 0x04E2 << 0x1410 << "04e2:1410" << true;
        QTest::newRow("vendor id only") << "ttyS4" << 0x1234 << -1 << "" << true;
        QTest::newRow("product id only") << "ttyS5" << -1 << 0x5678 << "" << false;
        QTest::newRow("USB further in the name") << "rfcommUSB" << -1 << -1 << "" << false;
    }
    void entry_from_system()
    {
        QFETCH(QString, name);
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(QString, usb_id);
        QFETCH(bool, usb);

        const QString path = "/dev/" + name;
        const PortEntry entry
            = port_entry(path, name, "some adapter", id(vendor), id(product), PortEntry::State::busy);
        PortEntry expected;
        expected.path = path;
        expected.name = name;
        expected.description = "some adapter";
        expected.usb_id = usb_id;
        expected.usb = usb;
        expected.state = PortEntry::State::busy;
        QCOMPARE(entry.usb_id, usb_id);
        QCOMPARE(entry.usb, usb);
        QVERIFY(entry == expected);
    }

    // A port named by the user opens where QSerialPort would open it.
    void named_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("usb");

        QTest::newRow("COM name") << "COM3"
                                  << "/dev/COM3"
                                  << "COM3" << false;
        QTest::newRow("USB adapter's name") << "ttyUSB0"
                                            << "/dev/ttyUSB0"
                                            << "ttyUSB0" << true;
        QTest::newRow("USB adapter's path") << "/dev/ttyUSB0"
                                            << "/dev/ttyUSB0"
                                            << "ttyUSB0" << true;
        QTest::newRow("pseudo-terminal's path") << "/dev/pts/3"
                                                << "/dev/pts/3"
                                                << "pts/3" << false;
        QTest::newRow("name with a folder under /dev") << "pts/3"
                                                       << "/dev/pts/3"
                                                       << "pts/3" << false;
        QTest::newRow("by-id link") << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
                                    << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
                                    << "serial/by-id/usb-FTDI_FT232R-if00-port0" << false;
        QTest::newRow("path outside /dev") << "/tmp/vr20-tty"
                                           << "/tmp/vr20-tty"
                                           << "/tmp/vr20-tty" << false;
        QTest::newRow("relative to here") << "./tty0"
                                          << "./tty0"
                                          << "./tty0" << false;
        QTest::newRow("/dev without its slash") << "/devices/tty0"
                                                << "/devices/tty0"
                                                << "/devices/tty0" << false;
    }
    void named()
    {
        QFETCH(QString, given);
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(bool, usb);
        QCOMPARE(port_location(given), path);
        const PortEntry entry = named_port(given);
        QCOMPARE(entry.path, path);
        QCOMPARE(entry.name, name);
        QCOMPARE(entry.usb, usb);
        QVERIFY(entry.description.isEmpty());
        QVERIFY(entry.usb_id.isEmpty());
    }

    void probe_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<PortEntry::State>("state");
        QTest::addColumn<int>("error_number");

        QTest::newRow("free pseudo-terminal") << "free" << PortEntry::State::free << 0;
        QTest::newRow("held by a line") << "held" << PortEntry::State::busy << EBUSY;
        QTest::newRow("line released") << "released" << PortEntry::State::free << 0;
        QTest::newRow("locked pseudo-terminal") << "locked" << PortEntry::State::busy << EIO;
        QTest::newRow("no permission") << "unreadable" << PortEntry::State::denied << EACCES;
        QTest::newRow("no such path") << "missing" << PortEntry::State::denied << ENOENT;
    }
    void probe()
    {
        QFETCH(QString, setup);
        QFETCH(PortEntry::State, state);
        QFETCH(int, error_number);

        Pty pty;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString path = pty.path;
        std::unique_ptr<BlockingLine> line;
        int locked = -1;
        if (setup == "held" || setup == "released") {
            line = BlockingLine::open(pty.path, nullptr, nullptr);
            QVERIFY(line);
            if (setup == "released")
                line.reset();
        } else if (setup == "locked") {
            // A pseudo-terminal whose slave is not unlocked yet.
            locked = posix_openpt(O_RDWR | O_NOCTTY);
            QVERIFY(locked >= 0);
            QCOMPARE(grantpt(locked), 0);
            path = QString::fromLocal8Bit(ptsname(locked));
        } else if (setup == "unreadable") {
            path = dir.filePath("ttyUSB0");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::Permissions()));
        } else if (setup == "missing") {
            path = dir.filePath("ttyUSB0");
        }

        int error = -1;
        PortEntry::State got;
        {
            auto user = WithoutCapabilities::like_a_user();
            if (!user.active()) {
                if (locked >= 0)
                    ::close(locked);
                QSKIP("running as root without a way to drop privileges");
            }
            got = probe_port_state(path, &error);
        }
        if (locked >= 0)
            ::close(locked);
        QCOMPARE(got, state);
        QCOMPARE(error, error_number);
    }

    // The probe opens and closes the port and nothing more: the line keeps
    // its settings and the port is not left held.
    void probe_leaves_the_line_alone()
    {
        Pty pty;
        termios before{};
        QCOMPARE(tcgetattr(pty.slave, &before), 0);
        cfsetispeed(&before, B9600);
        cfsetospeed(&before, B9600);
        before.c_lflag |= ICANON | ECHO;
        before.c_cc[VMIN] = 1;
        QCOMPARE(tcsetattr(pty.slave, TCSANOW, &before), 0);
        QCOMPARE(tcgetattr(pty.slave, &before), 0);

        QCOMPARE(probe_port_state(pty.path), PortEntry::State::free);
        termios after{};
        QCOMPARE(tcgetattr(pty.slave, &after), 0);
        QCOMPARE(cfgetispeed(&after), cfgetispeed(&before));
        QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(after.c_iflag, before.c_iflag);
        QCOMPARE(after.c_oflag, before.c_oflag);
        QCOMPARE(after.c_lflag, before.c_lflag);
        QCOMPARE(after.c_cc[VMIN], before.c_cc[VMIN]);

        auto user = WithoutCapabilities::like_a_user();
        if (!user.active())
            QSKIP("running as root without a way to drop privileges");
        QVERIFY(BlockingLine::open(pty.path, nullptr, nullptr));
    }

    // The machine may have no serial port at all; whatever it has is listed
    // in order, by a path that exists.
    void system_listing()
    {
        const QList<PortEntry> ports = SystemPortListing().ports();
        qInfo("%d port(s)", int(ports.size()));
        for (int i = 0; i < ports.size(); ++i) {
            const PortEntry &p = ports[i];
            qInfo("%s %s %s", qPrintable(p.path), qPrintable(p.usb_id), port_state_name(p.state));
            QVERIFY2(QFileInfo::exists(p.path), qPrintable(p.path));
            QVERIFY(!p.name.isEmpty());
            QVERIFY(p.path.endsWith(p.name));
            if (i > 0)
                QVERIFY(ports[i - 1].path < p.path);
        }
    }
};

QTEST_GUILESS_MAIN(TstPortListing)
#include "tst_port_listing.moc"
