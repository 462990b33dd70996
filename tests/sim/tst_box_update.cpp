// The update as the simulated box plays it, from the tool's end of the line:
// the opening, the header's verdict, blocks, lines and the final verdict.

#include "box_script.h"

#include <QtTest>

using namespace boxsim;
using namespace boxscript;
using namespace std::chrono_literals;

class TstBoxUpdate : public ConversationTest
{
    Q_OBJECT

protected:
    void add_rows() override;

private slots:
    void update_stores_blocks();
};

namespace {

constexpr int lines_per_block = static_cast<int>(block_lines);
constexpr int check_byte_at = static_cast<int>(stored_line_bytes) - 1; // a line's last

// Sends one line: each byte before the check byte answered '^', the check
// byte with `check_answer`.
Script send_line(const QByteArray &line, const QByteArrayList &check_answer)
{
    Script s;
    for (int i = 0; i < check_byte_at; ++i)
        s << say(line.mid(i, 1), {"^"});
    s << say(line.mid(check_byte_at, 1), check_answer);
    return s;
}

// Line `line` of block `block` in the blocks of update_stores_blocks().
QByteArray block_line(int block, int line)
{
    return good_line(block * lines_per_block + line);
}

// Sends the lines of a block, each answered 'T' then '^' (or 'Y' after the
// last).
void append_lines(Script &s, int block)
{
    for (int line = 0; line < lines_per_block; ++line)
        s << send_line(block_line(block, line), {"T", line == lines_per_block - 1 ? "Y" : "^"});
}

} // namespace

void TstBoxUpdate::add_rows()
{
    const Setup none = nothing();
    QTest::newRow("update: a line byte of value 'E' after a quiet is data")
        << none << Script{say("E", {"P"}), say("R", {"Q"}),         say(raw({1, 2, 3, 4}), {"Y"}),
                          say("a", {"_"}), say(raw({0xE0}), {"^"}), say("E", {"^"}, 300)}
        << none;

    // Update, before and between blocks.
    QTest::newRow("update: extra 'P' answered 'R' again")
        << Setup([](Box &b) { b.set_extra_p(1); })
        << Script{say("E", {"P"}), say("R", {"P"}), say("R", {"Q"})} << none;
    for (char v : {'V', 'W', 'X'}) {
        QTest::newRow(qPrintable(QStringLiteral("update: header verdict %1 ends it").arg(v)))
            << Setup([v](Box &b) { b.set_header_verdict(static_cast<uint8_t>(v)); })
            << Script{say("E", {"P"}), say("R", {"Q"}), say(raw({1, 2, 3, 4}), {QByteArray(1, v)}), say("a")}
            << Setup([](Box &b) {
                   QCOMPARE(b.completed(Conversation::update), 1);
                   QCOMPARE(b.received_header(), (std::optional<std::array<uint8_t, 4>>({1, 2, 3, 4})));
               });
    }
    for (char v : {'S', 'Z', ']'}) {
        Script s = update_opening();
        s << say("[", {QByteArray(1, v)}) << say("[", {QByteArray(1, v)});
        QTest::newRow(qPrintable(QStringLiteral("update: final verdict %1, repeated").arg(v)))
            << Setup([v](Box &b) { b.set_final_verdict(static_cast<uint8_t>(v)); }) << s
            << completed(Conversation::update, 1);
    }
    QTest::newRow("update: 4th header byte dropped, then resent alone")
        << Setup([](Box &b) { b.add_fault(Fault::silence(Trigger::update_header(3), 0ms)); })
        << Script{say("E", {"P"}), say("R", {"Q"}), say(raw({1, 2, 3, 4})), say(raw({4}), {"Y"})}
        << Setup([](Box &b) {
               QCOMPARE(b.received_header(), (std::optional<std::array<uint8_t, 4>>({1, 2, 3, 4})));
           });
    {
        Script s = update_opening();
        s << say(raw({0x44}), {"Y"}) << say("a", {"_"}) << say("a", {"_"}) << say(raw({0xE0}), {"^"});
        QTest::newRow("update: a resend gets the last request again") << none << s << none;
    }
    {
        Script s = update_opening();
        s << say("a", {"_"}) << say(raw({0xE0}), {"^"});
        QByteArray bad = good_line(0);
        bad[check_byte_at] = static_cast<char>(bad[check_byte_at] + 1);
        s << send_line(bad, {"U", "^"}) << send_line(good_line(0), {"T", "^"});
        QTest::newRow("update: a bad check byte gets 'U' and the line again")
            << none << s << Setup([](Box &b) {
                   QCOMPARE(b.lines_rejected(), 1);
                   QCOMPARE(b.lines_accepted(), 1);
               });
    }
    {
        Script s = update_opening();
        s << say("a", {"_"}) << say(raw({0xE0}), {"^"});
        const QByteArray good = good_line(0);
        for (int pass = 0; pass < 3; ++pass)
            s << send_line(good, {pass < 2 ? "U" : "T", "^"});
        QTest::newRow("update: scripted 'U' twice after a good line")
            << Setup([](Box &b) { b.add_fault(Fault::resend_line(Trigger::update_line(0, 0), 2)); }) << s
            << Setup([](Box &b) { QCOMPARE(b.lines_rejected(), 2); });
    }
    {
        Script s = update_opening();
        s << say("a", {"_"}) << say(raw({0xE0}), {"^"});
        s << send_line(good_line(0), {"T^"});
        QTest::newRow("update: 'T' and '^' joined in one write")
            << Setup([](Box &b) { b.add_fault(Fault::joined(Trigger::update_line(0, 0))); }) << s << none;
    }
    {
        Script s = update_opening();
        s << say("a", {"_"}) << say(raw({0xE0}), {"^"}) << say(raw({1}), {"^"}) << say(raw({2}), {"]"})
          << say("b", {"c", raw({0x18})});
        QTest::newRow("update: ']' mid-line ends it")
            << Setup([](Box &b) { b.add_fault(Fault::end(Trigger::update_line(0, 0, 1), {']'})); }) << s
            << none;
    }
    {
        Script s = update_opening();
        s << say("a", {raw({0x00}), "_"}) << say(raw({0xE0}), {"^"});
        QTest::newRow("update: the block start trigger matches the block's 'a'")
            << with(Fault::noise(Trigger::update_block_start(0), {0x00})) << s << hits(1);
    }
}

void TstBoxUpdate::update_stores_blocks()
{
    Box box;
    ToolEnd tool(box.slave_path());
    Script s = update_opening();
    const int addresses[] = {0xE0, 0x02};
    for (int block = 0; block < 2; ++block) {
        s << say("a", {"_"}) << say(raw({addresses[block]}), {"^"});
        append_lines(s, block);
    }
    s << say("a", {"_"}) << say("[", {"_"}) << say(raw({0x04}), {"^"}); // a third block begins
    QVERIFY(run_script(tool, s));
    QVERIFY(box.wait_idle(20ms, 2s));

    const auto blocks = box.received_blocks();
    QCOMPARE(blocks.size(), size_t(2));
    for (int block = 0; block < 2; ++block) {
        QCOMPARE(int(blocks[block].address_high), addresses[block]);
        QByteArray lines;
        for (int line = 0; line < lines_per_block; ++line)
            lines += block_line(block, line);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(blocks[block].lines.data()), block_line_bytes),
                 lines);
    }
    QCOMPARE(box.lines_accepted(), 2 * lines_per_block);
    QCOMPARE(box.completed(Conversation::update), 0);

    // After a reset, a new session starts with nothing received.
    box.reset();
    QVERIFY(run_script(tool, {say("E", {"P"})}));
    QVERIFY(box.wait_idle(20ms, 2s));
    QVERIFY(box.received_blocks().empty());
    QVERIFY(!box.received_header());
}

QTEST_GUILESS_MAIN(TstBoxUpdate)
#include "tst_box_update.moc"
