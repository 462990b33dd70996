// The rows the port boxes get after the COM names, and what the window says
// about a port that does not open.
#include <QTest>

#include <cerrno>

#include "ports.h"

namespace {

const QStringList com_names{"COM1", "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7", "COM8",
                            "COM9", "COM10", "COM11", "COM12", "COM13", "COM14", "COM15"};

// Entries for paths; `description` tells a listed entry from a kept one.
QList<PortEntry> entries(const QStringList &paths, const QString &description)
{
    QList<PortEntry> list;
    for (const QString &path : paths) {
        PortEntry entry = named_port(path);
        entry.description = description;
        list.append(entry);
    }
    return list;
}

} // namespace

class TstPortRows : public QObject
{
    Q_OBJECT

private slots:
    void rows_data()
    {
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("kept");
        // "path=description" of each row, in order.
        QTest::addColumn<QStringList>("rows");

        QTest::newRow("nothing") << QStringList{} << QStringList{} << QStringList{};
        QTest::newRow("listed, in the listing's order")
            << QStringList{"/dev/ttyUSB1", "/dev/ttyACM0", "/dev/ttyS0"} << QStringList{}
            << QStringList{"/dev/ttyUSB1=listed", "/dev/ttyACM0=listed", "/dev/ttyS0=listed"};
        QTest::newRow("a listed COM name is the COM row")
            << QStringList{"/dev/COM3", "/dev/ttyUSB0"} << QStringList{}
            << QStringList{"/dev/ttyUSB0=listed"};
        QTest::newRow("COM16 is no COM row")
            << QStringList{"/dev/COM16"} << QStringList{} << QStringList{"/dev/COM16=listed"};
        QTest::newRow("kept after the listed") << QStringList{"/dev/ttyUSB0"} << QStringList{"/dev/pts/4"}
                                               << QStringList{"/dev/ttyUSB0=listed", "/dev/pts/4=kept"};
        QTest::newRow("kept and listed: the listed entry")
            << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"} << QStringList{"/dev/ttyUSB1"}
            << QStringList{"/dev/ttyUSB0=listed", "/dev/ttyUSB1=listed"};
        QTest::newRow("kept twice: once")
            << QStringList{} << QStringList{"/dev/pts/4", "/dev/pts/4"} << QStringList{"/dev/pts/4=kept"};
        QTest::newRow("kept COM name: the COM row") << QStringList{} << QStringList{"COM15"} << QStringList{};
        QTest::newRow("kept path of a COM name: the COM row")
            << QStringList{} << QStringList{"/dev/COM1"} << QStringList{};
        QTest::newRow("listed twice: once")
            << QStringList{"/dev/ttyS0", "/dev/ttyS0"} << QStringList{} << QStringList{"/dev/ttyS0=listed"};
    }

    void rows()
    {
        QFETCH(QStringList, listed);
        QFETCH(QStringList, kept);
        QFETCH(QStringList, rows);
        QStringList got;
        for (const PortEntry &entry : port_rows(com_names, entries(listed, "listed"), entries(kept, "kept")))
            got << entry.path + '=' + entry.description;
        QCOMPARE(got, rows);
    }

    void failure_detail_data()
    {
        QTest::addColumn<int>("error_number");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QStringList>("remedy");

        const QStringList dialout{"dialout", "sudo usermod -aG dialout $USER", "log in again"};
        QTest::newRow("no permission") << EACCES << "Permission denied" << dialout;
        QTest::newRow("operation not permitted") << EPERM << "Operation not permitted" << dialout;
        QTest::newRow("held by another program")
            << EBUSY << "Device or resource busy" << QStringList{"Another program holds the port"};
        QTest::newRow("no such port") << ENOENT << "No such file or directory" << QStringList{};
        QTest::newRow("no device behind the node") << ENXIO << "No such device or address" << QStringList{};
        QTest::newRow("opens, but no serial line")
            << 0 << "The port opens, but it cannot be set up as a serial line." << QStringList{};
    }

    void failure_detail()
    {
        QFETCH(int, error_number);
        QFETCH(QString, reason);
        QFETCH(QStringList, remedy);
        const QString detail = port_failure_detail(error_number);
        QVERIFY2(detail.startsWith(reason), qPrintable(detail));
        for (const QString &words : remedy)
            QVERIFY2(detail.contains(words), qPrintable(detail));
        if (remedy.isEmpty())
            QCOMPARE(detail, reason);
    }
};

QTEST_GUILESS_MAIN(TstPortRows)
#include "tst_port_rows.moc"
