#include "sat_list.h"

#include <QBuffer>
#include <QIODevice>
#include <QStringList>

#include <algorithm>
#include <cstring>

namespace {

constexpr int position_limit = 5000; // the box's dish turns no further
constexpr int angle_limit = 90;
constexpr int8_t vertical_fallback = 45;
constexpr int8_t horizontal_fallback = -45;

// Accumulates a CSV number field in U (uint16_t or uint8_t), wrapping at its
// width: files written by hand or by other tools carry anything, and the
// reader never refuses a field.
template <typename U>
U accumulate(const QByteArray &field)
{
    U value = 0;
    bool negative = false;
    for (const char ch : field) {
        const unsigned code = static_cast<uint8_t>(ch);
        if (code == ' ')
            continue;
        if (code == '-')
            negative = true;
        else if (code == '+')
            negative = false;
        else
            value = static_cast<U>(value * 10u + (code - 48u));
    }
    return negative ? static_cast<U>(0u - value) : value;
}

QByteArray field_between(const QByteArray &line, int from_comma, int to)
{
    return line.mid(from_comma + 1, to - from_comma - 1);
}

// The first bytes of UTF-8 `bytes`, at most `limit`, ending at a whole
// character: the box must never get half of one.
QByteArray utf8_whole_prefix(const QByteArray &bytes, int limit)
{
    int cut = qMin(limit, bytes.size());
    while (cut > 0 && cut < bytes.size() && (static_cast<uint8_t>(bytes[cut]) & 0xC0) == 0x80)
        --cut;
    return bytes.left(cut);
}

const QByteArray utf8_bom("\xEF\xBB\xBF");

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.constData());
    const auto *end = p + bytes.size();
    while (p < end) {
        const uint8_t lead = *p++;
        if (lead < 0x80)
            continue;
        int more;
        uint32_t code;
        uint32_t lowest;
        if ((lead & 0xE0) == 0xC0) {
            more = 1, code = lead & 0x1Fu, lowest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2, code = lead & 0x0Fu, lowest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3, code = lead & 0x07u, lowest = 0x10000;
        } else {
            return false;
        }
        if (end - p < more)
            return false;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;
            code = code << 6 | (*p & 0x3Fu);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

// Windows-1252 where it differs from Latin-1: bytes 0x80 to 0x9F. The five
// bytes it leaves undefined keep their Latin-1 code points.
const char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// A number field that reads as the number it shows: blank, or one leading
// sign and digits (blanks anywhere), within the field's bits.
bool plain_number(const QByteArray &field, int bits)
{
    QByteArray core = field;
    core.replace(' ', QByteArray());
    if (core.isEmpty())
        return true;
    const int first = core[0] == '-' || core[0] == '+' ? 1 : 0;
    if (first == core.size())
        return false;
    for (int i = first; i < core.size(); ++i)
        if (core[i] < '0' || core[i] > '9')
            return false;
    bool ok = false;
    const qlonglong value = core.toLongLong(&ok);
    const qlonglong high = (1LL << (bits - 1)) - 1;
    return ok && value >= -high - 1 && value <= high;
}

// A heading and its first csv_report_shown items, one a line.
QString report_section(const QString &heading, const QStringList &items)
{
    QString text = heading;
    for (int i = 0; i < items.size() && i < csv_report_shown; ++i)
        text += QStringLiteral("\n  ") + items[i];
    if (items.size() > csv_report_shown)
        text += QStringLiteral("\n  and %1 more").arg(items.size() - csv_report_shown);
    return text;
}

// What the write makes of one number cell: the value the box gets and, when
// that is not the number the text reads as, why.
enum class Why {
    as_read, // the box gets what the text reads as (a blank reads as 0)
    not_whole, // neither blank nor an integer
    not_16_bit, // an integer outside -32768..32767
    not_32_bit, // an integer outside the int range
    above_limit, // the integer is above the limit
    below_limit, // the integer is below minus the limit
    cut_to_8_bits, // the integer's low 8 bits, as a signed byte, differ from it
    cut_beyond_limit, // and that byte lies beyond +-90
};

struct SentNumber {
    int value = 0;
    Why why = Why::as_read;
    int cut = 0; // vertical and horizontal: the signed byte before the +-90 rule
};

// Text as QString::toShort and toInt read it: whitespace around it does not
// count, so " 5 " is 5 and a cell of whitespace only is blank.
QString number_core(const QString &text)
{
    return text.trimmed();
}

bool is_sign(QChar c)
{
    // U+2212 MINUS SIGN: toInt takes it as '-'.
    return c == QLatin1Char('+') || c == QLatin1Char('-') || c == QChar(0x2212);
}

// A sign (optional) and ASCII digits, after number_core.
bool is_integer_text(const QString &core)
{
    const int first = !core.isEmpty() && is_sign(core.front()) ? 1 : 0;
    if (first == core.size())
        return false;
    for (int i = first; i < core.size(); ++i) {
        if (core[i] < QLatin1Char('0') || core[i] > QLatin1Char('9'))
            return false;
    }
    return true;
}

// Why the box gets 0 for a text QString's number reading refused.
Why refused(const QString &text, Why out_of_range)
{
    const QString core = number_core(text);
    if (core.isEmpty())
        return Why::as_read;
    return is_integer_text(core) ? out_of_range : Why::not_whole;
}

// The position: QString::toShort, 0 when it is not a number or above 5000.
SentNumber sent_position(const QString &text)
{
    bool ok = false;
    const short parsed = text.toShort(&ok, 10);
    if (!ok)
        return {0, refused(text, Why::not_16_bit)};
    if (parsed > position_limit)
        return {0, Why::above_limit};
    return {parsed, Why::as_read};
}

// Vertical or horizontal: QString::toInt, its low 8 bits as a signed byte,
// replaced by fallback beyond +-90.
SentNumber sent_angle(const QString &text, int8_t fallback)
{
    bool ok = false;
    const int parsed = text.toInt(&ok, 10);
    const auto cut = static_cast<int8_t>(static_cast<uint8_t>(parsed & 0xFF));
    const bool beyond = cut > angle_limit || cut < -angle_limit;
    const int value = beyond ? fallback : cut;
    if (!ok)
        return {value, refused(text, Why::not_32_bit), cut};
    if (cut != parsed)
        return {value, beyond ? Why::cut_beyond_limit : Why::cut_to_8_bits, cut};
    if (beyond)
        return {value, parsed > 0 ? Why::above_limit : Why::below_limit, cut};
    return {value, Why::as_read, cut};
}

// The name's UTF-8 bytes the box keeps: whole characters only.
QByteArray sent_name(const QString &name)
{
    return utf8_whole_prefix(name.toUtf8(), sat_name_bytes);
}

// The name in a record's bytes 0-15: up to the first zero byte, as UTF-8.
QString stored_name(const uint8_t *bytes)
{
    int length = 0;
    while (length < sat_name_bytes + 1 && bytes[length] != 0)
        ++length;
    return QString::fromUtf8(reinterpret_cast<const char *>(bytes), length);
}

QString number_reason(const QString &text, const SentNumber &sent, int limit)
{
    const QString core = number_core(text);
    const QString gets = QStringLiteral(": the box gets %1").arg(sent.value);
    switch (sent.why) {
    case Why::as_read:
        break;
    case Why::not_whole:
        return core + QStringLiteral(" is not a whole number") + gets;
    case Why::not_16_bit:
        return core + QStringLiteral(" is not a 16-bit number") + gets;
    case Why::not_32_bit:
        return core + QStringLiteral(" is not a 32-bit number") + gets;
    case Why::above_limit:
        return QStringLiteral("%1 is above %2").arg(core).arg(limit) + gets;
    case Why::below_limit:
        return QStringLiteral("%1 is below %2").arg(core).arg(-limit) + gets;
    case Why::cut_to_8_bits:
        return core + QStringLiteral(" is cut to 8 bits") + gets;
    case Why::cut_beyond_limit:
        return QStringLiteral("%1 cut to 8 bits is %2, %3 %4")
                   .arg(core)
                   .arg(sent.cut)
                   .arg(sent.cut > 0 ? QStringLiteral("above") : QStringLiteral("below"))
                   .arg(sent.cut > 0 ? limit : -limit)
            + gets;
    }
    return {};
}

} // namespace

SatRow CsvFields::cells() const
{
    return {name, QString::number(position), QString::number(vertical), QString::number(horizontal)};
}

bool CsvFields::operator==(const CsvFields &o) const
{
    return valid == o.valid && name == o.name && position == o.position && vertical == o.vertical
        && horizontal == o.horizontal;
}

bool read_csv_line(QIODevice &in, QByteArray *line, bool *cut)
{
    line->clear();
    bool longer = false;
    // One character more than kept, so that a CR in front of the LF of a line
    // of full length can still be recognised and dropped.
    constexpr int kept_chars = csv_line_max + 1;
    char chunk[kept_chars + 2];
    bool ended = false;
    for (;;) {
        qint64 n = in.readLine(chunk, sizeof chunk);
        if (n <= 0)
            break;
        const bool lf = chunk[n - 1] == '\n';
        if (lf)
            --n;
        const qint64 room = kept_chars - line->size();
        if (room > 0)
            line->append(chunk, static_cast<int>(qMin(n, room)));
        longer = longer || n > room;
        if (lf) {
            ended = true;
            break;
        }
    }
    if (!ended)
        return false;
    if (line->endsWith('\r'))
        line->chop(1);
    longer = longer || line->size() > csv_line_max;
    line->truncate(csv_line_max);
    if (cut)
        *cut = longer;
    return true;
}

int CsvList::satellite_lines() const
{
    return int(std::count_if(lines.begin(), lines.end(), [](const CsvFields &f) { return f.is_valid(); }));
}

CsvList read_csv_list(const QByteArray &file)
{
    CsvList list;
    list.encoding = csv_encoding(file);
    QByteArray body = file.startsWith(utf8_bom) ? file.mid(utf8_bom.size()) : file;
    QBuffer in(&body);
    in.open(QIODevice::ReadOnly);
    QByteArray line;
    bool cut = false;
    while (int(list.lines.size()) < sat_count) {
        const int number = int(list.lines.size()) + 1;
        if (!read_csv_line(in, &line, &cut)) {
            // A last line without a line end is not read; its row is lost
            // unless the technician hears of it.
            if (!line.isEmpty())
                list.skipped.push_back({number, decode_csv_text(line, list.encoding)});
            break;
        }
        const CsvFields fields = parse_csv_line(line, list.encoding);
        list.lines.push_back(fields);
        list.file_names.push_back(
            fields.is_valid() ? decode_csv_text(line.left(line.indexOf(',')), list.encoding) : QString());
        if (cut)
            list.cut_lines.push_back(number);
        if (!fields.is_valid()) {
            list.skipped.push_back({number, decode_csv_text(line, list.encoding)});
            if (line.count(';') >= 3)
                ++list.semicolon_lines;
            continue;
        }
        const int c1 = line.indexOf(',');
        const int c2 = line.indexOf(',', c1 + 1);
        const int c3 = line.indexOf(',', c2 + 1);
        int end = line.indexOf(',', c3 + 1);
        if (end < 0)
            end = line.size();
        const struct {
            SatColumn column;
            QByteArray field;
            int bits;
            int value;
        } numbers[] = {
            {col_position, field_between(line, c1, c2), 16, fields.position},
            {col_vertical, field_between(line, c2, c3), 8, fields.vertical},
            {col_horizontal, field_between(line, c3, end), 8, fields.horizontal},
        };
        for (const auto &n : numbers)
            if (!plain_number(n.field, n.bits))
                list.odd_fields.push_back(
                    {number, n.column, decode_csv_text(n.field, list.encoding), n.value});
    }
    return list;
}

QString csv_report(const CsvList &list)
{
    QStringList parts;
    if (!list.skipped.empty()) {
        QStringList items;
        for (const CsvList::Line &line : list.skipped)
            items << QStringLiteral("line %1: \"%2\"").arg(QString::number(line.number), line.text);
        QString part = report_section(
            items.size() == 1
                ? QStringLiteral("1 line is not a satellite row and was skipped:")
                : QStringLiteral("%1 lines are not satellite rows and were skipped:").arg(items.size()),
            items);
        if (list.semicolon_lines > 0)
            part += QStringLiteral("\n%1 separate fields by semicolons (;), not commas.")
                        .arg(list.semicolon_lines == 1
                                 ? QStringLiteral("1 of them")
                                 : QStringLiteral("%1 of them").arg(list.semicolon_lines));
        parts << part;
    }
    if (!list.odd_fields.empty()) {
        QStringList items;
        for (const CsvList::OddField &f : list.odd_fields)
            items << QStringLiteral("line %1, %2 \"%3\" reads as %4")
                         .arg(QString::number(f.line), sat_column_name(f.column), f.text,
                              QString::number(f.value));
        parts << report_section(
            items.size() == 1
                ? QStringLiteral("1 number field does not read as the number it shows:")
                : QStringLiteral("%1 number fields do not read as the numbers they show:").arg(items.size()),
            items);
    }
    if (!list.cut_lines.empty()) {
        QStringList items;
        for (const int number : list.cut_lines)
            items << QStringLiteral("line %1").arg(number);
        parts << report_section(
            items.size() == 1
                ? QStringLiteral("1 line is longer than %1 characters; the rest was dropped:")
                      .arg(csv_line_max)
                : QStringLiteral("%1 lines are longer than %2 characters; the rest was dropped:")
                      .arg(items.size())
                      .arg(csv_line_max),
            items);
    }
    return parts.join(QStringLiteral("\n\n"));
}

QString csv_no_satellite_text(const CsvList &list)
{
    QString text = QStringLiteral(
        "The file holds no satellite line: a line of name, position, vertical and horizontal, "
        "separated by commas.");
    if (list.semicolon_lines > 0)
        text += QStringLiteral(" This file separates its fields by semicolons (;).");
    return text;
}

CsvEncoding csv_encoding(const QByteArray &file)
{
    const QByteArray body = file.startsWith(utf8_bom) ? file.mid(utf8_bom.size()) : file;
    return is_utf8(body) ? CsvEncoding::utf8 : CsvEncoding::windows_1252;
}

QString decode_csv_text(const QByteArray &bytes, CsvEncoding encoding)
{
    if (encoding == CsvEncoding::utf8)
        return QString::fromUtf8(bytes);
    QString text(bytes.size(), Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        text[i] = b >= 0x80 && b < 0xA0 ? QChar(cp1252_high[b - 0x80]) : QChar(b);
    }
    return text;
}

CsvFields parse_csv_line(const QByteArray &line, CsvEncoding encoding)
{
    CsvFields f;
    const int c1 = line.indexOf(',');
    const int c2 = c1 < 0 ? -1 : line.indexOf(',', c1 + 1);
    const int c3 = c2 < 0 ? -1 : line.indexOf(',', c2 + 1);
    if (c3 < 0)
        return f;
    int end = line.indexOf(',', c3 + 1);
    if (end < 0)
        end = line.size();

    f.valid = true;
    const QByteArray name = line.left(c1);
    f.name = decode_csv_text(encoding == CsvEncoding::utf8 ? utf8_whole_prefix(name, sat_name_bytes)
                                                           : name.left(sat_name_bytes),
                             encoding);
    f.position = csv_number16(field_between(line, c1, c2));
    f.vertical = csv_number8(field_between(line, c2, c3));
    f.horizontal = csv_number8(field_between(line, c3, end));
    return f;
}

int16_t csv_number16(const QByteArray &field)
{
    return static_cast<int16_t>(accumulate<uint16_t>(field));
}

int8_t csv_number8(const QByteArray &field)
{
    return static_cast<int8_t>(accumulate<uint8_t>(field));
}

QString csv_cell_problem(const QString &text)
{
    const bool comma = text.contains(QLatin1Char(','));
    const bool line_feed = text.contains(QLatin1Char('\n'));
    if (comma && line_feed)
        return QStringLiteral("a comma and a line feed");
    if (comma)
        return QStringLiteral("a comma");
    return line_feed ? QStringLiteral("a line feed") : QString();
}

QString csv_round_trip_report(const std::vector<SatRow> &rows)
{
    QStringList items;
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (int col = 0; col < sat_columns; ++col) {
            const QString problem = csv_cell_problem(rows[r][size_t(col)]);
            if (problem.isEmpty())
                continue;
            QString shown = rows[r][size_t(col)];
            shown.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
            items << QStringLiteral("row %1: the %2 \"%3\" holds %4")
                         .arg(QString::number(r + 1), sat_column_name(SatColumn(col)), shown, problem);
            break;
        }
    if (items.isEmpty())
        return {};
    return report_section(
        (items.size() == 1
             ? QStringLiteral("1 row will not read back from the file as it is")
             : QStringLiteral("%1 rows will not read back from the file as they are").arg(items.size()))
            + QStringLiteral(" (a list file has no quoting: a comma or a line feed splits the line):"),
        items);
}

QByteArray format_csv(const std::vector<SatRow> &rows)
{
    QString text;
    for (const SatRow &row : rows)
        text += format_csv_line(row);
    return text.toUtf8();
}

QString format_csv_line(const SatRow &row)
{
    QString line;
    for (const QString &cell : row) {
        if (!cell.isEmpty() && cell != QLatin1String(" "))
            line += cell;
        line += QLatin1Char(',');
    }
    line += QLatin1Char('\n');
    return line;
}

SatRow record_to_row(const SatRecord &rec, EmptySlot rule)
{
    const uint8_t *b = rec.bytes;
    const auto position = static_cast<int16_t>(static_cast<uint16_t>(b[16] << 8 | b[17]));
    const auto horizontal = static_cast<int8_t>(b[18]);
    const auto vertical = static_cast<int8_t>(b[19]);

    SatRow row;
    row[col_name] = stored_name(b);
    if (rule == EmptySlot::blank && position == 0 && horizontal == 0 && vertical == 0) {
        row[col_position] = row[col_vertical] = row[col_horizontal] = QStringLiteral(" ");
    } else {
        row[col_position] = QString::number(position);
        row[col_vertical] = QString::number(vertical);
        row[col_horizontal] = QString::number(horizontal);
    }
    return row;
}

SatRecord row_to_record(const SatRow &row)
{
    SatRecord rec; // zero filled: the name's end and byte 15 need no extra step
    const QByteArray name = sent_name(row[col_name]);
    std::memcpy(rec.bytes, name.constData(), static_cast<size_t>(name.size()));

    const auto raw = static_cast<uint16_t>(sent_position(row[col_position]).value);
    rec.bytes[16] = static_cast<uint8_t>(raw & 0xFF);
    rec.bytes[17] = static_cast<uint8_t>(raw >> 8);

    rec.bytes[18] = static_cast<uint8_t>(sent_angle(row[col_horizontal], horizontal_fallback).value);
    rec.bytes[19] = static_cast<uint8_t>(sent_angle(row[col_vertical], vertical_fallback).value);
    return rec;
}

QString sat_column_name(SatColumn column)
{
    static const char *const names[sat_columns] = {"name", "position", "vertical", "horizontal"};
    return QString::fromLatin1(names[column]);
}

bool CellChange::operator==(const CellChange &o) const
{
    return column == o.column && text == o.text && sent == o.sent && reason == o.reason
        && unreadable == o.unreadable;
}

std::vector<CellChange> write_changes(const SatRow &row)
{
    std::vector<CellChange> changes;
    // A value the box stores with its error byte: it answers a list read of
    // that satellite with 0xEF every time.
    const auto unless_readable = [&changes](const QByteArray &sent_bytes, SatColumn column,
                                            const QString &text, const QString &sent, const QString &reason) {
        const bool unreadable = sent_bytes.contains(char(box_error_byte));
        if (reason.isEmpty() && !unreadable)
            return;
        QStringList why;
        if (!reason.isEmpty())
            why << reason;
        if (unreadable)
            why << QStringLiteral(
                       "%1 is sent with the byte 0xEF, the box's error byte: the box can store it, "
                       "but cannot send it back to be read")
                       .arg(column == col_name ? QStringLiteral("the name") : sent);
        changes.push_back({column, text, sent, why.join(QStringLiteral("; ")), unreadable});
    };

    const QString &name = row[col_name];
    const int name_size = name.toUtf8().size();
    const QByteArray kept = sent_name(name);
    SatRecord stored;
    std::memcpy(stored.bytes, kept.constData(), static_cast<size_t>(kept.size()));
    unless_readable(kept, col_name, name, stored_name(stored.bytes),
                    name_size > sat_name_bytes
                        ? QStringLiteral("the name has %1 bytes: the box keeps the first %2")
                              .arg(name_size)
                              .arg(kept.size())
                        : QString());

    const struct {
        SatColumn column;
        SentNumber sent;
        int limit;
        int bytes; // on the line
    } numbers[] = {
        {col_position, sent_position(row[col_position]), position_limit, 2},
        {col_vertical, sent_angle(row[col_vertical], vertical_fallback), angle_limit, 1},
        {col_horizontal, sent_angle(row[col_horizontal], horizontal_fallback), angle_limit, 1},
    };
    for (const auto &n : numbers) {
        const QString &text = row[n.column];
        const auto raw = static_cast<uint16_t>(n.sent.value);
        QByteArray sent_bytes(1, char(raw & 0xFF));
        if (n.bytes == 2)
            sent_bytes += char(raw >> 8);
        unless_readable(sent_bytes, n.column, text, QString::number(n.sent.value),
                        n.sent.why == Why::as_read ? QString() : number_reason(text, n.sent, n.limit));
    }
    return changes;
}
