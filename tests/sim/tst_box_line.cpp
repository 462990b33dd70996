// The simulated box's line: the pty peer alone, the box's separate arrivals,
// the link that names the terminal, and the tool closing and reopening its
// port.

#include "box_script.h"

#include <QtTest>

#include <memory>
#include <thread>
#include <unistd.h>

using namespace boxsim;
using namespace boxscript;
using namespace std::chrono_literals;

class TstBoxLine : public QObject
{
    Q_OBJECT

private slots:
    void separate_arrivals_keep_the_gap();
    void pty_peer_alone();
    void link_names_the_terminal();
    void tool_reopening_keeps_the_line();
};

void TstBoxLine::separate_arrivals_keep_the_gap()
{
    Box::Settings settings;
    settings.gap = 60ms;
    Box box(settings);
    ToolEnd tool(box.slave_path());
    QVERIFY(tool.send("J"));
    const auto arrivals = tool.take(2, patience);
    QCOMPARE(bytes_of(arrivals), (QByteArrayList{"K", "M"}));
    QVERIFY(arrivals[1].when - arrivals[0].when >= 50ms);

    // A further byte waits until the tool has read the one before.
    QVERIFY(tool.send(raw({0xEF})));
    QVERIFY(box.wait_until([&] { return box.peer().unread_by_tool() == 1; }, patience)); // 'M' again
    box.inject({0x01});
    std::this_thread::sleep_for(nothing_comes);
    QCOMPARE(box.peer().unread_by_tool(), size_t(1)); // 'M' unread, 0x01 held back
    QCOMPARE(bytes_of(tool.take(1, patience)), QByteArrayList{"M"});
    QCOMPARE(bytes_of(tool.take(1, patience)), QByteArrayList{raw({0x01})});
}

void TstBoxLine::pty_peer_alone()
{
    PtyPeer peer;
    ToolEnd tool(peer.slave_path());
    QVERIFY(tool.fd >= 0);
    QVERIFY(peer.send({0x06, 0x15}));
    QCOMPARE(bytes_of(tool.take(2, patience)), QByteArrayList{raw({0x06, 0x15})}); // one arrival
    QVERIFY(tool.send("xyz"));
    QVERIFY(peer.wait_received(3, patience));
    QCOMPARE(peer.received(), (Bytes{'x', 'y', 'z'}));
    const auto log = peer.log();
    QCOMPARE(log.size(), size_t(5));
    QVERIFY(log[0].from_box && log[1].from_box && !log[2].from_box);
    QCOMPARE(int(log[4].value), int('z'));
    QVERIFY(log[2].when >= log[1].when);
    QVERIFY(bytes_of(tool.take(0, nothing_comes)).isEmpty()); // no echo, no protocol
}

void TstBoxLine::link_names_the_terminal()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string link = dir.filePath("COM9").toStdString();
    const std::string file = dir.filePath("plain").toStdString();
    QVERIFY(QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly));
    {
        Box box;
        std::string error;
        QVERIFY(!box.link(file, &error));
        QVERIFY(!error.empty());
        QVERIFY(QFileInfo(QString::fromStdString(file)).isFile()); // left alone

        QVERIFY(::symlink("/nonexistent", link.c_str()) == 0);
        QVERIFY2(box.link(link, &error), error.c_str()); // a stale link is replaced
        QCOMPARE(QFileInfo(QString::fromStdString(link)).symLinkTarget().toStdString(), box.slave_path());
        ToolEnd tool(link);
        QVERIFY(tool.fd >= 0);
        QVERIFY(run_script(tool, {say("b", {"c", raw({0x18})})}));
    }
    QVERIFY(!QFileInfo::exists(QString::fromStdString(link)));
    QVERIFY(!QFileInfo(QString::fromStdString(link)).isSymLink());

    // A link taken over by another terminal stays when the first box goes.
    auto first = std::make_unique<Box>();
    Box second;
    QVERIFY(first->link(link));
    QVERIFY(second.link(link));
    first.reset();
    QCOMPARE(QFileInfo(QString::fromStdString(link)).symLinkTarget().toStdString(), second.slave_path());
}

void TstBoxLine::tool_reopening_keeps_the_line()
{
    Box box;
    auto tool = std::make_unique<ToolEnd>(box.slave_path());
    QVERIFY(run_script(*tool, {say("b", {"c", raw({0x18})})}));
    tool.reset();
    std::this_thread::sleep_for(nothing_comes); // time for a hang-up to show
    QVERIFY(box.peer().is_up());
    tool = std::make_unique<ToolEnd>(box.slave_path());
    QVERIFY(run_script(*tool, {say("b", {"c", raw({0x18})}), say(raw({1}), {raw({0xFC})})}));
    QVERIFY(!box.hung_up());
}

QTEST_GUILESS_MAIN(TstBoxLine)
#include "tst_box_line.moc"
