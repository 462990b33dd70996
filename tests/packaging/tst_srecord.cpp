// S-record line reading, field layout, the configuration record search and
// its decoding.
#include "fw_config.h"
#include "message_log.h"
#include "srecord.h"

#include <QLoggingCategory>
#include <QtTest>

#include <cstring>
#include <sstream>

namespace {

std::string text_of(const QByteArray &b)
{
    return std::string(b.constData(), std::size_t(b.size()));
}

SrecLine line_of(const QByteArray &text)
{
    SrecLine line;
    std::istringstream in(text_of(text + '\n'));
    SrecLineReader reader(in);
    reader.next(line);
    return line;
}

QByteArray bytes_of(const FirmwareConfig &c)
{
    return QByteArray(reinterpret_cast<const char *>(c.bytes), 4);
}

FirmwareConfig config_of(const QByteArray &hex)
{
    FirmwareConfig c;
    std::memcpy(c.bytes, QByteArray::fromHex(hex).constData(), 4);
    return c;
}

} // namespace

class TstSrecord : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("default.debug=false"); }
    void hex_byte_rule_data();
    void hex_byte_rule();
    void line_reader_data();
    void line_reader();
    void fields_data();
    void fields();
    void config_record_data();
    void config_record();
    void config_record_logs();
    void decode_data();
    void decode();
    void line_check_data();
    void line_check();
};

void TstSrecord::hex_byte_rule_data()
{
    QTest::addColumn<QByteArray>("chars");
    QTest::addColumn<int>("value");
    QTest::newRow("digits") << QByteArray("09") << 0x09;
    QTest::newRow("upper case") << QByteArray("AF") << 0xAF;
    QTest::newRow("lower case") << QByteArray("af") << 0xAF;
    QTest::newRow("mixed case") << QByteArray("fA") << 0xFA;
    QTest::newRow("non-hex counts as its code") << QByteArray("GG") << (71 * 16 + 71) % 256;
    QTest::newRow("non-hex second") << QByteArray("1Z") << (16 + 'Z') % 256;
    QTest::newRow("NUL") << QByteArray("\0\0", 2) << 0;
    QTest::newRow("byte above 0x7F") << QByteArray("\xff"
                                                   "0")
                                     << 0xF0;
}

void TstSrecord::hex_byte_rule()
{
    QFETCH(QByteArray, chars);
    QFETCH(int, value);
    QCOMPARE(int(hex_byte(chars[0], chars[1])), value);
}

void TstSrecord::line_reader_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QList<bool>>("cut");
    QTest::addColumn<QByteArray>("tail");
    const QByteArray c99(99, 'A'), c100(100, 'B'), c1000(1000, 'C');
    QTest::newRow("LF") << QByteArray("S1\nS9\n") << QList<QByteArray>{"S1", "S9"}
                        << QList<bool>{false, false} << QByteArray();
    QTest::newRow("CR LF") << QByteArray("S1\r\nS9\r\n") << QList<QByteArray>{"S1", "S9"}
                           << QList<bool>{false, false} << QByteArray();
    QTest::newRow("last line without line end")
        << QByteArray("S1\nS9") << QList<QByteArray>{"S1"} << QList<bool>{false} << QByteArray("S9");
    QTest::newRow("empty lines") << QByteArray("\n\nS1\n") << QList<QByteArray>{"", "", "S1"}
                                 << QList<bool>{false, false, false} << QByteArray();
    QTest::newRow("99 characters kept whole")
        << c99 + "\nS9\n"
        << QList<QByteArray>{c99, "S9"} << QList<bool>{false, false} << QByteArray();
    QTest::newRow("99 characters and CR LF")
        << c99 + "\r\nS9\n"
        << QList<QByteArray>{c99, "S9"} << QList<bool>{false, false} << QByteArray();
    QTest::newRow("100 characters cut at 99")
        << c100 + "\nS9\n"
        << QList<QByteArray>{c100.left(99), "S9"} << QList<bool>{true, false} << QByteArray();
    QTest::newRow("1000 characters, rest of the line skipped")
        << c1000 + "\r\nS9\n"
        << QList<QByteArray>{c1000.left(99), "S9"} << QList<bool>{true, false} << QByteArray();
    QTest::newRow("long last line without line end")
        << "S1\n" + c1000 << QList<QByteArray>{"S1"} << QList<bool>{false} << c1000.left(99);
    QTest::newRow("NUL inside a line")
        << QByteArray("S1\0X\n", 5) << QList<QByteArray>{QByteArray("S1\0X", 4)} << QList<bool>{false}
        << QByteArray();
    QTest::newRow("empty input") << QByteArray() << QList<QByteArray>{} << QList<bool>{} << QByteArray();
}

void TstSrecord::line_reader()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QList<bool>, cut);
    QFETCH(QByteArray, tail);
    std::istringstream in(text_of(input));
    SrecLineReader reader(in);
    SrecLine line;
    QList<QByteArray> got;
    QList<bool> got_cut;
    while (reader.next(line)) {
        QVERIFY(line.length <= SrecLine::max_chars);
        QCOMPARE(line.text[line.length], '\0');
        got.append(QByteArray(line.text, int(line.length)));
        got_cut.append(line.cut);
        QVERIFY(got.size() <= lines.size() + 1); // never loops on a line
    }
    QCOMPARE(got, lines);
    QCOMPARE(got_cut, cut);
    QCOMPARE(reader.lines_read(), long(lines.size()));
    const SrecLine &t = reader.unterminated_tail();
    QCOMPARE(QByteArray(t.text, int(t.length)), tail);
    QVERIFY(!reader.next(line)); // stays at the end
}

void TstSrecord::fields_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("has_address");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("data_bytes");
    QTest::newRow("S1 with 16 data bytes")
        << QByteArray("S113E1F8CF62A3F8DEB1BA29563FE679143146D97D") << true << 1 << 0x13 << 0xE1F8 << 16;
    QTest::newRow("termination record") << QByteArray("S9030000FC") << true << 9 << 3 << 0 << 0;
    QTest::newRow("count larger than the line")
        << QByteArray("S1FFE000010203AB") << true << 1 << 0xFF << 0xE000 << 4;
    QTest::newRow("count below 3") << QByteArray("S102E000") << true << 1 << 2 << 0xE000 << 0;
    QTest::newRow("odd character left over") << QByteArray("S107E00001020") << true << 1 << 7 << 0xE000 << 2;
    QTest::newRow("too short for an address") << QByteArray("S1050031") << true << 1 << 5 << 0x0031 << 0;
    QTest::newRow("seven characters") << QByteArray("S105003") << false << 1 << 5 << 0x0030 << 0;
    QTest::newRow("cut 255-byte record")
        << QByteArray("S1FFE000") + QByteArray(506, '1') << true << 1 << 0xFF << 0xE000 << 45;
}

void TstSrecord::fields()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, has_address);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(int, addr);
    QFETCH(int, data_bytes);
    const SrecFields f = parse_srec_fields(line_of(line));
    QCOMPARE(f.has_address, has_address);
    QCOMPARE(int(f.type), type);
    QCOMPARE(int(f.count), count);
    QCOMPARE(int(f.addr), addr);
    QCOMPARE(int(f.addr_hi), addr >> 8);
    QCOMPARE(int(f.addr_lo), addr & 0xFF);
    QCOMPARE(f.data_bytes, data_bytes);
}

void TstSrecord::config_record_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("next_line"); // what follows the search, empty for the end
    const QByteArray held = "a1a2a3a4";
    const QByteArray s0 = "S00600004844521B\n";
    const QByteArray below = "S107300001020304BE\n";
    const QByteArray record16 = "S1133100326701000102030405060708090A0B0CD3\n";
    const QByteArray above = "S107E000AABBCCDD0A\n";
    const QByteArray end = "S9030000FC\n";

    QTest::newRow("record among records, search stops there")
        << s0 + below + record16 + above + end << held << QByteArray("32670100") << true << above;
    QTest::newRow("lower-case hex") << (s0 + below + record16.toLower().replace("s1", "S1") + above) << held
                                    << QByteArray("32670100") << true << above;
    QTest::newRow("0x3110 is not the record")
        << s0 + "S1073110326701001D\n" + end << held << held << false << QByteArray();
    QTest::newRow("two-byte record replaces two bytes")
        << s0 + "S1053100326730\n" + end << held << QByteArray("3267a3a4") << true << end;
    QTest::newRow("no S1 line") << s0 + "S5030000FC\n" + end << held << held << false << QByteArray();
    QTest::newRow("no record, termination at the end")
        << s0 + below + above + end << held << held << false << QByteArray();
    QTest::newRow("termination record at 0x3100 ends the search")
        << s0 + below + "S9033100CB\n" + record16 << held << held << true << record16;
    QTest::newRow("record before the first S1 line is not searched")
        << "S5053100326730\n" + below + end << held << held << false << QByteArray();
    QTest::newRow("record on a last line without line end")
        << s0 + below + record16.left(record16.size() - 1) << held << held << false << QByteArray();
    QTest::newRow("CR LF") << QByteArray(s0 + below + record16 + above).replace("\n", "\r\n") << held
                           << QByteArray("32670100") << true << above.left(above.size() - 1) + "\r\n";
    QTest::newRow("record longer than 99 characters")
        << s0 + "S1FF3100326701" + QByteArray(500, '0') + "\n" + above << held << QByteArray("32670100")
        << true << above;
    QTest::newRow("empty image") << QByteArray() << held << held << false << QByteArray();
}

void TstSrecord::config_record()
{
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(bool, found);
    QFETCH(QByteArray, next_line);
    std::istringstream in(text_of(image));
    FirmwareConfig config = config_of(before);
    QCOMPARE(read_config_record(in, config), found);
    QCOMPARE(bytes_of(config).toHex(), after);
    // Nothing after the record is read.
    std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QCOMPARE(QByteArray::fromStdString(rest).left(next_line.size()), next_line);
}

void TstSrecord::config_record_logs()
{
    QStringList messages;
    {
        harness::MessageLog log(QStringLiteral("vr20.srecord.debug=true"));
        std::istringstream in("S00600004844521B\nS107300001020304BE\nS1073100326701002D\nS9030000FC\n");
        FirmwareConfig config;
        read_config_record(in, config);
        messages = log.debug_texts();
    }
    QCOMPARE(
        messages,
        QStringList({"Line: S107300001020304BE", "ADDR = 0x3000", "ADDR = 0x3100", "Line: S1073100326701002D",
                     "Number: 7", "config[0][1][2][3] = 0x32, 0x67, 0x1, 0x0"}));
}

void TstSrecord::decode_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("mcu");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("version");
    QTest::newRow("7 March 2015, version 3") << QByteArray("32670100") << "Quorinel VR20"
                                             << "MC9S08PT60"
                                             << "2015/3/7"
                                             << "3";
    QTest::newRow("all zero") << QByteArray("00000000") << "Quorinel VR20"
                              << ""
                              << "2013/0/0"
                              << "0";
    QTest::newRow("all 0xFF") << QByteArray("ffffffff") << ""
                              << ""
                              << "2028/15/31"
                              << "7";
    QTest::newRow("unknown product, known MCU") << QByteArray("1c3f0101") << ""
                                                << "MC9S08PT60"
                                                << "2025/1/31"
                                                << "1";
    QTest::newRow("MCU code 2 has no text") << QByteArray("32670200") << "Quorinel VR20"
                                            << ""
                                            << "2015/3/7"
                                            << "3";
}

void TstSrecord::decode()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, model);
    QFETCH(QString, mcu);
    QFETCH(QString, date);
    QFETCH(QString, version);
    const FirmwareConfigText t = decode_fw_config(config_of(config));
    QCOMPARE(t.model, model);
    QCOMPARE(t.mcu, mcu);
    QCOMPARE(t.date, date);
    QCOMPARE(t.version, version);
}

void TstSrecord::line_check_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("fault");
    QTest::newRow("sound S1") << QByteArray("S1073100326701002D") << int(SrecFault::none);
    QTest::newRow("sound S9") << QByteArray("S9030000FC") << int(SrecFault::none);
    QTest::newRow("lower case is sound") << QByteArray("S1073100326701002d") << int(SrecFault::none);
    QTest::newRow("no S") << QByteArray("X1073100326701002D") << int(SrecFault::not_a_record);
    QTest::newRow("empty") << QByteArray("") << int(SrecFault::not_a_record);
    QTest::newRow("non-hex") << QByteArray("S10731003267010G2D") << int(SrecFault::not_hex);
    QTest::newRow("odd length") << QByteArray("S1073100326701002") << int(SrecFault::odd_length);
    QTest::newRow("count too large") << QByteArray("S1083100326701002D") << int(SrecFault::count_mismatch);
    QTest::newRow("S1 too short for an address") << QByteArray("S101FE") << int(SrecFault::count_mismatch);
    QTest::newRow("bad checksum") << QByteArray("S1073100326701002E") << int(SrecFault::bad_checksum);
    QTest::newRow("cut") << QByteArray("S1FF3100") + QByteArray(506, '0') << int(SrecFault::cut);
}

void TstSrecord::line_check()
{
    QFETCH(QByteArray, line);
    QFETCH(int, fault);
    QCOMPARE(int(check_srec_line(line_of(line))), fault);
}

QTEST_GUILESS_MAIN(TstSrecord)
#include "tst_srecord.moc"
