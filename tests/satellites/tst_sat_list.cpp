#include "sat_list.h"

#include <QBuffer>
#include <QtTest>

Q_DECLARE_METATYPE(SatRow)
Q_DECLARE_METATYPE(SatRecord)

namespace {

SatRecord make_record(const QByteArray &name, uint8_t b16, uint8_t b17, uint8_t b18, uint8_t b19)
{
    SatRecord rec;
    memcpy(rec.bytes, name.constData(), static_cast<size_t>(qMin(name.size(), 16)));
    rec.bytes[16] = b16;
    rec.bytes[17] = b17;
    rec.bytes[18] = b18;
    rec.bytes[19] = b19;
    return rec;
}

QByteArray record_bytes(const SatRecord &rec)
{
    return QByteArray(reinterpret_cast<const char *>(rec.bytes), kSatRecordSize).toHex(' ');
}

} // namespace

class TstSatList : public QObject
{
    Q_OBJECT

private slots:
    void number_data();
    void number();
    void parse_line_data();
    void parse_line();
    void read_lines_data();
    void read_lines();
    void format_line_data();
    void format_line();
    void saved_row_reads_back();
    void from_box_data();
    void from_box();
    void to_box_data();
    void to_box();
    void row_read_from_box_is_sent_unchanged();
};

void TstSatList::number_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << QByteArray("192") << 16 << 192;
    QTest::newRow("empty field") << QByteArray() << 16 << 0;
    QTest::newRow("sign in the middle") << QByteArray("1-2") << 16 << -12;
    QTest::newRow("leading minus") << QByteArray("-12") << 16 << -12;
    QTest::newRow("last sign wins: minus") << QByteArray("+-12") << 16 << -12;
    QTest::newRow("last sign wins: plus") << QByteArray("-+12") << 16 << 12;
    QTest::newRow("blanks between and around") << QByteArray(" - 1 2 ") << 16 << -12;
    QTest::newRow("point counts as digit -2") << QByteArray("12.5") << 16 << 1185;
    QTest::newRow("16-bit wrap") << QByteArray("40000") << 16 << -25536;
    QTest::newRow("wrap to zero") << QByteArray("65536") << 16 << 0;
    QTest::newRow("lowest") << QByteArray("-32768") << 16 << -32768;
    QTest::newRow("letter digit") << QByteArray("A") << 16 << 17;
    QTest::newRow("byte above 0x7F is code - 48") << QByteArray("\xC3") << 16 << 147;
    QTest::newRow("8-bit plain") << QByteArray("45") << 8 << 45;
    QTest::newRow("8-bit negative") << QByteArray("-45") << 8 << -45;
    QTest::newRow("200 wraps to -56") << QByteArray("200") << 8 << -56;
    QTest::newRow("300 wraps to 44") << QByteArray("300") << 8 << 44;
    QTest::newRow("-128 stays") << QByteArray("-128") << 8 << -128;
    QTest::newRow("sign after digits") << QByteArray("9 0 -") << 8 << -90;
    QTest::newRow("8-bit empty field") << QByteArray() << 8 << 0;
}

void TstSatList::number()
{
    QFETCH(QByteArray, field);
    QFETCH(int, bits);
    QFETCH(int, value);
    QCOMPARE(bits == 16 ? int(csv_number16(field)) : int(csv_number8(field)), value);
}

void TstSatList::parse_line_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("vertical");
    QTest::addColumn<int>("horizontal");
    QTest::newRow("written form") << QByteArray("Sat 1,192,45,-45,") << true << "Sat 1" << 192 << 45 << -45;
    QTest::newRow("no fourth comma") << QByteArray("Sat 1,192,45,-45") << true << "Sat 1" << 192 << 45 << -45;
    QTest::newRow("empty row") << QByteArray(",,,,") << true << "" << 0 << 0 << 0;
    QTest::newRow("horizontal ends at next comma")
        << QByteArray("n,1,2,3,77,88") << true << "n" << 1 << 2 << 3;
    QTest::newRow("name cut to 15 bytes")
        << QByteArray("ABCDEFGHIJKLMNOPQRS,5,6,7,") << true << "ABCDEFGHIJKLMNO" << 5 << 6 << 7;
    QTest::newRow("comma in name shifts fields")
        << QByteArray("A,B,192,45,-45,") << true << "A" << 18 << -64 << 45;
    QTest::newRow("blanks in number fields")
        << QByteArray("x, - 1 2 , 3 ,+ 4") << true << "x" << -12 << 3 << 4;
    QTest::newRow("two commas") << QByteArray("Sat 1,192,45") << false << "" << 0 << 0 << 0;
    QTest::newRow("empty line") << QByteArray() << false << "" << 0 << 0 << 0;
}

void TstSatList::parse_line()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    QFETCH(QString, name);
    QFETCH(int, position);
    QFETCH(int, vertical);
    QFETCH(int, horizontal);

    CsvFields expected;
    if (valid) {
        expected.valid = true;
        expected.name = name;
        expected.position = static_cast<int16_t>(position);
        expected.vertical = static_cast<int8_t>(vertical);
        expected.horizontal = static_cast<int8_t>(horizontal);
    }
    const CsvFields got = parse_csv_line(line);
    QCOMPARE(got.isValid(), valid);
    QCOMPARE(got.name, expected.name);
    QVERIFY(got == expected);
}

void TstSatList::read_lines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<QByteArray>>("lines");

    const QByteArray l254(kCsvLineMax, 'x');
    QTest::newRow("LF") << QByteArray("a,1,2,3,\nb,4,5,6,\n") << QList<QByteArray>{"a,1,2,3,", "b,4,5,6,"};
    QTest::newRow("CR LF") << QByteArray("a,1,2,3,\r\nb,4,5,6,\r\n")
                           << QList<QByteArray>{"a,1,2,3,", "b,4,5,6,"};
    QTest::newRow("last line without line end")
        << QByteArray("a,1,2,3,\nb,4,5,6,") << QList<QByteArray>{"a,1,2,3,"};
    QTest::newRow("single line without line end") << QByteArray("a,1,2,3,") << QList<QByteArray>{};
    QTest::newRow("empty line kept as a line")
        << QByteArray("\na,1,2,3,\n") << QList<QByteArray>{"", "a,1,2,3,"};
    QTest::newRow("line of 254 with CR LF") << l254 + "\r\nz\n" << QList<QByteArray>{l254, "z"};
    QTest::newRow("longer line cut at 254, next line intact") << QByteArray(600, 'y')
            + "\nz,1,2,3\n" << QList<QByteArray>{QByteArray(kCsvLineMax, 'y'), "z,1,2,3"};
    QTest::newRow("long line without line end") << "z\n" + QByteArray(600, 'y') << QList<QByteArray>{"z"};
}

void TstSatList::read_lines()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<QByteArray>, lines);
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QList<QByteArray> got;
    QByteArray line;
    while (read_csv_line(buffer, &line))
        got << line;
    QCOMPARE(got, lines);
}

void TstSatList::format_line_data()
{
    QTest::addColumn<SatRow>("row");
    QTest::addColumn<QString>("line");
    QTest::newRow("full row") << SatRow{"Sat 1", "192", "45", "-45"} << "Sat 1,192,45,-45,\n";
    QTest::newRow("empty row") << SatRow{} << ",,,,\n";
    QTest::newRow("single blank is empty") << SatRow{"Blank", " ", " ", " "} << "Blank,,,,\n";
    QTest::newRow("two blanks are text") << SatRow{"  ", "1", "2", "3"} << "  ,1,2,3,\n";
    QTest::newRow("comma kept verbatim") << SatRow{"A,B", "1", "2", "3"} << "A,B,1,2,3,\n";
    QTest::newRow("text kept as typed") << SatRow{"x", "abc", "999", "-"} << "x,abc,999,-,\n";
}

void TstSatList::format_line()
{
    QFETCH(SatRow, row);
    QFETCH(QString, line);
    QCOMPARE(format_csv_line(row), line);
}

void TstSatList::saved_row_reads_back()
{
    // Empty numbers come back as 0 and the name keeps its first 15 bytes.
    const SatRow saved{"Astra 19.2E long name", "-200", "", " "};
    QByteArray text = format_csv_line(saved).toLocal8Bit();
    QBuffer buffer(&text);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QByteArray line;
    QVERIFY(read_csv_line(buffer, &line));
    const SatRow expected{"Astra 19.2E lon", "-200", "0", "0"};
    QCOMPARE(parse_csv_line(line).cells(), expected);
}

void TstSatList::from_box_data()
{
    QTest::addColumn<SatRecord>("record");
    QTest::addColumn<bool>("blank_rule");
    QTest::addColumn<SatRow>("row");
    QTest::newRow("Sat 1 example") << make_record("Sat 1", 0x00, 0xC0, 0xD3, 0x2D) << true
                                   << SatRow{"Sat 1", "192", "45", "-45"};
    QTest::newRow("position high byte first")
        << make_record("W", 0xFF, 0x38, 0, 1) << true << SatRow{"W", "-200", "1", "0"};
    QTest::newRow("all-zero numbers blank")
        << make_record("Empty", 0, 0, 0, 0) << true << SatRow{"Empty", " ", " ", " "};
    QTest::newRow("all-zero numbers, no blank rule")
        << make_record("Empty", 0, 0, 0, 0) << false << SatRow{"Empty", "0", "0", "0"};
    QTest::newRow("only position zero is not blank")
        << make_record("", 0, 0, 0, 5) << true << SatRow{"", "0", "5", "0"};
    QTest::newRow("name fills 16 bytes")
        << make_record("ABCDEFGHIJKLMNOP", 0, 1, 0, 0) << true << SatRow{"ABCDEFGHIJKLMNOP", "1", "0", "0"};
    QTest::newRow("UTF-8 name") << make_record("T\xC3\xBCrksat", 0x00, 0x2A, 0, 0) << true
                                << SatRow{QString::fromUtf8("T\xC3\xBCrksat"), "42", "0", "0"};
    SatRecord after_zero = make_record("AB", 0, 7, 0, 0);
    after_zero.bytes[3] = 'Z';
    QTest::newRow("name ends at first zero") << after_zero << true << SatRow{"AB", "7", "0", "0"};
}

void TstSatList::from_box()
{
    QFETCH(SatRecord, record);
    QFETCH(bool, blank_rule);
    QFETCH(SatRow, row);
    QCOMPARE(record_to_row(record, blank_rule ? EmptySlot::Blank : EmptySlot::Numbers), row);
}

void TstSatList::to_box_data()
{
    QTest::addColumn<SatRow>("row");
    QTest::addColumn<SatRecord>("record");
    QTest::newRow("Sat 1") << SatRow{"Sat 1", "192", "45", "-45"}
                           << make_record("Sat 1", 0xC0, 0x00, 0xD3, 0x2D);
    QTest::newRow("name of 15 bytes")
        << SatRow{"ABCDEFGHIJKLMNO", "", "", ""} << make_record("ABCDEFGHIJKLMNO", 0, 0, 0, 0);
    QTest::newRow("longer name cut") << SatRow{"ABCDEFGHIJKLMNOPQR", "", "", ""}
                                     << make_record("ABCDEFGHIJKLMNO", 0, 0, 0, 0);
    QTest::newRow("UTF-8 name cut by bytes")
        << SatRow{QString::fromUtf8("\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"), "",
                  "", ""}
        << make_record("\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3", 0, 0, 0, 0);
    QTest::newRow("empty row") << SatRow{} << make_record("", 0, 0, 0, 0);
    QTest::newRow("empty slot from box") << SatRow{"Free", " ", " ", " "} << make_record("Free", 0, 0, 0, 0);
    QTest::newRow("position 5000") << SatRow{"", "5000", "", ""} << make_record("", 0x88, 0x13, 0, 0);
    QTest::newRow("position 5001") << SatRow{"", "5001", "", ""} << make_record("", 0, 0, 0, 0);
    QTest::newRow("position -5000") << SatRow{"", "-5000", "", ""} << make_record("", 0x78, 0xEC, 0, 0);
    QTest::newRow("position -30000") << SatRow{"", "-30000", "", ""} << make_record("", 0xD0, 0x8A, 0, 0);
    QTest::newRow("position 40000") << SatRow{"", "40000", "", ""} << make_record("", 0, 0, 0, 0);
    QTest::newRow("position text") << SatRow{"", "12x", "", ""} << make_record("", 0, 0, 0, 0);
    QTest::newRow("vertical 90") << SatRow{"", "", "90", ""} << make_record("", 0, 0, 0, 90);
    QTest::newRow("vertical 91") << SatRow{"", "", "91", ""} << make_record("", 0, 0, 0, 0x2D);
    QTest::newRow("vertical -91") << SatRow{"", "", "-91", ""} << make_record("", 0, 0, 0, 0x2D);
    QTest::newRow("vertical 200 cut first") << SatRow{"", "", "200", ""} << make_record("", 0, 0, 0, 0xC8);
    QTest::newRow("vertical 300 cut first") << SatRow{"", "", "300", ""} << make_record("", 0, 0, 0, 44);
    QTest::newRow("horizontal 91") << SatRow{"", "", "", "91"} << make_record("", 0, 0, 0xD3, 0);
    QTest::newRow("horizontal -100") << SatRow{"", "", "", "-100"} << make_record("", 0, 0, 0xD3, 0);
    QTest::newRow("horizontal -90") << SatRow{"", "", "", "-90"} << make_record("", 0, 0, 0xA6, 0);
}

void TstSatList::to_box()
{
    QFETCH(SatRow, row);
    QFETCH(SatRecord, record);
    QCOMPARE(record_bytes(row_to_record(row)), record_bytes(record));
}

void TstSatList::row_read_from_box_is_sent_unchanged()
{
    // Same record, the position's two bytes in the write direction's order.
    const SatRecord received = make_record("Sat 1", 0xFF, 0x38, 0xD3, 0x2D);
    const SatRecord expected = make_record("Sat 1", 0x38, 0xFF, 0xD3, 0x2D);
    QCOMPARE(record_bytes(row_to_record(record_to_row(received))), record_bytes(expected));
}

QTEST_GUILESS_MAIN(TstSatList)
#include "tst_sat_list.moc"
