// Which port vr20-box uses: --port as the user gives it, else the one USB
// adapter of the listing, never a guess among several, never a built-in UART.
#include <QtTest>

#include "port_listing.h"
#include "vr20_box.h"

Q_DECLARE_METATYPE(QList<PortEntry>)

namespace {

class FakeListing : public PortListing
{
public:
    explicit FakeListing(QList<PortEntry> entries)
        : entries(std::move(entries))
    { }
    QList<PortEntry> ports() const override { return entries; }

private:
    QList<PortEntry> entries;
};

PortEntry port(const QString &name, bool usb, const QString &description = QString(),
               const QString &usb_id = QString(), PortEntry::State state = PortEntry::State::free)
{
    PortEntry entry;
    entry.path = QStringLiteral("/dev/") + name;
    entry.name = name;
    entry.description = description;
    entry.usb_id = usb_id;
    entry.usb = usb;
    entry.state = state;
    return entry;
}

} // namespace

class TstVr20BoxPort : public QObject
{
    Q_OBJECT

private slots:
    void choose_data();
    void choose();
};

void TstVr20BoxPort::choose_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QList<PortEntry>>("ports");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("note"); // each in the note; none: no note
    QTest::addColumn<QStringList>("error"); // each in the error; none: no error

    const PortEntry ftdi = port("ttyUSB0", true, "FT232R USB UART", "0403:6001");
    const PortEntry acm = port("ttyACM0", true, "CDC serial", "2341:0043", PortEntry::State::busy);
    const PortEntry uart0 = port("ttyS0", false, "ttyS0");
    const PortEntry uart1 = port("ttyS1", false, "", "", PortEntry::State::denied);

    QTest::newRow("--port path as it stands")
        << "/dev/ttyUSB3" << QList<PortEntry>{} << "/dev/ttyUSB3" << QStringList{} << QStringList{};
    QTest::newRow("--port COM3 under /dev")
        << "COM3" << QList<PortEntry>{} << "/dev/COM3" << QStringList{} << QStringList{};
    QTest::newRow("--port ttyUSB0 under /dev")
        << "ttyUSB0" << QList<PortEntry>{} << "/dev/ttyUSB0" << QStringList{} << QStringList{};
    QTest::newRow("--port over the one adapter")
        << "ttyS1" << QList<PortEntry>{uart0, ftdi} << "/dev/ttyS1" << QStringList{} << QStringList{};
    QTest::newRow("no ports") << "" << QList<PortEntry>{} << "" << QStringList{}
                              << QStringList{"no USB serial adapter found", "--port",
                                             "The system lists no serial ports."};
    QTest::newRow("one adapter among UARTs")
        << "" << QList<PortEntry>{uart0, ftdi, uart1} << "/dev/ttyUSB0"
        << QStringList{"/dev/ttyUSB0", "FT232R USB UART"} << QStringList{};
    QTest::newRow("two adapters: no guess")
        << "" << QList<PortEntry>{acm, uart0, ftdi} << "" << QStringList{}
        << QStringList{"2 USB serial adapters found", "--port", "/dev/ttyACM0\tCDC serial\tbusy",
                       "/dev/ttyS0\tttyS0\tfree", "/dev/ttyUSB0\tFT232R USB UART\tfree"};
    QTest::newRow("only built-in UARTs")
        << "" << QList<PortEntry>{uart0, uart1} << "" << QStringList{}
        << QStringList{"no USB serial adapter found", "/dev/ttyS0\tttyS0\tfree", "/dev/ttyS1\t\tdenied"};
}

void TstVr20BoxPort::choose()
{
    QFETCH(QString, option);
    QFETCH(QList<PortEntry>, ports);
    QFETCH(QString, path);
    QFETCH(QStringList, note);
    QFETCH(QStringList, error);
    const FakeListing listing(ports);

    const vr20box::PortChoice choice = vr20box::choose_port(option, listing);
    QCOMPARE(choice.path, path);
    QCOMPARE(choice.note.isEmpty(), note.isEmpty());
    for (const QString &text : note)
        QVERIFY2(choice.note.contains(text), qPrintable(choice.note));
    QCOMPARE(choice.error.isEmpty(), error.isEmpty());
    for (const QString &text : error)
        QVERIFY2(choice.error.contains(text), qPrintable(choice.error));
    if (path.isEmpty()) {
        // Every port listed, none picked.
        for (const PortEntry &p : ports)
            QVERIFY2(choice.error.contains(p.path), qPrintable(p.path));
        // The program stops there, before any port is opened.
        QCOMPARE(vr20box::run({"--quiet", "limits", "get"}, listing), int(vr20box::port_error));
    }
}

QTEST_GUILESS_MAIN(TstVr20BoxPort)
#include "tst_vr20_box_port.moc"
