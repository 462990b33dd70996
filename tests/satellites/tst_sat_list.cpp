#include "sat_list.h"

#include <QBuffer>
#include <QtTest>

#include <algorithm>
#include <random>

#include "record_rows.h"

Q_DECLARE_METATYPE(std::vector<CellChange>)

namespace {

QStringList describe(const std::vector<CellChange> &changes)
{
    QStringList lines;
    for (const CellChange &c : changes)
        lines << QString("%1 [%2] -> [%3]: %4").arg(c.column).arg(c.text, c.sent, c.reason);
    return lines;
}

// The integer a text stands for as a person reads it, independent of Qt's
// number parsing: whitespace around it, a sign ('+', '-', U+2212) and ASCII
// digits. Null when the text is no integer; `huge` when it has more digits
// than any cell number could hold.
struct Reading {
    bool integer = false;
    bool huge = false;
    qint64 value = 0;
};

Reading read_integer(const QString &text)
{
    static const QRegularExpression integer(QStringLiteral("^([+\\-\\x{2212}]?)0*([0-9]+)$"));
    const QRegularExpressionMatch m = integer.match(text.trimmed());
    Reading r;
    if (!m.hasMatch())
        return r;
    r.integer = true;
    const QString digits = m.captured(2);
    r.huge = digits.size() > 12;
    if (!r.huge)
        r.value = (m.captured(1).isEmpty() || m.captured(1) == "+" ? 1 : -1) * digits.toLongLong();
    return r;
}

// What read_csv_list makes of a file, one line a finding: the encoding, the
// names of the satellite lines, and each finding that is not one.
QStringList findings(const CsvList &list)
{
    QStringList out{list.encoding == CsvEncoding::utf8 ? "utf8" : "windows-1252"};
    QStringList names;
    for (const CsvFields &f : list.lines)
        names << (f.is_valid() ? f.name : "-");
    out << "names " + names.join('|');
    for (const CsvList::Line &l : list.skipped)
        out << QString("skipped %1 [%2]").arg(l.number).arg(l.text);
    if (list.semicolon_lines)
        out << QString("semicolons %1").arg(list.semicolon_lines);
    for (const CsvList::OddField &f : list.odd_fields)
        out << QString("odd %1 %2 [%3] %4").arg(f.line).arg(sat_column_name(f.column), f.text).arg(f.value);
    for (int line : list.cut_lines)
        out << QString("cut %1").arg(line);
    return out;
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
    void read_list_data();
    void read_list();
    void decoding_never_invents_replacement_characters();
    void report_shows_the_first_few();
    void round_trip_report();
    void format_line_data();
    void format_line();
    void saved_row_reads_back();
    void from_box_data();
    void from_box();
    void to_box_data();
    void to_box();
    void row_read_from_box_is_sent_unchanged();
    void write_changes_data();
    void write_changes();
    void write_changes_match_record_data();
    void write_changes_match_record();
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
    QTest::newRow("two minus signs: set, not toggled") << QByteArray("--12") << 16 << -12;
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
    QCOMPARE(got.is_valid(), valid);
    QCOMPARE(got.name, expected.name);
    QVERIFY(got == expected);
}

void TstSatList::read_lines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<QByteArray>>("lines");

    const QByteArray l254(csv_line_max, 'x');
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
            + "\nz,1,2,3\n" << QList<QByteArray>{QByteArray(csv_line_max, 'y'), "z,1,2,3"};
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

void TstSatList::read_list_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("found");

    QTest::newRow("Windows-1252 name")
        << QByteArray("T\xFCrksat 42E,420,1,2,\n")
        << QStringList{"windows-1252", "names " + QString::fromUtf8("T\xC3\xBCrksat 42E")};
    QTest::newRow("UTF-8 with a byte-order mark")
        << QByteArray("\xEF\xBB\xBFT\xC3\xBCrksat,1,2,3,\r\n")
        << QStringList{"utf8", "names " + QString::fromUtf8("T\xC3\xBCrksat")};
    QTest::newRow("Windows-1252: 0x80-0x9F, undefined bytes as in Latin-1")
        << QByteArray("\x80\x81\x8D\x8F\x90\x9D\x9F,1,2,3,\n")
        << QStringList{"windows-1252",
                       QString("names ") + QChar(0x20AC) + QChar(0x81) + QChar(0x8D) + QChar(0x8F)
                           + QChar(0x90) + QChar(0x9D) + QChar(0x178)};
    QTest::newRow("overlong UTF-8 is Windows-1252")
        << QByteArray("\xC0\xAF,1,2,3,\n")
        << QStringList{"windows-1252", QString::fromUtf8("names \xC3\x80\xC2\xAF")};
    QTest::newRow("UTF-8 name cut at a whole character")
        << QByteArray("ABCDEFGHIJKLMN\xC3\xBC,1,2,3,\n") << QStringList{"utf8", "names ABCDEFGHIJKLMN"};
    QTest::newRow("semicolons: no satellite line")
        << QByteArray("Sat 1;100;1;1\nSat 2;200;2;2\n\n")
        << QStringList{
               "utf8",         "names -|-|-", "skipped 1 [Sat 1;100;1;1]", "skipped 2 [Sat 2;200;2;2]",
               "skipped 3 []", "semicolons 2"};
    QTest::newRow("last line without a line end is skipped")
        << QByteArray("a,1,2,3,\nb,4,5,6,") << QStringList{"utf8", "names a", "skipped 2 [b,4,5,6,]"};
    QTest::newRow("fields that are not plain integers")
        << QByteArray("a,12.5,1e3,\"5\",\n")
        << QStringList{"utf8", "names a", "odd 1 position [12.5] 1185", "odd 1 vertical [1e3] 121",
                       "odd 1 horizontal [\"5\"] -84"};
    QTest::newRow("blanks, one sign and empty fields are plain")
        << QByteArray("b, - 12 ,+5, ,\nc,,,,\n") << QStringList{"utf8", "names b|c"};
    QTest::newRow("integers beyond the field's bits")
        << QByteArray("c,40000,127,-129,\n")
        << QStringList{"utf8", "names c", "odd 1 position [40000] -25536", "odd 1 horizontal [-129] 127"};
    QTest::newRow("sign after the digits")
        << QByteArray("d,1-2,,,\n") << QStringList{"utf8", "names d", "odd 1 position [1-2] -12"};
    QTest::newRow("a line cut at 254 characters")
        << QByteArray("n,1,2,3," + QByteArray(300, 'x') + "\n") << QStringList{"utf8", "names n", "cut 1"};
    QTest::newRow("empty file") << QByteArray() << QStringList{"utf8", "names "};
    QByteArray long_file;
    for (int k = 1; k <= sat_count + 2; ++k)
        long_file += k > sat_count ? "x\n" : "s,1,2,3,\n";
    QTest::newRow("lines after the 199th are not read")
        << long_file
        << QStringList{"utf8", "names " + QStringList(QVector<QString>(sat_count, "s").toList()).join('|')};
}

void TstSatList::read_list()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, found);
    QCOMPARE(findings(read_csv_list(file)), found);
}

// Neither encoding turns a byte into U+FFFD: a file holds one only where it
// holds the character itself.
void TstSatList::decoding_never_invents_replacement_characters()
{
    std::mt19937 random(20);
    for (int n = 0; n < 2000; ++n) {
        QByteArray bytes(int(random() % 40), '\0');
        for (char &b : bytes)
            b = char(random() % 4 == 0 ? 0x80 + random() % 0x80 : random() % 256);
        const QString text = decode_csv_text(bytes, csv_encoding(bytes));
        QVERIFY2(!text.contains(QChar(0xFFFD)), bytes.toHex().constData());
    }
}

void TstSatList::report_shows_the_first_few()
{
    QByteArray file;
    for (int k = 1; k <= 7; ++k)
        file += "Sat " + QByteArray::number(k) + ";1;2;3\n";
    file += "ok,1.5,2,3,\n";
    QCOMPARE(csv_report(read_csv_list(file)),
             QString("7 lines are not satellite rows and were skipped:\n"
                     "  line 1: \"Sat 1;1;2;3\"\n  line 2: \"Sat 2;1;2;3\"\n  line 3: \"Sat 3;1;2;3\"\n"
                     "  line 4: \"Sat 4;1;2;3\"\n  line 5: \"Sat 5;1;2;3\"\n  and 2 more\n"
                     "7 of them separate fields by semicolons (;), not commas.\n\n"
                     "1 number field does not read as the number it shows:\n"
                     "  line 8, position \"1.5\" reads as 85"));
    QCOMPARE(csv_report(read_csv_list("a,1,2,3,\n")), QString());
}

void TstSatList::round_trip_report()
{
    const std::vector<SatRow> rows{
        {"Astra,19E", "300", "1", "2"}, {"Plain", "1", "2", "3"}, {"Two\nlines", "1", "2", "3"}};
    QCOMPARE(
        csv_round_trip_report(rows),
        QString("2 rows will not read back from the file as they are (a list file has no quoting: a comma "
                "or a line feed splits the line):\n"
                "  row 1: the name \"Astra,19E\" holds a comma\n  row 3: the name \"Two\\nlines\" holds a "
                "line feed"));
    QCOMPARE(csv_round_trip_report({rows[1]}), QString());
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
    QTest::newRow("only the horizontal byte non-zero is not blank")
        << make_record("H", 0, 0, 0xF6, 0) << true << SatRow{"H", "0", "0", "-10"};
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
    QCOMPARE(record_to_row(record, blank_rule ? EmptySlot::blank : EmptySlot::numbers), row);
}

void TstSatList::to_box_data()
{
    add_record_rows();
}

// The record, and the cells write_changes reports: the marks and the
// question of the window take them from there.
void TstSatList::to_box()
{
    QFETCH(SatRow, row);
    QFETCH(SatRecord, record);
    QFETCH(QList<int>, altered);
    QCOMPARE(record_bytes(row_to_record(row)), record_bytes(record));
    QList<int> reported;
    for (const CellChange &c : ::write_changes(row))
        reported << c.column;
    QCOMPARE(reported, altered);
}

void TstSatList::row_read_from_box_is_sent_unchanged()
{
    // Same record, the position's two bytes in the write direction's order.
    const SatRecord received = make_record("Sat 1", 0xFF, 0x38, 0xD3, 0x2D);
    const SatRecord expected = make_record("Sat 1", 0x38, 0xFF, 0xD3, 0x2D);
    QCOMPARE(record_bytes(row_to_record(record_to_row(received))), record_bytes(expected));
}

void TstSatList::write_changes_data()
{
    QTest::addColumn<SatRow>("row");
    QTest::addColumn<std::vector<CellChange>>("changes");
    const std::vector<CellChange> none;

    // Not changed.
    QTest::newRow("empty row") << SatRow{} << none;
    QTest::newRow("empty slot as the box shows it") << SatRow{"Free", " ", " ", " "} << none;
    QTest::newRow("plus sign") << SatRow{"", "+5", "+5", "+5"} << none;
    QTest::newRow("leading zeros") << SatRow{"", "007", "007", "-007"} << none;
    QTest::newRow("whitespace around a number") << SatRow{"", " 4999 ", "\t-7", "8\n"} << none;
    QTest::newRow("position 5000") << SatRow{"", "5000", "", ""} << none;
    QTest::newRow("position -30000") << SatRow{"", "-30000", "", ""} << none;
    QTest::newRow("position -32768") << SatRow{"", "-32768", "", ""} << none;
    QTest::newRow("angles 90") << SatRow{"", "", "90", "90"} << none;
    QTest::newRow("angles -90") << SatRow{"", "", "-90", "-90"} << none;
    QTest::newRow("name of 15 bytes") << SatRow{"ABCDEFGHIJKLMNO", "", "", ""} << none;
    QTest::newRow("name of 15 bytes, UTF-8")
        << SatRow{QString::fromUtf8("T\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"), "", "", ""}
        << none;

    // Changed, one row per rule.
    QTest::newRow("name of 17 bytes")
        << SatRow{"ABCDEFGHIJKLMNOPQ", "", "", ""}
        << std::vector<CellChange>{{col_name, "ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNO",
                                    "the name has 17 bytes: the box keeps the first 15"}};
    const QString split = QString::fromUtf8("ABCDEFGHIJKLMN\xC3\xBC");
    QTest::newRow("name cut before a character across byte 15")
        << SatRow{split, "", "", ""}
        << std::vector<CellChange>{
               {col_name, split, "ABCDEFGHIJKLMN", "the name has 16 bytes: the box keeps the first 14"}};
    QTest::newRow("position above 5000")
        << SatRow{"", "5001", "", ""}
        << std::vector<CellChange>{{col_position, "5001", "0", "5001 is above 5000: the box gets 0"}};
    QTest::newRow("position not a whole number")
        << SatRow{"", "12.5", "", ""}
        << std::vector<CellChange>{{col_position, "12.5", "0", "12.5 is not a whole number: the box gets 0"}};
    QTest::newRow("position beyond 16 bits")
        << SatRow{"", "40000", "", ""}
        << std::vector<CellChange>{
               {col_position, "40000", "0", "40000 is not a 16-bit number: the box gets 0"}};
    QTest::newRow("position below 16 bits")
        << SatRow{"", "-32769", "", ""}
        << std::vector<CellChange>{
               {col_position, "-32769", "0", "-32769 is not a 16-bit number: the box gets 0"}};
    QTest::newRow("reason names the number without its whitespace")
        << SatRow{"", " 5001\t", "", ""}
        << std::vector<CellChange>{{col_position, " 5001\t", "0", "5001 is above 5000: the box gets 0"}};
    QTest::newRow("vertical above 90")
        << SatRow{"", "", "91", ""}
        << std::vector<CellChange>{{col_vertical, "91", "45", "91 is above 90: the box gets 45"}};
    QTest::newRow("vertical below -90")
        << SatRow{"", "", "-128", ""}
        << std::vector<CellChange>{{col_vertical, "-128", "45", "-128 is below -90: the box gets 45"}};
    QTest::newRow("horizontal above 90")
        << SatRow{"", "", "", "127"}
        << std::vector<CellChange>{{col_horizontal, "127", "-45", "127 is above 90: the box gets -45"}};
    QTest::newRow("vertical cut to 8 bits")
        << SatRow{"", "", "200", ""}
        << std::vector<CellChange>{{col_vertical, "200", "-56", "200 is cut to 8 bits: the box gets -56"}};
    QTest::newRow("horizontal cut to 8 bits")
        << SatRow{"", "", "", "-300"}
        << std::vector<CellChange>{
               {col_horizontal, "-300", "-44", "-300 is cut to 8 bits: the box gets -44"}};
    QTest::newRow("cut to 8 bits and beyond 90")
        << SatRow{"", "", "400", "-400"}
        << std::vector<CellChange>{
               {col_vertical, "400", "45", "400 cut to 8 bits is -112, below -90: the box gets 45"},
               {col_horizontal, "-400", "-45", "-400 cut to 8 bits is 112, above 90: the box gets -45"}};
    QTest::newRow("angle beyond 32 bits")
        << SatRow{"", "", "4294967301", ""}
        << std::vector<CellChange>{
               {col_vertical, "4294967301", "0", "4294967301 is not a 32-bit number: the box gets 0"}};
    QTest::newRow("angle not a whole number")
        << SatRow{"", "", "", "1.5"}
        << std::vector<CellChange>{{col_horizontal, "1.5", "0", "1.5 is not a whole number: the box gets 0"}};
    const QString unreadable = ": the box can store it, but cannot send it back to be read";
    QTest::newRow("angles of -17 are the byte 0xEF")
        << SatRow{"", "", "-17", "-17"}
        << std::vector<CellChange>{
               {col_vertical, "-17", "-17",
                "-17 is sent with the byte 0xEF, the box's error byte" + unreadable, true},
               {col_horizontal, "-17", "-17",
                "-17 is sent with the byte 0xEF, the box's error byte" + unreadable, true}};
    QTest::newRow("position with a byte 0xEF, high and low")
        << SatRow{"", "-4352", "", ""}
        << std::vector<CellChange>{{col_position, "-4352", "-4352",
                                    "-4352 is sent with the byte 0xEF, the box's error byte" + unreadable,
                                    true}};
    QTest::newRow("cut to 8 bits, then 0xEF: both reasons")
        << SatRow{"", "", "239", ""}
        << std::vector<CellChange>{
               {col_vertical, "239", "-17",
                "239 is cut to 8 bits: the box gets -17; -17 is sent with the byte 0xEF, the "
                "box's error byte"
                    + unreadable,
                true}};
    const QString replacement = QString::fromUtf8("T\xEF\xBF\xBDrksat");
    QTest::newRow("name holding U+FFFD")
        << SatRow{replacement, "", "", ""}
        << std::vector<CellChange>{{col_name, replacement, replacement,
                                    "the name is sent with the byte 0xEF, the box's error byte" + unreadable,
                                    true}};
    QTest::newRow("every cell, in column order")
        << SatRow{"Astra 19.2E long name", "East", "-91", "256"}
        << std::vector<CellChange>{{col_name, "Astra 19.2E long name", "Astra 19.2E lon",
                                    "the name has 21 bytes: the box keeps the first 15"},
                                   {col_position, "East", "0", "East is not a whole number: the box gets 0"},
                                   {col_vertical, "-91", "45", "-91 is below -90: the box gets 45"},
                                   {col_horizontal, "256", "0", "256 is cut to 8 bits: the box gets 0"}};
}

void TstSatList::write_changes()
{
    QFETCH(SatRow, row);
    QFETCH(std::vector<CellChange>, changes);
    const std::vector<CellChange> got = ::write_changes(row);
    QCOMPARE(describe(got), describe(changes));
    QVERIFY(got == changes);
}

// For every text in every column: a change is reported exactly when the
// record's bytes are not those of the plain integer (a blank counts as 0) or
// of the untouched name, and what it says is sent is what the record holds.
void TstSatList::write_changes_match_record_data()
{
    QTest::addColumn<QString>("text");
    QStringList texts{"",
                      " ",
                      "   ",
                      "\t",
                      "0",
                      "-0",
                      "+0",
                      "+5",
                      "007",
                      "-007",
                      " 5",
                      "5 ",
                      " -5 ",
                      "\n12\r",
                      QString(QChar(0x2212)) + "5",
                      QString(QChar(0x2212)) + "200",
                      "- 5",
                      "5-",
                      "+-5",
                      "--5",
                      "+",
                      "-",
                      "1 2",
                      "12.5",
                      "12,5",
                      "1e3",
                      "0x10",
                      "abc",
                      "12x",
                      "x12",
                      QString::fromUtf8("\xEF\xBC\x95"),
                      "4999",
                      "5000",
                      "5001",
                      "32767",
                      "32768",
                      "-32767",
                      "-32768",
                      "-32769",
                      "65535",
                      "65536",
                      "65537",
                      "2147483647",
                      "2147483648",
                      "-2147483648",
                      "-2147483649",
                      "4294967296",
                      "4294967386",
                      "99999999999999999999",
                      "ABCDEFGHIJKLMNO",
                      "ABCDEFGHIJKLMNOP",
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
                      QString::fromUtf8("ABCDEFGHIJKLM\xC3\xBC"),
                      QString::fromUtf8("ABCDEFGHIJKLMN\xC3\xBC"),
                      QString::fromUtf8("ABCDEFGHIJKL\xE2\x82\xAC\xE2\x82\xAC"),
                      QString::fromUtf8("\xF0\x9F\x9B\xB0 Sat")};
    for (int v = -300; v <= 300; ++v)
        texts << QString::number(v);
    for (const int v : {-5000, -1000, 1000, 4096, 4864, 5096, 5120, 10000, 20000, 30000, -30000, 65446, 65626,
                        -65446, 16777306})
        texts << QString::number(v);
    for (const QString &t : texts) {
        const QString shown = QString(t).replace('\t', "\\t").replace('\n', "\\n").replace('\r', "\\r");
        QTest::newRow(qPrintable("[" + shown + "]")) << t;
    }
}

void TstSatList::write_changes_match_record()
{
    QFETCH(QString, text);
    const SatRow row{text, text, text, text};
    const SatRecord rec = row_to_record(row);
    const uint8_t *b = rec.bytes;
    QMap<int, CellChange> reported;
    for (const CellChange &c : ::write_changes(row)) {
        QVERIFY2(!reported.contains(c.column), "one change a cell");
        QCOMPARE(c.text, text);
        QVERIFY(!c.reason.isEmpty());
        reported.insert(c.column, c);
    }

    const QByteArray utf8 = text.toUtf8();
    const QByteArray name_bytes(reinterpret_cast<const char *>(b), sat_name_bytes + 1);
    const bool name_altered
        = utf8.size() > sat_name_bytes || name_bytes != utf8.leftJustified(sat_name_bytes + 1, '\0');
    // The box's error byte among a field's bytes: stored, never read back.
    const auto holds_error_byte
        = [b](int from, int count) { return std::count(b + from, b + from + count, 0xEF) > 0; };
    const bool name_unreadable = holds_error_byte(0, sat_name_bytes);
    QCOMPARE(reported.contains(col_name), name_altered || name_unreadable);
    if (reported.contains(col_name)) {
        QCOMPARE(reported[col_name].sent, record_to_row(rec)[col_name]);
        QCOMPARE(reported[col_name].unreadable, name_unreadable);
    }

    const Reading r = read_integer(text);
    const bool blank = text.trimmed().isEmpty();
    const struct {
        SatColumn column;
        qint64 held; // the number in the record
        qint64 low, high; // what the cell's bytes can hold
        bool unreadable;
    } cells[] = {
        {col_position, int16_t(b[16] | b[17] << 8), -32768, 32767, holds_error_byte(16, 2)},
        {col_vertical, int8_t(b[19]), -128, 127, holds_error_byte(19, 1)},
        {col_horizontal, int8_t(b[18]), -128, 127, holds_error_byte(18, 1)},
    };
    for (const auto &cell : cells) {
        bool altered;
        if (blank)
            altered = cell.held != 0;
        else if (!r.integer || r.huge)
            altered = true;
        else
            altered = r.value < cell.low || r.value > cell.high || cell.held != r.value;
        QVERIFY2(!(blank && altered), "a blank cell is sent as 0");
        QCOMPARE(reported.contains(cell.column), altered || cell.unreadable);
        if (reported.contains(cell.column)) {
            QCOMPARE(reported[cell.column].sent, QString::number(cell.held));
            QCOMPARE(reported[cell.column].unreadable, cell.unreadable);
        }
    }
}

QTEST_GUILESS_MAIN(TstSatList)
#include "tst_sat_list.moc"
