#include "actions.h"
#include "engine_script.h"
#include "list_read.h"
#include "messages.h"
#include "soft_limit_exchange.h"
#include "update_session.h"

#include <memory>

#include <QSet>
#include <QtTest>

using namespace protocol;

Q_DECLARE_METATYPE(protocol::Action)
Q_DECLARE_METATYPE(protocol::MessageId)

namespace {

// Every id in declaration order, each name once; the table behind message() must follow it.
const QStringList names
    = QStringLiteral(
          "none port_unusable port_not_found port_cannot_open limits_out_of_range limits_wrong_order "
          "limits_set_ok limits_set_incomplete limits_read_out_of_range list_read_ok "
          "list_read_connection_error list_write_ok list_transfer_error "
          "csv_no_file csv_cannot_open csv_cannot_save package_not_found package_cannot_open "
          "device_not_prepared cpu_mismatch package_too_old line_retries_exhausted data_write_error "
          "update_failed update_line_lost update_completed image_cannot_open "
          "image_and_package_missing image_file_cannot_open package_file_cannot_open "
          "package_cannot_write")
          .split(' ');
const int id_count = names.size();

} // namespace

class TstProtocolMessages : public QObject
{
    Q_OBJECT

private slots:
    void every_id_has_its_words();
    void words_data();
    void words();
    void describe_data();
    void describe();
    void steps_data();
    void steps();
};

void TstProtocolMessages::every_id_has_its_words()
{
    QCOMPARE(int(MessageId::package_cannot_write) + 1, id_count);
    const QSet<QString> titles{"Warning", "Error", "Hint", "Info"};
    for (int i = 0; i < id_count; ++i) {
        const auto id = MessageId(i);
        QCOMPARE(QString(message_name(id)), names[i]);
        const Message &m = message(id);
        if (id == MessageId::none) {
            QCOMPARE(m.title, "");
            QCOMPARE(m.text, "");
            continue;
        }
        QVERIFY2(titles.contains(m.title), qPrintable(names[i]));
        QVERIFY2(qstrlen(m.text) > 0, qPrintable(names[i]));
        // The good news boxes carry the information icon, every other box the warning.
        const bool good_news = qstrcmp(m.title, "Hint") == 0 || qstrcmp(m.title, "Info") == 0;
        QCOMPARE(m.icon == MessageIcon::information, good_news);
    }
    // An id beyond the table says nothing rather than reading past it.
    for (const int beyond : {id_count, 200, 255}) {
        QCOMPARE(message_name(MessageId(beyond)), "none");
        QCOMPARE(message(MessageId(beyond)).text, "");
    }
}

void TstProtocolMessages::words_data()
{
    QTest::addColumn<MessageId>("id");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    const QString transfer_error = "Data transfer error, please restart box and PC software";
    QTest::newRow("port") << MessageId::port_unusable << "Warning"
                          << "The serial port is occupied or not exist, please try another port.";
    QTest::newRow("range") << MessageId::limits_out_of_range << "Warning"
                           << "The EAST/WEST limit setting should between -5000 to 5000.";
    QTest::newRow("order") << MessageId::limits_wrong_order << "Warning"
                           << "The EAST limit should be greater than the WEST limit.";
    QTest::newRow("limits set") << MessageId::limits_set_ok << "Hint"
                                << "EAST/WEST limit set OK.";
    QTest::newRow("limits set incomplete")
        << MessageId::limits_set_incomplete << "Warning"
        << "The box ended the exchange before it received every limit. Read the limits back to check them.";
    QTest::newRow("read ok") << MessageId::list_read_ok << "Info"
                             << "Satellite data read successfully!";
    QTest::newRow("read connection") << MessageId::list_read_connection_error << "Error"
                                     << "Data connection error, please restart box and PC software";
    QTest::newRow("write ok") << MessageId::list_write_ok << "Hint"
                              << "Satellite data write successfully!";
    QTest::newRow("list transfer") << MessageId::list_transfer_error << "Error" << transfer_error;
    QTest::newRow("not prepared")
        << MessageId::device_not_prepared << "Warning"
        << "Device has not been prepared, please re-connect cable and reboot the update software.";
    QTest::newRow("cpu") << MessageId::cpu_mismatch << "Warning"
                         << "BIN file CPU does not corresponding with device's CPU";
    QTest::newRow("too old") << MessageId::package_too_old << "Warning"
                             << "Too old BIN file";
    QTest::newRow("16th 'U'") << MessageId::line_retries_exhausted << "Warning" << transfer_error;
    QTest::newRow("write error") << MessageId::data_write_error << "Warning"
                                 << "Data write error, please restart box and PC software";
    QTest::newRow("update failed")
        << MessageId::update_failed << "Error"
        << "Update process failed, please reboot the device and restart the update program.";
    QTest::newRow("update completed") << MessageId::update_completed << "Hint"
                                      << "Update process completed.";
}

void TstProtocolMessages::words()
{
    QFETCH(MessageId, id);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QCOMPARE(QString::fromUtf8(message(id).title), title);
    QCOMPARE(QString::fromUtf8(message(id).text), text);
}

void TstProtocolMessages::describe_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("text");

    // The engine tables spell most texts out; these are the ones they build
    // with describe() itself.
    const uint8_t record[3] = {0x00, 0xEF, 0x7F};
    QTest::newRow("send with wait") << Action::send(0x48, true) << "send 0x48 wait";
    QTest::newRow("send without wait") << Action::send(0x05, false) << "send 0x05";
    QTest::newRow("row keeps zero bytes") << Action::row_ready(7, record, 3) << "row 7 00ef7f";
    QTest::newRow("bytes loaded: no spaces")
        << Action::show_status(Status::bytes_loaded, 17) << "status Bootloader Started...17Bytes Loaded";
    QTest::newRow("end without a message") << Action::end(Outcome::failure) << "end failure";
    QTest::newRow("end with a message")
        << Action::end(Outcome::success, MessageId::list_read_ok) << "end success list_read_ok";
}

void TstProtocolMessages::describe()
{
    QFETCH(Action, action);
    QFETCH(QString, text);
    QCOMPARE(protocol::describe(action), text);
}

// vr20-box gives up when no reply byte takes a conversation a step on for
// --timeout: a flood of bytes a conversation ignores is no step.
void TstProtocolMessages::steps_data()
{
    QTest::addColumn<int>("engine"); // 0 limits read, 1 limits write, 2 list read, 3 update
    QTest::addColumn<script::Script>("before");
    QTest::addColumn<int>("byte");
    QTest::addColumn<bool>("step");

    using script::Script;
    const Script begun = Script().start();
    const Script updating = Script().start().read('P');
    QTest::newRow("limits read: a byte before 'c'") << 0 << begun << int('x') << false;
    QTest::newRow("limits read: 'c'") << 0 << begun << int('c') << true;
    QTest::newRow("limits write: a byte before 'e'") << 1 << begun << int('c') << false;
    QTest::newRow("limits write: 'e'") << 1 << begun << int('e') << true;
    QTest::newRow("limits write: an index") << 1 << Script(begun).reply('e') << 2 << true;
    QTest::newRow("list read: a stray byte between records")
        << 2 << Script(begun).reply('I').reply(1).replies(20, 0x41) << int('x') << false;
    QTest::newRow("list read: a record byte") << 2 << Script(begun).reply('I').reply(1) << 0x41 << true;
    QTest::newRow("update: 'T'") << 3 << updating << int('T') << false;
    QTest::newRow("update: '^' before any block") << 3 << updating << int('^') << false;
    QTest::newRow("update: 'Y'") << 3 << updating << int('Y') << true;
}

void TstProtocolMessages::steps()
{
    QFETCH(int, engine);
    QFETCH(script::Script, before);
    QFETCH(int, byte);
    QFETCH(bool, step);
    std::unique_ptr<Conversation> c;
    switch (engine) {
    case 0:
        c = std::make_unique<SoftLimitRead>();
        break;
    case 1:
        c = std::make_unique<SoftLimitWrite>(-1000, 1000);
        break;
    case 2:
        c = std::make_unique<ListRead>();
        break;
    default:
        c = std::make_unique<UpdateSession>(FirmwareConfig{{0x32, 0x67, 0x01, 0x00}},
                                            std::vector<PackageBlock>(1, PackageBlock{}));
    }
    script::run(*c, before);
    c->on_reply(uint8_t(byte));
    QCOMPARE(c->took_last_reply(), step);
}

QTEST_GUILESS_MAIN(TstProtocolMessages)
#include "tst_protocol_messages.moc"
