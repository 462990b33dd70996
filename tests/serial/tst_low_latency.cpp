// Opening a port whose driver refuses the low-latency request: a
// pseudo-terminal refuses it, and the port must open and work all the same.
#include <QSerialPort>
#include <QTest>

#include "box_sim.h"
#include "low_latency.h"
#include "serial_port_handle.h"

class TstLowLatency : public QObject
{
    Q_OBJECT

private slots:
    void refused_request_leaves_port_open()
    {
        boxsim::PtyPeer peer;
        QSerialPort port(QString::fromStdString(peer.slave_path()));
        QVERIFY(port.open(QIODevice::ReadWrite));

        const int applied = request_low_latency(port);
        QCOMPARE(applied & 1, 0); // the pty driver has no ASYNC_LOW_LATENCY
        QCOMPARE(applied & 2, 0); // nor a USB latency timer
        QVERIFY(port.isOpen());

        // Still a working line both ways.
        QCOMPARE(port.write("E", 1), qint64(1));
        QVERIFY(port.waitForBytesWritten(3000));
        QVERIFY(peer.wait_received(1, std::chrono::milliseconds{3000}));
        QCOMPARE(peer.received(), boxsim::Bytes{'E'});
        QVERIFY(peer.send(uint8_t('P')));
        QVERIFY(port.waitForReadyRead(3000));
        QCOMPARE(port.read(1), QByteArray("P"));
    }

    // The worker asks for low latency on every open; the refusal must not
    // turn into a failed open.
    void worker_opens_pseudo_terminal()
    {
        boxsim::PtyPeer peer;
        serial_port_handle worker;
        QVERIFY(!worker.open_port(QString::fromStdString(peer.slave_path())));
        QVERIFY(worker.port_is_open());
        worker.close_port();
        QVERIFY(!worker.reopen_port());
        QVERIFY(worker.port_is_open());
        QVERIFY(!worker.write_and_wait('R'));
        QVERIFY(peer.wait_received(1, std::chrono::milliseconds{3000}));
        QCOMPARE(peer.received(), boxsim::Bytes{'R'});
    }
};

QTEST_GUILESS_MAIN(TstLowLatency)
#include "tst_low_latency.moc"
