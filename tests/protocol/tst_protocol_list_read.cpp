#include "engine_script.h"
#include "list_read.h"

#include <QtTest>

#include <random>

using namespace protocol;
using script::Script;

namespace {

const QString W = "watchdog 2000";
const QString H = "send 0x48 wait";
const QString ack = "send 0xcc wait";
const QStringList lost_read{"watchdog stop", "message list_read_connection_error", "end failure"};

QString number(int k)
{
    return describe(Action::send(uint8_t(k), true));
}

// The record the box holds for satellite k; `salt` makes a second, different
// answer. 0xEF restarts a satellite, so it never stands in a record.
QByteArray record(int k, int salt = 0)
{
    QByteArray bytes(sat_record_size, 0);
    for (int i = 0; i < bytes.size(); ++i) {
        const auto b = uint8_t(k * 11 + i * 29 + salt * 101 + 3);
        bytes[i] = char(b == 0xEF ? 0xEE : b);
    }
    return bytes;
}

QString row(int k, const QByteArray &bytes)
{
    return QStringLiteral("row %1 %2").arg(k).arg(script::hex(bytes));
}

Script begun()
{
    return Script().start();
}

// Started, and satellites 1..n read whole.
Script read_whole(int n)
{
    Script s = begun();
    for (int k = 1; k <= n; ++k)
        s.reply('I').replies(record(k));
    return s;
}

// Started, 'I' answered with 1, and the first `bytes` record bytes taken.
Script amid_first(int bytes)
{
    return begun().reply('I').replies(record(1).left(bytes));
}

// Satellite k restarted `times` times: each time 0xEF after its number and
// a few record bytes, then 'I' asks k again.
Script restarted(Script s, int k, int times)
{
    for (int i = 0; i < times; ++i)
        s.reply(0xEF).reply('I').replies(record(k).left(3));
    return s;
}

const int restarts = ListRead::max_restarts_in_row;

} // namespace

class TstProtocolListRead : public QObject
{
    Q_OBJECT

private slots:
    void actions_data();
    void actions();
    void rows_data();
    void rows();
    void whole_list();
    void random_bytes_stay_in_range();
};

void TstProtocolListRead::actions_data()
{
    QTest::addColumn<Script>("setup");
    QTest::addColumn<Script>("events");
    QTest::addColumn<QStringList>("actions");

    QTest::newRow("start: clear, pause, 'H', watchdog")
        << Script() << begun() << QStringList{"clear", "listen", "pause 30", H, W};
    QTest::newRow("'I' asks for satellite 1") << begun() << Script().reply('I') << QStringList{W, number(1)};
    QTest::newRow("'I' after satellite 1 asks for 2")
        << read_whole(1) << Script().reply('I') << QStringList{W, number(2)};
    QTest::newRow("other bytes while waiting for 'I' only re-arm")
        << begun() << Script().replies(QByteArray("\x00HJ\xcc\xff", 5)) << script::repeat(5, W);
    QTest::newRow("record byte acknowledged") << amid_first(0) << Script().reply(0x41) << QStringList{W, ack};
    QTest::newRow("'I' amid a record is a record byte")
        << amid_first(3) << Script().reply('I') << QStringList{W, ack};
    QTest::newRow("20th byte: row, progress, pause, 'H'")
        << amid_first(19) << Script().reply(uint8_t(record(1)[19]))
        << QStringList{W, ack, row(1, record(1)), "progress 1", "pause 200", H};
    QTest::newRow("0xEF before 'I': number unchanged")
        << read_whole(1) << Script().reply(0xEF).reply('I') << QStringList{W, H, W, number(2)};
    QTest::newRow("0xEF after the number: same number")
        << amid_first(0) << Script().reply(0xEF).reply('I') << QStringList{W, H, W, number(1)};
    QTest::newRow("0xEF mid-record: same number")
        << amid_first(7) << Script().reply(0xEF).reply('I') << QStringList{W, H, W, number(1)};
    QTest::newRow("0xEF as the 20th byte: same number")
        << amid_first(19) << Script().reply(0xEF).reply('I') << QStringList{W, H, W, number(1)};
    QTest::newRow("0xEF twice steps back once")
        << read_whole(3).reply('I') << Script().reply(0xEF).reply(0xEF).reply('I')
        << QStringList{W, H, W, H, W, number(4)};
    QTest::newRow("0xEF past the restart limit ends the read naming the satellite")
        << restarted(amid_first(3), 1, restarts) << Script().reply(0xEF).reply('I').silence()
        << QStringList{"end failure list_read_satellite_error 1"};
    QTest::newRow("0xEF past the limit before 'I' names the satellite about to be asked")
        << restarted(read_whole(2).reply('I'), 3, restarts - 1).reply(0xEF).silence() << Script().reply(0xEF)
        << QStringList{"end failure list_read_satellite_error 3"};
    QTest::newRow("a whole record starts the count again")
        << restarted(amid_first(3), 1, restarts).replies(record(1).mid(3)).reply('I') << Script().reply(0xEF)
        << QStringList{W, H};
    QTest::newRow("stray byte after a record, then 'I' asks the next")
        << read_whole(1) << Script().reply('x').reply('I') << QStringList{W, W, number(2)};
    QTest::newRow("silence while waiting for 'I' asks again")
        << begun() << Script().silence().silence() << QStringList{H, W, H, W};
    QTest::newRow("silence amid a record, the record goes on")
        << amid_first(5) << Script().silence().reply(0x41) << QStringList{H, W, W, ack};
    QTest::newRow("silence amid a record, 'I' asks the same number")
        << amid_first(5) << Script().silence().reply('I') << QStringList{H, W, W, number(1)};
    QTest::newRow("silence after the number, 'I' asks it again")
        << amid_first(0) << Script().silence().silence().reply('I') << QStringList{H, W, H, W, W, number(1)};
    QTest::newRow("silence after a record, 'I' asks the next")
        << read_whole(1) << Script().silence().reply('I') << QStringList{H, W, W, number(2)};
    QTest::newRow("after the record went on, 'I' is a record byte again")
        << amid_first(5) << Script().silence().reply(0x41).reply('I') << QStringList{H, W, W, ack, W, ack};
    QTest::newRow("first 'H' not written")
        << Script() << begun().send_failed().reply('I').silence().lost().closed()
        << QStringList{"clear", "listen", "pause 30", H, W} + lost_read;
    QTest::newRow("failed send after a reply changes nothing")
        << begun().reply('x') << Script().send_failed().reply('I') << QStringList{W, number(1)};
    QTest::newRow("failed send after a silence changes nothing")
        << begun() << Script().silence().send_failed() << QStringList{H, W};
    QTest::newRow("failed number send changes nothing")
        << amid_first(0) << Script().send_failed().reply(0x41) << QStringList{W, ack};
    QTest::newRow("line lost amid a record")
        << amid_first(3) << Script().lost().reply('I').silence().send_failed().lost().closed() << lost_read;
    QTest::newRow("closed without a box does nothing") << begun() << Script().closed() << QStringList();
    QTest::newRow("read result without a read does nothing")
        << begun() << Script().read('I').read(std::nullopt) << QStringList();
}

void TstProtocolListRead::actions()
{
    QFETCH(Script, setup);
    QFETCH(Script, events);
    QFETCH(QStringList, actions);

    ListRead read;
    script::run(read, setup);
    QCOMPARE(script::texts(read, events), actions);
    QVERIFY(read.ended() || read.watchdog_armed() || read.open_messages() > 0);
}

void TstProtocolListRead::rows_data()
{
    QTest::addColumn<Script>("events");
    QTest::addColumn<QStringList>("rows");

    const QByteArray a = record(1);
    const QByteArray b = record(1, 1);
    QTest::newRow("after a silence mid-record, 'I': the row is the new 20 bytes only")
        << amid_first(10).silence().reply('I').replies(b) << QStringList{row(1, b)};
    QTest::newRow("after a silence mid-record, the record goes on")
        << amid_first(10).silence().replies(a.mid(10)) << QStringList{row(1, a)};
    QTest::newRow("0xEF as a record byte value is never stored")
        << amid_first(19).reply(0xEF).reply('I').replies(b) << QStringList{row(1, b)};
    QTest::newRow("0xEF right after the number")
        << amid_first(0).reply(0xEF).reply('I').replies(a) << QStringList{row(1, a)};
    QTest::newRow("stray byte after a record: the next satellite follows")
        << read_whole(1).reply('x').reply('I').replies(record(2))
        << QStringList{row(1, a), row(2, record(2))};
    QTest::newRow("0xEF after a whole record: the next satellite follows")
        << read_whole(1).reply(0xEF).reply('I').replies(record(2))
        << QStringList{row(1, a), row(2, record(2))};
}

void TstProtocolListRead::rows()
{
    QFETCH(Script, events);
    QFETCH(QStringList, rows);

    ListRead read;
    QCOMPARE(script::texts_of(script::run(read, events), Action::Kind::row_ready), rows);
}

void TstProtocolListRead::whole_list()
{
    ListRead read;
    const Actions all = script::run(read, read_whole(sat_count));

    QByteArray sent("H");
    QStringList rows, progress, pauses{"pause 30"};
    for (int k = 1; k <= sat_count; ++k) {
        sent += char(k) + QByteArray(sat_record_size, char(0xCC));
        rows << row(k, record(k));
        progress << QStringLiteral("progress %1").arg((k + 1) / 2);
        if (k < sat_count) {
            sent += 'H';
            pauses << "pause 200";
        }
    }
    QCOMPARE(script::sent(all), sent);
    QCOMPARE(script::texts_of(all, Action::Kind::row_ready), rows);
    QCOMPARE(script::texts_of(all, Action::Kind::progress), progress);
    QCOMPARE(script::texts_of(all, Action::Kind::pause), pauses);
    QCOMPARE(script::texts_of(all, Action::Kind::end), QStringList{"end success list_read_ok"});
    QCOMPARE(describe(all.back()), "end success list_read_ok");
    QCOMPARE(progress.back(), "progress 100");
    QVERIFY(read.ended());
    QVERIFY(!read.watchdog_armed());
    QCOMPARE(read.satellite(), sat_count);

    const Script after = Script().reply('I').reply(0xEF).reply(0).silence().send_failed().lost().closed();
    QCOMPARE(script::texts(read, after), QStringList());
}

// Whatever the box sends, the read asks only for numbers 1..199, each the
// satellite it is at, and gives rows of 20 bytes for 1..199 only.
void TstProtocolListRead::random_bytes_stay_in_range()
{
    std::mt19937 random(20240611);
    int reads_ended = 0, highest = 0;
    auto read = std::make_unique<ListRead>();
    script::run(*read, begun());
    for (int n = 0; n < 100000; ++n) {
        const unsigned pick = random() % 1000;
        Actions actions;
        if (pick < 300)
            actions = read->on_reply('I');
        else if (pick < 305)
            actions = read->on_reply(0xEF);
        else if (pick < 315)
            actions = read->on_silence();
        else
            actions = read->on_reply(uint8_t(random()));

        for (const Action &a : actions) {
            if (a.kind == Action::Kind::send && a.byte != 'H' && a.byte != 0xCC) {
                QVERIFY2(a.byte >= 1 && a.byte <= sat_count, qPrintable(describe(a)));
                QVERIFY2(a.byte == read->satellite(), qPrintable(describe(a)));
                highest = qMax(highest, int(a.byte));
            }
            if (a.kind == Action::Kind::row_ready)
                QVERIFY2(a.value == read->satellite(), qPrintable(describe(a)));
        }
        QVERIFY(read->satellite() >= 0 && read->satellite() <= sat_count);
        QVERIFY(script::of_kind(actions, Action::Kind::end).size() == (read->ended() ? 1u : 0u));
        if (read->ended()) {
            ++reads_ended;
            read = std::make_unique<ListRead>();
            script::run(*read, begun());
        }
    }
    // The bound was reached, not merely never approached.
    QCOMPARE(highest, sat_count);
    QVERIFY(reads_ended > 0);
}

QTEST_GUILESS_MAIN(TstProtocolListRead)
#include "tst_protocol_list_read.moc"
