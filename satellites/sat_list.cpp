#include "sat_list.h"

#include <QIODevice>
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

// The name's UTF-8 bytes the box keeps.
QByteArray sent_name(const QString &name)
{
    return name.toUtf8().left(sat_name_bytes);
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

bool read_csv_line(QIODevice &in, QByteArray *line)
{
    line->clear();
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
        if (lf) {
            ended = true;
            break;
        }
    }
    if (!ended)
        return false;
    if (line->endsWith('\r'))
        line->chop(1);
    line->truncate(csv_line_max);
    return true;
}

CsvFields parse_csv_line(const QByteArray &line)
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
    f.name = QString::fromLocal8Bit(line.constData(), qMin(c1, sat_name_bytes));
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

QByteArray format_csv(const std::vector<SatRow> &rows)
{
    QString text;
    for (const SatRow &row : rows)
        text += format_csv_line(row);
    return text.toLocal8Bit();
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
    return column == o.column && text == o.text && sent == o.sent && reason == o.reason;
}

std::vector<CellChange> write_changes(const SatRow &row)
{
    std::vector<CellChange> changes;
    const QString &name = row[col_name];
    const int name_size = name.toUtf8().size();
    if (name_size > sat_name_bytes) {
        SatRecord stored;
        const QByteArray kept = sent_name(name);
        std::memcpy(stored.bytes, kept.constData(), static_cast<size_t>(kept.size()));
        changes.push_back({col_name, name, stored_name(stored.bytes),
                           QStringLiteral("the name has %1 bytes: the box keeps the first %2")
                               .arg(name_size)
                               .arg(sat_name_bytes)});
    }

    const struct {
        SatColumn column;
        SentNumber sent;
        int limit;
    } numbers[] = {
        {col_position, sent_position(row[col_position]), position_limit},
        {col_vertical, sent_angle(row[col_vertical], vertical_fallback), angle_limit},
        {col_horizontal, sent_angle(row[col_horizontal], horizontal_fallback), angle_limit},
    };
    for (const auto &n : numbers) {
        if (n.sent.why == Why::as_read)
            continue;
        const QString &text = row[n.column];
        changes.push_back(
            {n.column, text, QString::number(n.sent.value), number_reason(text, n.sent, n.limit)});
    }
    return changes;
}
