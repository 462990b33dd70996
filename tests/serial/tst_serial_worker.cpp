// The serial worker against a pseudo-terminal: line settings, the one-byte
// reply per arrival, the reply route, the blocking primitives and a far end
// that hangs up.
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTest>

#include "box_sim.h"
#include "message_log.h"
#include "serial_port_handle.h"

using boxsim::PtyPeer;

namespace {
// Long enough for a byte to cross the line and be handled on a loaded machine.
constexpr int patience_ms = 10000;
// How long a reply that must not come is waited for: far longer than the
// worker takes to answer an arrival.
constexpr int no_reply_ms = 300;
} // namespace

// A worker holding an open port on a fresh pseudo-terminal, and a spy on its
// replies.
struct OpenLine {
    PtyPeer peer;
    serial_port_handle worker;
    bool opened = !worker.open_port(QString::fromStdString(peer.slave_path()));
    QSignalSpy spy{&worker, &serial_port_handle::update_sgl_rply};

    std::tuple<PtyPeer &, serial_port_handle &, QSignalSpy &> parts() { return {peer, worker, spy}; }
};

class TstSerialWorker : public QObject
{
    Q_OBJECT

private:
    // Waits for replies, then a while longer to be sure no more come.
    static QList<uchar> replies(QSignalSpy &spy, int expected)
    {
        (void)QTest::qWaitFor([&] { return spy.count() >= expected; }, patience_ms);
        QTest::qWait(no_reply_ms);
        QList<uchar> values;
        for (const auto &args : spy)
            values << args.at(0).value<uchar>();
        return values;
    }

    static bool open_on(serial_port_handle &worker, const PtyPeer &peer)
    {
        return !worker.open_port(QString::fromStdString(peer.slave_path()));
    }

private slots:
    void initTestCase() { qRegisterMetaType<uchar>("uchar"); }

    void open_applies_the_line_settings_in_the_worker_thread()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        QVERIFY(worker.port_is_open());
        QCOMPARE(worker.port->thread(), &worker.thread);
        QCOMPARE(worker.port->baudRate(QSerialPort::Input), 57600);
        QCOMPARE(worker.port->baudRate(QSerialPort::Output), 57600);
        QCOMPARE(worker.port->dataBits(), QSerialPort::Data8);
        QCOMPARE(worker.port->parity(), QSerialPort::NoParity);
        QCOMPARE(worker.port->stopBits(), QSerialPort::OneStop);
        QCOMPARE(worker.port->flowControl(), QSerialPort::NoFlowControl);
        QVERIFY(!worker.port->isBreakEnabled());
        QCOMPARE(worker.port->openMode(), QIODevice::ReadWrite);
    }

    void open_and_release_without_a_device()
    {
        serial_port_handle worker;
        QVERIFY(worker.open_port(QStringLiteral("/dev/vr20-no-such-port")));
        QVERIFY(worker.has_port());
        worker.release_port();
        QVERIFY(!worker.has_port());
        QVERIFY(worker.reopen_port());
        uchar byte = 0x5A;
        QVERIFY(worker.write_and_wait(0x41));
        QVERIFY(worker.wait_read_byte(byte));
        QCOMPARE(byte, uchar(0x5A));
    }

    void close_keeps_the_object_and_reopen_opens_it()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        worker.close_port();
        QVERIFY(worker.has_port());
        QVERIFY(!worker.port_is_open());
        QVERIFY(!worker.reopen_port());
        QVERIFY(worker.port_is_open());
    }

    void one_reply_per_arrival_data()
    {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QList<uchar>>("expected");
        QTest::newRow("single byte") << QList<QByteArray>{QByteArray("\x06", 1)} << QList<uchar>{0x06};
        QTest::newRow("two bytes in one arrival")
            << QList<QByteArray>{QByteArray("\x06\x15", 2)} << QList<uchar>{0x06};
        QTest::newRow("zero byte") << QList<QByteArray>{QByteArray(1, '\0')} << QList<uchar>{0x00};
        QTest::newRow("three arrivals")
            << QList<QByteArray>{QByteArray("P"), QByteArray("\xEF"), QByteArray("^")}
            << QList<uchar>{'P', 0xEF, '^'};
    }

    void one_reply_per_arrival()
    {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QList<uchar>, expected);
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        worker.update_reply_connect();
        for (const QByteArray &arrival : arrivals) {
            const int before = spy.count();
            QVERIFY(peer.send(boxsim::Bytes(arrival.begin(), arrival.end())));
            QTRY_VERIFY_WITH_TIMEOUT(spy.count() > before, patience_ms);
        }
        QCOMPARE(replies(spy, expected.size()), expected);
        QCOMPARE(worker.reply, expected.last());
    }

    void an_arrival_cleared_before_the_handler_gives_zero()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        // The handler finds nothing to read, as when the bytes of a signalled
        // arrival were cleared before it ran.
        QMetaObject::invokeMethod(&worker, "update_write_complete", Qt::QueuedConnection);
        QCOMPARE(replies(spy, 1), QList<uchar>{0x00});
    }

    void arming_twice_gives_one_reply_per_arrival()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        worker.update_reply_connect();
        worker.update_reply_connect();
        QVERIFY(peer.send(0x51));
        QCOMPARE(replies(spy, 1), QList<uchar>{0x51});
    }

    void arming_through_a_queued_signal()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        QObject emitter;
        QObject::connect(&emitter, &QObject::objectNameChanged, &worker,
                         &serial_port_handle::update_reply_connect);
        emitter.setObjectName(QStringLiteral("arm"));
        // A call through the worker's thread runs after the queued arm.
        QVERIFY(worker.port_is_open());
        QVERIFY(peer.send(0x49));
        QCOMPARE(replies(spy, 1), QList<uchar>{0x49});
    }

    void disarmed_bytes_stay_and_the_oldest_comes_first()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        worker.update_reply_connect();
        worker.update_reply_disconnect();
        QVERIFY(peer.send(0x11));
        QVERIFY(peer.send(0x22));
        QTest::qWait(no_reply_ms);
        QCOMPARE(spy.count(), 0);
        worker.update_reply_connect();
        QVERIFY(peer.send(0x33));
        QCOMPARE(replies(spy, 1), QList<uchar>{0x11});
    }

    void wait_read_byte_reads_one_byte()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        QVERIFY(peer.send(boxsim::Bytes{0x50, 0x51}));
        uchar byte = 0;
        QVERIFY(!worker.wait_read_byte(byte));
        QCOMPARE(byte, uchar(0x50));
    }

    void wait_read_byte_times_out_after_3000_ms()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        uchar byte = 0x77;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(worker.wait_read_byte(byte));
        QVERIFY2(clock.elapsed() >= 2900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(byte, uchar(0x77));
    }

    void write_and_wait_needs_nobody_reading()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        QVERIFY(!worker.write_and_wait(0x45));
        QVERIFY(!worker.write_byte(0x52));
        QVERIFY(peer.wait_received(2, std::chrono::milliseconds(patience_ms)));
        QCOMPARE(peer.received(), (boxsim::Bytes{0x45, 0x52}));
    }

    void a_hang_up_closes_the_port_and_is_reported_once()
    {
        auto peer = std::make_unique<PtyPeer>();
        serial_port_handle worker;
        int lost = 0;
        QObject context;
        worker.set_port_lost_handler(&context, [&] { ++lost; });
        QVERIFY(open_on(worker, *peer));
        QSignalSpy spy(&worker, &serial_port_handle::update_sgl_rply);
        worker.update_reply_connect();
        peer->hang_up();
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, patience_ms);
        QVERIFY(!worker.port_is_open());
        QVERIFY(worker.has_port());
        // Writing into the closed port fails at once and reports nothing more.
        QVERIFY(worker.write_and_wait(0x48));
        QTest::qWait(no_reply_ms);
        QCOMPARE(lost, 1);
        QCOMPARE(spy.count(), 0);
    }

    // The worker's messages go through the category "vr20.serial": a reply
    // byte's debug line only when asked for, a lost line's warning unless
    // turned off.
    void debug_output_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<bool>("hang_up");
        QTest::addColumn<QStringList>("shown");

        QTest::newRow("reply, no rules") << "" << false << QStringList{};
        QTest::newRow("reply, serial debug on")
            << "vr20.serial.debug=true" << false << QStringList{"debug vr20.serial: FeedBack = 0x41"};
        QTest::newRow("reply, every vr20 debug on")
            << "vr20.*.debug=true" << false << QStringList{"debug vr20.serial: FeedBack = 0x41"};
        QTest::newRow("reply, Qt's default debug on") << "default.debug=true" << false << QStringList{};
        QTest::newRow("reply, another category on") << "vr20.update.debug=true" << false << QStringList{};
        QTest::newRow("hang-up, no rules")
            << "" << true << QStringList{"warning vr20.serial: serial port error"};
        QTest::newRow("hang-up, serial warnings off") << "vr20.serial.warning=false" << true << QStringList{};
    }

    void debug_output()
    {
        QFETCH(QString, rules);
        QFETCH(bool, hang_up);
        QFETCH(QStringList, shown);

        harness::MessageLog log(rules);
        {
            OpenLine line;
            QVERIFY(line.opened);
            auto [peer, worker, spy] = line.parts();
            int lost = 0;
            QObject context;
            worker.set_port_lost_handler(&context, [&] { ++lost; });
            worker.update_reply_connect();
            if (hang_up) {
                peer.hang_up();
                QTRY_COMPARE_WITH_TIMEOUT(lost, 1, patience_ms);
            } else {
                QVERIFY(peer.send(0x41));
                QCOMPARE(replies(spy, 1), QList<uchar>{0x41});
            }
        }
        // The worker's two messages, in whatever category they come; the
        // error's own words vary, its start does not.
        const QLatin1String error("serial port error");
        QStringList seen;
        for (const harness::MessageLog::Entry &e : log.entries())
            if (e.text.startsWith(QLatin1String("FeedBack")) || e.text.startsWith(error))
                seen << QStringLiteral("%1 %2: %3")
                            .arg(e.type == QtDebugMsg ? "debug" : "warning", e.category,
                                 e.text.startsWith(error) ? QString(error) : e.text);
        QCOMPARE(seen, shown);
    }

    void operations_after_shut_down_fail_without_blocking()
    {
        OpenLine line;
        QVERIFY(line.opened);
        auto [peer, worker, spy] = line.parts();
        worker.shut_down();
        QVERIFY(!worker.thread.isRunning());
        QVERIFY(!worker.has_port());
        QVERIFY(worker.reopen_port());
        QVERIFY(worker.write_and_wait(0x41));
        worker.update_reply_connect();
        worker.close_port();
    }
};

QTEST_GUILESS_MAIN(TstSerialWorker)
#include "tst_serial_worker.moc"
