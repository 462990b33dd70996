// The one set of rules by which both front ends perform a conversation's
// actions: an action's own event first, nothing after the end, events held
// while actions are performed.
#include <QTest>

#include <deque>
#include <map>

#include "action_runner.h"

using namespace protocol;
using Halt = ActionRunner::Halt;

namespace {

// A conversation that answers each event with the next actions queued for it
// and writes what it hears into the shared trace as "<event>".
class Scripted : public Conversation
{
public:
    explicit Scripted(QStringList &trace)
        : trace(trace)
    { }
    std::map<QString, std::deque<Actions>> answers;

private:
    Actions next(const QString &event)
    {
        trace << QStringLiteral("<%1>").arg(event);
        std::deque<Actions> &queue = answers[event];
        if (queue.empty())
            return {};
        Actions actions = queue.front();
        queue.pop_front();
        return actions;
    }
    Actions do_start() override { return next(QStringLiteral("start")); }
    Actions do_reply(uint8_t byte) override { return next(QStringLiteral("reply ") + QChar(byte)); }
    Actions do_silence() override { return next(QStringLiteral("silence")); }
    Actions do_read(std::optional<uint8_t> byte) override
    {
        return next(QStringLiteral("read ") + (byte ? QString(QChar(*byte)) : QStringLiteral("none")));
    }
    Actions do_send_failed() override { return next(QStringLiteral("send failed")); }
    Actions do_message_closed() override { return next(QStringLiteral("closed")); }
    Actions do_line_lost() override { return next(QStringLiteral("lost")); }

    QStringList &trace;
};

// A front end that writes each call into the trace. Replies listed in
// `during_pause` or `during_message` are fed while that action runs; those
// in `stale` no longer apply when their turn comes.
class Front : public FrontEnd
{
public:
    explicit Front(QStringList &trace)
        : trace(trace)
    { }
    ActionRunner *runner = nullptr;
    QByteArray during_pause, during_message, stale;
    LineResult send_result = LineResult::ok;
    LineResult pause_result = LineResult::ok;
    std::optional<uint8_t> read_result;

    void clear() override { trace << QStringLiteral("clear"); }
    void listen() override { trace << QStringLiteral("listen"); }
    LineResult send(uint8_t byte, bool) override
    {
        trace << QStringLiteral("send ") + QChar(byte);
        return send_result;
    }
    LineResult pause(milliseconds) override
    {
        trace << QStringLiteral("pause");
        feed(during_pause);
        return pause_result;
    }
    LineResult read_byte(milliseconds, uint8_t &byte) override
    {
        trace << QStringLiteral("read");
        byte = read_result.value_or(0);
        return read_result ? LineResult::ok : LineResult::timed_out;
    }
    void arm_watchdog(milliseconds) override { trace << QStringLiteral("watchdog"); }
    void stop_watchdog() override { trace << QStringLiteral("watchdog stop"); }
    void progress(int value) override { trace << QStringLiteral("progress %1").arg(value); }
    void row(int satellite, const QByteArray &) override { trace << QStringLiteral("row %1").arg(satellite); }
    void log(const QByteArray &text) override { trace << QStringLiteral("log ") + QString::fromLatin1(text); }
    void status(Status, int) override { trace << QStringLiteral("status"); }
    void message(const Action &) override
    {
        trace << QStringLiteral("message");
        feed(during_message);
    }
    void end(const Action &) override { trace << QStringLiteral("end"); }
    bool still_current(const LineEvent &event) const override { return !stale.contains(char(event.byte)); }

private:
    void feed(const QByteArray &bytes)
    {
        for (const char b : bytes)
            runner->feed(LineEvent::reply(uint8_t(b)));
    }
    QStringList &trace;
};

Action send(char byte)
{
    return Action::send(uint8_t(byte), false);
}

struct Case {
    std::map<QString, std::deque<Actions>> answers;
    QByteArray during_pause, during_message, stale;
    LineResult send_result = LineResult::ok;
    LineResult pause_result = LineResult::ok;
    std::optional<uint8_t> read_result;
    QByteArray fed_after; // replies fed once start() has returned
};

} // namespace

Q_DECLARE_METATYPE(Case)
Q_DECLARE_METATYPE(Halt)

class TstActionRunner : public QObject
{
    Q_OBJECT

private slots:
    void rules_data()
    {
        QTest::addColumn<Case>("c");
        QTest::addColumn<Halt>("halt");
        QTest::addColumn<QStringList>("trace");
        const Actions listen_pause_send{Action::listen(), Action::pause(milliseconds(5)), send('B')};
        {
            Case c;
            c.answers["start"] = {{Action::read_byte(milliseconds(100)), send('B')}};
            c.answers["read x"] = {{send('C')}};
            c.read_result = 'x';
            QTest::newRow("a read's result comes before the rest")
                << c << Halt::none << QStringList{"<start>", "read", "<read x>", "send C", "send B"};
            c.read_result.reset();
            c.answers["start"] = {{Action::read_byte(milliseconds(100)), send('B')}};
            QTest::newRow("a read with nothing in time")
                << c << Halt::none << QStringList{"<start>", "read", "<read none>", "send B"};
        }
        {
            Case c;
            c.answers["start"] = {{Action::send('A', true), send('B')}};
            c.answers["send failed"] = {{send('C')}};
            c.send_result = LineResult::timed_out;
            QTest::newRow("a failed send's answer comes before the rest")
                << c << Halt::none << QStringList{"<start>",       "send A", "<send failed>", "send C",
                                                  "<send failed>", "send B", "<send failed>"};
        }
        {
            Case c;
            c.answers["start"] = {{Action::listen(), Action::show(MessageId::update_failed), send('B')}};
            c.answers["closed"] = {{send('C')}};
            c.during_message = "x";
            QTest::newRow("replies reach the conversation while its message is open")
                << c << Halt::none
                << QStringList{"<start>", "listen", "message", "<reply x>", "<closed>", "send C", "send B"};
        }
        {
            Case c;
            c.answers["start"] = {{Action::listen(), Action::end(Outcome::success), send('B')}};
            c.fed_after = "x";
            QTest::newRow("nothing after the end")
                << c << Halt::ended << QStringList{"<start>", "listen", "end"};
        }
        {
            Case c;
            c.answers["start"] = {listen_pause_send};
            c.during_pause = "xy";
            QTest::newRow("replies during a pause wait, then come in order")
                << c << Halt::none
                << QStringList{"<start>", "listen", "pause", "send B", "<reply x>", "<reply y>"};
            c.stale = "x";
            QTest::newRow("a held reply that no longer applies is dropped")
                << c << Halt::none << QStringList{"<start>", "listen", "pause", "send B", "<reply y>"};
            c.stale.clear();
            c.answers["reply x"] = {{Action::end(Outcome::failure)}};
            QTest::newRow("the end drops what is still held")
                << c << Halt::ended
                << QStringList{"<start>", "listen", "pause", "send B", "<reply x>", "end"};
        }
        {
            Case c;
            c.answers["start"] = {{send('A')}};
            c.fed_after = "x";
            QTest::newRow("a reply before the conversation listens is nobody's")
                << c << Halt::none << QStringList{"<start>", "send A"};
        }
        {
            Case c;
            c.answers["start"] = {listen_pause_send};
            c.pause_result = LineResult::stopped;
            c.fed_after = "x";
            QTest::newRow("a stop during a pause lets the conversation go")
                << c << Halt::stopped << QStringList{"<start>", "listen", "pause"};
            c.pause_result = LineResult::ok;
            c.send_result = LineResult::line_lost;
            QTest::newRow("a lost line during a send lets the conversation go")
                << c << Halt::line_lost << QStringList{"<start>", "listen", "pause", "send B"};
        }
    }

    void rules()
    {
        QFETCH(Case, c);
        QFETCH(Halt, halt);
        QFETCH(QStringList, trace);
        QStringList seen;
        Scripted conversation(seen);
        conversation.answers = c.answers;
        Front front(seen);
        ActionRunner runner(front);
        front.runner = &runner;
        front.during_pause = c.during_pause;
        front.during_message = c.during_message;
        front.stale = c.stale;
        front.send_result = c.send_result;
        front.pause_result = c.pause_result;
        front.read_result = c.read_result;

        QCOMPARE(runner.start(conversation), halt);
        for (const char b : c.fed_after)
            runner.feed(LineEvent::reply(uint8_t(b)));
        QCOMPARE(seen, trace);
    }

    // A conversation started while another is being performed (a message's
    // nested event loop) is the only one that hears anything afterwards.
    void a_new_conversation_replaces_the_old()
    {
        QStringList seen;
        Scripted first(seen), second(seen);
        first.answers["start"] = {{Action::listen(), Action::show(MessageId::update_failed), send('A')}};
        second.answers["start"] = {{Action::listen()}};
        struct Nested : Front {
            using Front::Front;
            Conversation *next = nullptr;
            void message(const Action &) override { runner->start(*next); }
        } nested(seen);
        ActionRunner nested_runner(nested);
        nested.runner = &nested_runner;
        nested.next = &second;
        nested_runner.start(first);
        nested_runner.feed(LineEvent::reply('x'));
        QCOMPARE(seen, (QStringList{"<start>", "listen", "<start>", "listen", "<reply x>"}));
        QVERIFY(nested_runner.running());
    }
};

QTEST_GUILESS_MAIN(TstActionRunner)
#include "tst_action_runner.moc"
