#include "engine_script.h"
#include "update_session.h"

#include <QtTest>

using namespace protocol;
using script::Script;

namespace {

const QString W = "watchdog 2000";
const FirmwareConfig header{{0xE0, 0xE1, 0xE2, 0xE3}};
const QStringList header_sent = script::sends("\xe0\xe1\xe2\xe3", false);
const QStringList entry{"status Getting into Bootloader Mode...", "clear", "send 0x45 wait", "pause 400",
                        "read 3000"};
const QStringList entered{"listen", "status Bootloader Started...", "clear", "send 0x52"};
const QStringList resent_e3{"clear", "send 0xe3 wait", "log 526573656e646564", W}; // "Resended"

// Block b: page 0x10 + b, and line bytes that differ from those of the other
// blocks at the same place.
std::vector<PackageBlock> package(int count)
{
    std::vector<PackageBlock> blocks(static_cast<size_t>(count));
    for (int b = 0; b < count; ++b) {
        for (size_t i = 0; i < package_block_size; ++i)
            blocks[size_t(b)].bytes[i] = uint8_t(b * 89 + i * 3 + i / 7);
        set_block_page(blocks[size_t(b)], uint16_t((0x10 + b) << 8));
    }
    return blocks;
}

// Bytes from..to (inclusive) of block b.
QByteArray block(int b, size_t from, size_t to)
{
    const PackageBlock pb = package(b + 1)[size_t(b)];
    return QByteArray(reinterpret_cast<const char *>(pb.bytes + from), int(to - from + 1));
}

QByteArray line_of(int b, size_t line, size_t first, size_t last)
{
    return block(b, block_line_pos(line, first), block_line_pos(line, last));
}

QString loaded(int count)
{
    return describe(Action::show_status(Status::bytes_loaded, count));
}

QString sent(uint8_t byte)
{
    return describe(Action::send(byte, false));
}

Script begun()
{
    return Script().start().read('P');
}

QStringList closes(const QString &message)
{
    return {W, "message " + message, "end failure"};
}

} // namespace

class TstProtocolUpdate : public QObject
{
    Q_OBJECT

private slots:
    void actions_data();
    void actions();
    void line_bytes_data();
    void line_bytes();
    void whole_update();
};

void TstProtocolUpdate::actions_data()
{
    QTest::addColumn<Script>("setup");
    QTest::addColumn<Script>("events");
    QTest::addColumn<QStringList>("actions");

    // Entry.
    QTest::newRow("start") << Script() << Script().start() << entry;
    QTest::newRow("'P' within the read") << Script().start() << Script().read('P') << entered;
    QTest::newRow("another byte at entry") << Script().start() << Script().read('Q').closed()
                                           << QStringList{"message device_not_prepared", "end failure"};
    QTest::newRow("nothing at entry") << Script().start() << Script().read(std::nullopt).closed()
                                      << QStringList{"message device_not_prepared", "end failure"};
    QTest::newRow("a failed entry answers nothing")
        << Script().start() << Script().read(0).replies("PQ").silence().send_failed().closed()
        << QStringList{"message device_not_prepared", "end failure"};
    QTest::newRow("replies before the read's result are not answered")
        << Script().start() << Script().replies("PQY").silence() << QStringList();
    QTest::newRow("the entry's 'E' is not checked")
        << Script().start() << Script().send_failed().read('P') << entered;
    QTest::newRow("a second read result is ignored") << begun() << Script().read('P') << QStringList();
    QTest::newRow("no watchdog before the first answer") << begun() << Script().silence() << QStringList();
    QTest::newRow("send failed after the entry")
        << begun() << Script().send_failed().reply('Q') << QStringList{"end failure update_line_lost"};
    QTest::newRow("line lost at entry")
        << Script().start() << Script().lost().read('P') << QStringList{"end failure update_line_lost"};
    QTest::newRow("line lost while running") << begun().reply('Q') << Script().lost().silence().reply('Y')
                                             << QStringList{"end failure update_line_lost"};

    // The box's replies.
    QTest::newRow("'P'") << begun() << Script().reply('P') << QStringList{W, sent('R')};
    QTest::newRow("'Q': four header bytes without wait")
        << begun() << Script().reply('Q') << QStringList{W} + header_sent;
    QTest::newRow("silence after 'Q' resends only the 4th")
        << begun() << Script().reply('Q').silence().silence()
        << QStringList{W} + header_sent + resent_e3 + resent_e3;
    QTest::newRow("'S'") << begun() << Script().reply('S').replies("SQY^").silence().lost().closed()
                         << QStringList{W, "progress 2", "status Update completed!",
                                        "end success update_completed"};
    for (const char b : QByteArray("RTU[\\\x00\x4f\x60\xff", 9))
        QTest::addRow("0x%02x changes nothing", uint8_t(b))
            << begun() << Script().reply(uint8_t(b)) << QStringList{W};
    QTest::newRow("'V'") << begun() << Script().reply('V').closed() << closes("cpu_mismatch");
    QTest::newRow("'W'") << begun() << Script().reply('W').closed() << closes("cpu_mismatch");
    QTest::newRow("'X'") << begun() << Script().reply('X').closed() << closes("package_too_old");
    QTest::newRow("']'") << begun() << Script().reply(']').closed() << closes("data_write_error");
    QTest::newRow("'Z'") << begun() << Script().reply('Z').closed()
                         << QStringList{W, "status Update process failed!", "message update_failed",
                                        "end failure"};
    QTest::newRow("with the failure box open the session answers")
        << begun() << Script().reply('V').reply('Q').silence().closed().reply('Q')
        << QStringList{W, "message cpu_mismatch", W} + header_sent + resent_e3 + QStringList{"end failure"};
    QTest::newRow("15 'U' honoured") << begun() << Script().replies(15, 'U') << script::repeat(15, W);
    QTest::newRow("16th 'U' ends") << begun() << Script().replies(16, 'U').closed()
                                   << script::repeat(15, W) + closes("line_retries_exhausted");
    QTest::newRow("'T' resets the count")
        << begun() << Script().replies(15, 'U').reply('T').replies(15, 'U') << script::repeat(31, W);
    QTest::newRow("'Y': progress, 'a'")
        << begun() << Script().reply('Y') << QStringList{W, "progress 0", sent('a')};
    QTest::newRow("'Y' after the last block: '['")
        << begun() << Script().replies("YYYY")
        << QStringList{W, "progress 0", sent('a'), W, "progress 1", sent('a'), W, sent('['), W, sent('[')};
    QTest::newRow("'_' sends the page byte")
        << begun().replies("YY") << Script().reply('_') << QStringList{W, sent(0x11)};
    QTest::newRow("first '^' after 'Y' sends block byte 2")
        << begun().reply('Y') << Script().reply('^')
        << QStringList{W, loaded(1), sent(uint8_t(block(0, 2, 2)[0]))};
    QTest::newRow("'^' before the first block")
        << begun().reply('Q') << Script().reply('^') << QStringList{W};
    QTest::newRow("'^' after '['") << begun().replies("YY^^Y") << Script().reply('^') << QStringList{W};
}

void TstProtocolUpdate::actions()
{
    QFETCH(Script, setup);
    QFETCH(Script, events);
    QFETCH(QStringList, actions);

    UpdateSession session(header, package(2));
    script::run(session, setup);
    QCOMPARE(script::texts(session, events), actions);
    QVERIFY(session.ended() || session.watchdog_armed() || session.waits_unwatched()
            || session.awaiting_read() || session.open_messages() > 0);
}

void TstProtocolUpdate::line_bytes_data()
{
    QTest::addColumn<Script>("events");
    QTest::addColumn<QByteArray>("bytes");

    const Script first = begun().reply('Y');
    QTest::newRow("17 per line, then the next line")
        << Script(first).replies(18, '^') << line_of(0, 0, 0, 16) + line_of(0, 1, 0, 0);
    QTest::newRow("'U' mid-line restarts the line")
        << Script(first).replies(5, '^').reply('U').replies(2, '^')
        << line_of(0, 0, 0, 4) + line_of(0, 0, 0, 1);
    QTest::newRow("'U' after a whole line restarts that line")
        << Script(first).replies(17, '^').reply('U').reply('^') << line_of(0, 0, 0, 16) + line_of(0, 0, 0, 0);
    QTest::newRow("'U' early in line 1 restarts line 1")
        << Script(first).replies(20, '^').reply('U').reply('^')
        << line_of(0, 0, 0, 16) + line_of(0, 1, 0, 2) + line_of(0, 1, 0, 0);
    QTest::newRow("15th 'U' still restarts") << Script(first).replies(3, '^').replies(15, 'U').reply('^')
                                             << line_of(0, 0, 0, 2) + line_of(0, 0, 0, 0);
    QTest::newRow("'T' then '^' goes on")
        << Script(first).replies(17, '^').reply('T').reply('^') << line_of(0, 0, 0, 16) + line_of(0, 1, 0, 0);
    QTest::newRow("never past the block's 544 line bytes")
        << Script(first).replies(600, '^') << block(0, 2, package_block_size - 1);
    QTest::newRow("'U' after the block's last byte restarts line 31")
        << Script(first).replies(544, '^').reply('U').replies(2, '^')
        << block(0, 2, package_block_size - 1) + line_of(0, 31, 0, 1);
    QTest::newRow("the second block starts at its byte 2")
        << Script(first).replies(544, '^').replies("Y_^")
        << block(0, 2, package_block_size - 1) + "a" + block(1, 0, 0) + block(1, 2, 2);
    QTest::newRow("'Y' amid a block starts the next one at its byte 2")
        << Script(first).replies(5, '^').replies("Y^") << line_of(0, 0, 0, 4) + "a" + block(1, 2, 2);
    QTest::newRow("'U' before a block's first byte, then '^'")
        << Script(first).replies("U^^") << line_of(0, 0, 0, 1);
}

void TstProtocolUpdate::line_bytes()
{
    QFETCH(Script, events);
    QFETCH(QByteArray, bytes);

    UpdateSession session(header, package(2));
    const QByteArray all = script::sent(script::run(session, events));
    // 'E', 'R', 'a' come first.
    QCOMPARE(all.left(3), QByteArray("ERa"));
    QCOMPARE(all.mid(3), bytes);
}

// Three blocks line by line, one line asked for again, then '[' and 'S'.
void TstProtocolUpdate::whole_update()
{
    constexpr int blocks = 3;
    UpdateSession session(header, package(blocks));
    Script s = begun().reply('Q');
    QByteArray expected = QByteArray("ER") + "\xe0\xe1\xe2\xe3";
    for (int b = 0; b < blocks; ++b) {
        s.replies("Y_");
        expected += 'a' + block(b, 0, 0);
        for (size_t line = 0; line < block_lines; ++line) {
            s.replies(int(stored_line_bytes), '^');
            expected += line_of(b, line, 0, stored_line_bytes - 1);
            if (b == 1 && line == 5) {
                s.reply('U').replies(int(stored_line_bytes), '^');
                expected += line_of(b, line, 0, stored_line_bytes - 1);
            }
            s.reply('T');
        }
    }
    s.replies("Y\\S");
    expected += '[';

    const Actions all = script::run(session, s);
    QCOMPARE(script::sent(all), expected);
    QCOMPARE(script::texts_of(all, Action::Kind::progress),
             (QStringList{"progress 0", "progress 1", "progress 2", "progress 3"}));
    const int count = blocks * int(block_line_bytes) + int(stored_line_bytes);
    QCOMPARE(session.bytes_loaded(), count);
    const QStringList statuses = script::texts_of(all, Action::Kind::status);
    QCOMPARE(statuses.size(), 2 + count + 1);
    QCOMPARE(statuses.at(statuses.size() - 2), loaded(count));
    QCOMPARE(statuses.back(), "status Update completed!");
    QCOMPARE(script::texts_of(all, Action::Kind::end), QStringList{"end success update_completed"});
    QCOMPARE(describe(all.back()), "end success update_completed");
    QCOMPARE(session.blocks_started(), blocks);
    QVERIFY(session.ended());
    QVERIFY(!session.watchdog_armed());
}

QTEST_GUILESS_MAIN(TstProtocolUpdate)
#include "tst_protocol_update.moc"
