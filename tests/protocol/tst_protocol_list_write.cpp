#include "engine_script.h"
#include "list_write.h"

#include <QtTest>

using namespace protocol;
using script::Script;

namespace {

constexpr int satellites = 199;
const QString W = "watchdog 2000";
const QStringList resend{"log 526573656e64", "send 0xef wait", W}; // "Resend"
const QStringList error_box{"watchdog stop", "message list_transfer_error"};

QString number(int k)
{
    return describe(Action::send(uint8_t(k), true));
}

QString logged(char byte)
{
    return "log " + script::hex(QByteArray(1, byte));
}

// Every byte value appears, 0xEF and zero included: the write sends records unchanged.
QByteArray record(int k)
{
    QByteArray bytes(sat_record_size, 0);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(k * 13 + i * 7 + 1);
    return bytes;
}

// Hands out record(k) and notes which satellites were asked for.
struct Source {
    QList<int> asked;
    ListWrite::RecordSource function()
    {
        return [this](int k) {
            asked << k;
            SatRecord r;
            memcpy(r.bytes, record(k).constData(), sat_record_size);
            return r;
        };
    }
};

Script begun()
{
    return Script().start();
}

// Started, 'K', and satellites 1..n written.
Script written(int n)
{
    Script s = begun().reply('K');
    for (int k = 1; k <= n; ++k)
        s.replies("ML");
    return s;
}

} // namespace

class TstProtocolListWrite : public QObject
{
    Q_OBJECT

private slots:
    void actions_data();
    void actions();
    void sent_data();
    void sent();
    void record_actions();
    void whole_list();
};

void TstProtocolListWrite::actions_data()
{
    QTest::addColumn<Script>("setup");
    QTest::addColumn<Script>("events");
    QTest::addColumn<QStringList>("actions");

    const QStringList ask_1{W, logged('M'), number(1)};
    QTest::newRow("start: 'J', watchdog")
        << Script() << begun() << QStringList{"clear", "listen", "send 0x4a wait", W};
    QTest::newRow("'K' at the start") << begun() << Script().reply('K') << QStringList{W, logged('K')};
    QTest::newRow("'K' twice before the first number")
        << begun() << Script().replies("KK") << QStringList{W, logged('K'), W, logged('K')};
    QTest::newRow("'M' right after 'J'") << begun() << Script().reply('M') << ask_1;
    QTest::newRow("'M' after a record: the next number")
        << written(1) << Script().reply('M') << QStringList{W, logged('M'), number(2)};
    QTest::newRow("'M' twice: two numbers")
        << written(0) << Script().replies("MM") << ask_1 + QStringList{W, logged('M'), number(2)};
    QTest::newRow("'K' after the first number")
        << written(0).reply('M') << Script().reply('K').closed()
        << QStringList{W, logged('K')} + error_box + QStringList{"end failure"};
    QTest::newRow("'L' before the first 'M'")
        << written(0) << Script().reply('L').closed()
        << QStringList{W, logged('L')} + error_box + QStringList{"end failure"};
    for (const char b : QByteArray("N\x00\xef\x4aI", 5))
        QTest::addRow("other byte 0x%02x", uint8_t(b))
            << written(1) << Script().reply(uint8_t(b)) << QStringList{W, logged(b)} + error_box;
    QTest::newRow("after an error every reply is ignored")
        << written(0).reply('x') << Script().replies("MLK").silence().lost().send_failed() << QStringList();
    QTest::newRow("line lost") << written(2) << Script().lost().reply('M').silence().closed()
                               << error_box + QStringList{"end failure"};
    QTest::newRow("silence before any reply") << begun() << Script().silence().reply('M') << resend + ask_1;
    QTest::newRow("silence after 'K' keeps 0")
        << written(0) << Script().silence().reply('M') << resend + ask_1;
    QTest::newRow("silence after the first 'M' steps back")
        << written(0).reply('M') << Script().silence().reply('M') << resend + ask_1;
    QTest::newRow("silence after 'M' steps back") << written(1).reply('M') << Script().silence().reply('M')
                                                  << resend + QStringList{W, logged('M'), number(2)};
    QTest::newRow("two silences after 'M' step back once")
        << written(1).reply('M') << Script().silence().silence().reply('M')
        << resend + resend + QStringList{W, logged('M'), number(2)};
    QTest::newRow("silence after 'L' keeps the number")
        << written(1) << Script().silence().reply('M') << resend + QStringList{W, logged('M'), number(2)};
    QTest::newRow("failed send changes nothing") << written(0) << Script().send_failed().reply('M') << ask_1;
    QTest::newRow("closed without a box does nothing") << written(0) << Script().closed() << QStringList();
}

void TstProtocolListWrite::actions()
{
    QFETCH(Script, setup);
    QFETCH(Script, events);
    QFETCH(QStringList, actions);

    Source source;
    ListWrite write(source.function());
    script::run(write, setup);
    QCOMPARE(script::texts(write, events), actions);
    QVERIFY(write.ended() || write.watchdog_armed() || write.open_messages() > 0);
}

void TstProtocolListWrite::sent_data()
{
    QTest::addColumn<Script>("setup");
    QTest::addColumn<Script>("events");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("asked");

    QTest::newRow("'L' sends the record of the number last sent")
        << written(1).reply('M') << Script().reply('L') << record(2) << QList<int>{2};
    QTest::newRow("'L' twice sends the record twice")
        << written(0).reply('M') << Script().replies("LL") << record(1) + record(1) << QList<int>{1, 1};
    QTest::newRow("after the 199th record: 200, then nothing")
        << written(satellites) << Script().replies("MMLK").silence() << QByteArray("\xc8") << QList<int>{};
}

void TstProtocolListWrite::sent()
{
    QFETCH(Script, setup);
    QFETCH(Script, events);
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, asked);

    Source source;
    ListWrite write(source.function());
    script::run(write, setup);
    source.asked.clear();
    QCOMPARE(script::sent(script::run(write, events)), bytes);
    QCOMPARE(source.asked, asked);
}

// An 'L': the 20 bytes in order, each written before the 5 ms the box needs,
// the progress shown once within the first pause.
void TstProtocolListWrite::record_actions()
{
    Source source;
    ListWrite write(source.function());
    script::run(write, written(2).reply('M'));

    QStringList expected{W, logged('L')};
    for (int i = 0; i < sat_record_size; ++i) {
        expected << number(uint8_t(record(3)[i]));
        if (i == 0)
            expected << "progress 2";
        expected << "pause 5";
    }
    QCOMPARE(script::texts(write, Script().reply('L')), expected);
}

void TstProtocolListWrite::whole_list()
{
    Source source;
    ListWrite write(source.function());
    const Actions all = script::run(write, written(satellites).reply('M'));

    QByteArray sent("J"), log("K");
    QStringList progress;
    QList<int> asked;
    for (int k = 1; k <= satellites; ++k) {
        sent += char(k) + record(k);
        log += "ML";
        progress << QStringLiteral("progress %1").arg((k + 1) / 2);
        asked << k;
    }
    sent += char(200);
    log += 'M';
    progress << "progress 100";

    QCOMPARE(script::sent(all), sent);
    QByteArray logs;
    for (const Action &a : script::of_kind(all, Action::Kind::log))
        logs += a.data;
    QCOMPARE(logs, log);
    QCOMPARE(logs.size(), 400);
    QCOMPARE(source.asked, asked);
    QCOMPARE(script::texts_of(all, Action::Kind::progress), progress);
    const QStringList pauses = script::texts_of(all, Action::Kind::pause);
    QCOMPARE(pauses.size(), satellites * sat_record_size + 1);
    QCOMPARE(pauses.count("pause 5"), satellites * sat_record_size);
    QCOMPARE(pauses.back(), "pause 10");
    QCOMPARE(script::texts_of(all, Action::Kind::end), QStringList{"end success list_write_ok"});
    QCOMPARE(describe(all.back()), "end success list_write_ok");
    QVERIFY(write.ended());
    QVERIFY(!write.watchdog_armed());
    QCOMPARE(write.satellite(), 200);

    const Script after = Script().replies("MLKx").silence().lost().closed();
    QCOMPARE(script::texts(write, after), QStringList());
}

QTEST_GUILESS_MAIN(TstProtocolListWrite)
#include "tst_protocol_list_write.moc"
