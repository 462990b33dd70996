#include "engine_script.h"
#include "soft_limit_exchange.h"

#include <QtTest>

using namespace protocol;
using script::Script;

namespace {

const QStringList read_start{"clear", "listen", "send 0x62 wait"};
const QStringList write_start{"clear", "listen", "send 0x64 wait"};
const QStringList counts{"send 0x01 wait", "send 0x02 wait", "send 0x03 wait", "send 0x04 wait"};
const QStringList read_end{"pause 20", "end success"};
const QStringList read_out_of_range{"pause 20", "end failure limits_read_out_of_range"};
const QStringList write_concluded{"pause 20", "message limits_set_ok"};
const QStringList write_incomplete{"pause 20", "message limits_set_incomplete"};
const QByteArray every_index("\x00\x01\x02\x03", 4);
// WEST -1000, EAST 1000 on the wire.
const QByteArray minus_plus_1000 = QByteArray::fromHex("18fce803");

Script begun()
{
    return Script().start();
}

} // namespace

class TstProtocolLimits : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void write_data();
    void write();
};

void TstProtocolLimits::read_data()
{
    QTest::addColumn<Script>("events");
    QTest::addColumn<QStringList>("actions");
    // "west east" once the read has ended; empty while it has not.
    QTest::addColumn<QString>("limits");

    QTest::newRow("west -1000 east 1000")
        << begun().reply('c').replies(minus_plus_1000) << read_start + counts + read_end << "-1000 1000";
    QTest::newRow("bytes before 'c' ignored")
        << begun().replies(QByteArray("\x00\x01\x04xbde", 7)).reply('c').replies(minus_plus_1000)
        << read_start + counts + read_end << "-1000 1000";
    QTest::newRow("0x63 after 'c' is data") << begun().reply('c').replies(QByteArray::fromHex("6300e803"))
                                            << read_start + counts + read_end << "99 1000";
    // Values no box holds are shown, with a warning instead of success.
    QTest::newRow("'c' as every limit byte")
        << begun().reply('c').replies(4, 'c') << read_start + counts + read_out_of_range << "25443 25443";
    QTest::newRow("extremes of 16 bits") << begun().reply('c').replies(QByteArray::fromHex("0080ff7f"))
                                         << read_start + counts + read_out_of_range << "-32768 32767";
    QTest::newRow("-5000 and 5000 in range") << begun().reply('c').replies(QByteArray::fromHex("78ec8813"))
                                             << read_start + counts + read_end << "-5000 5000";
    QTest::newRow("5001 out of range") << begun().reply('c').replies(QByteArray::fromHex("00008913"))
                                       << read_start + counts + read_out_of_range << "0 5001";
    // What a box whose limits were never set holds.
    QTest::newRow("west not below east is no failure")
        << begun().reply('c').replies(QByteArray(4, '\0')) << read_start + counts + read_end << "0 0";
    QTest::newRow("three bytes: no end")
        << begun().reply('c').replies(minus_plus_1000.left(3)) << read_start + counts.mid(0, 3) << "";
    QTest::newRow("after the 4th byte anything is ignored")
        << begun().reply('c').replies(minus_plus_1000).replies("c\x01\x02").silence().lost().closed()
        << read_start + counts + read_end << "-1000 1000";
    QTest::newRow("no watchdog: silence does nothing")
        << begun().silence().reply('c').silence() << read_start << "";
    QTest::newRow("line lost before 'c'") << begun().lost().reply('c').replies(minus_plus_1000)
                                          << read_start + QStringList{"end failure port_unusable"} << "";
    QTest::newRow("line lost amid the limit bytes")
        << begun().reply('c').reply(0x18).lost().replies(minus_plus_1000)
        << read_start + QStringList{"send 0x01 wait", "end failure port_unusable"} << "";
}

void TstProtocolLimits::read()
{
    QFETCH(Script, events);
    QFETCH(QStringList, actions);
    QFETCH(QString, limits);

    SoftLimitRead exchange;
    QCOMPARE(script::texts(exchange, events), actions);
    QVERIFY(!exchange.watchdog_armed());
    if (!exchange.ended())
        QVERIFY(exchange.waits_unwatched());
    if (!limits.isEmpty())
        QCOMPARE(QStringLiteral("%1 %2").arg(exchange.west_limit()).arg(exchange.east_limit()), limits);
}

void TstProtocolLimits::write_data()
{
    QTest::addColumn<int>("west");
    QTest::addColumn<int>("east");
    QTest::addColumn<Script>("events");
    QTest::addColumn<QStringList>("actions");

    const QStringList out_of_range{"message limits_out_of_range", "end failure"};
    const QStringList wrong_order{"message limits_wrong_order", "end failure"};
    // A refused write sends nothing and answers nothing until its box is closed.
    const Script refused = begun().replies(QByteArray("e\x00\x01\x04", 4)).silence().closed();

    QTest::newRow("-5000 and 5000 accepted") << -5000 << 5000 << begun() << write_start;
    QTest::newRow("-5001 rejected") << -5001 << 0 << refused << out_of_range;
    QTest::newRow("5001 rejected") << 0 << 5001 << refused << out_of_range;
    QTest::newRow("west 6000 east -6000: only the range message") << 6000 << -6000 << refused << out_of_range;
    QTest::newRow("west equal to east") << 100 << 100 << refused << wrong_order;
    QTest::newRow("both zero") << 0 << 0 << refused << wrong_order;
    QTest::newRow("west above east") << 1 << 0 << refused << wrong_order;

    QTest::newRow("indices in order, then 4")
        << -1000 << 1000 << begun().reply('e').replies(QByteArray("\x00\x01\x02\x03\x04", 5)).closed()
        << write_start + script::sends(minus_plus_1000) + write_concluded + QStringList{"end success"};
    QTest::newRow("indices in any order and repeated")
        << -1000 << 1000 << begun().reply('e').replies(QByteArray("\x03\x00\x03\x01\x02\x00", 6))
        << write_start + script::sends(QByteArray::fromHex("031803fce818"));
    QTest::newRow("bytes before 'e' ignored")
        << -1000 << 1000 << begun().replies(QByteArray("\x00\x02\x04xd", 5)).reply('e').reply(2)
        << write_start + script::sends("\xe8");
    // An end before every limit byte went out is no success: the box may
    // hold its old values.
    QTest::newRow("0xFF ends without any index asked")
        << 10 << 20 << begun().reply('e').reply(0xFF).closed()
        << write_start + write_incomplete + QStringList{"end failure"};
    QTest::newRow("three of four indices, then the end")
        << -1000 << 1000 << begun().reply('e').replies(QByteArray("\x00\x01\x03\x03\x04", 5)).closed()
        << write_start + script::sends(QByteArray::fromHex("18fc0303")) + write_incomplete
            + QStringList{"end failure"};
    QTest::newRow("a second 'e' ends")
        << 10 << 20 << begun().reply('e').replies(every_index).reply('e')
        << write_start + script::sends(QByteArray::fromHex("0a001400")) + write_concluded;
    QTest::newRow("after the end byte anything is ignored")
        << -1000 << 1000
        << begun()
               .reply('e')
               .replies(every_index)
               .reply(4)
               .replies(QByteArray("\x00\x01\x04\x65", 4))
               .silence()
        << write_start + script::sends(minus_plus_1000) + write_concluded;
    QTest::newRow("end only when the box is closed")
        << -1000 << 1000 << begun().reply('e').replies(every_index).reply(4).closed().closed().reply(0)
        << write_start + script::sends(minus_plus_1000) + write_concluded + QStringList{"end success"};
    QTest::newRow("no watchdog: silence does nothing")
        << -1000 << 1000 << begun().silence().reply('e').silence() << write_start;
    QTest::newRow("line lost before 'e'") << -1000 << 1000 << begun().lost().reply('e').reply(0)
                                          << write_start + QStringList{"end failure port_unusable"};
}

void TstProtocolLimits::write()
{
    QFETCH(int, west);
    QFETCH(int, east);
    QFETCH(Script, events);
    QFETCH(QStringList, actions);

    SoftLimitWrite exchange{int16_t(west), int16_t(east)};
    QCOMPARE(script::texts(exchange, events), actions);
    QVERIFY(!exchange.watchdog_armed());
    QVERIFY(exchange.ended() || exchange.waits_unwatched());
}

QTEST_GUILESS_MAIN(TstProtocolLimits)
#include "tst_protocol_limits.moc"
