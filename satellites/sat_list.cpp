#include "sat_list.h"

#include <QIODevice>
#include <cstring>

namespace {

constexpr int kPositionLimit = 5000; // the box's dish turns no further
constexpr int kAngleLimit = 90;
constexpr int8_t kVerticalFallback = 45;
constexpr int8_t kHorizontalFallback = -45;

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

uint8_t limited_angle(const QString &text, int8_t fallback)
{
    const int value = text.toInt(nullptr, 10);
    int8_t angle = static_cast<int8_t>(static_cast<uint8_t>(value & 0xFF));
    if (angle > kAngleLimit || angle < -kAngleLimit)
        angle = fallback;
    return static_cast<uint8_t>(angle);
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
    constexpr int kKeep = kCsvLineMax + 1;
    char chunk[kKeep + 2];
    bool ended = false;
    for (;;) {
        qint64 n = in.readLine(chunk, sizeof chunk);
        if (n <= 0)
            break;
        const bool lf = chunk[n - 1] == '\n';
        if (lf)
            --n;
        const qint64 room = kKeep - line->size();
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
    line->truncate(kCsvLineMax);
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
    f.name = QString::fromLocal8Bit(line.constData(), qMin(c1, kSatNameBytes));
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
    int name_len = 0;
    while (name_len < 16 && b[name_len] != 0)
        ++name_len;

    const auto position = static_cast<int16_t>(static_cast<uint16_t>(b[16] << 8 | b[17]));
    const auto horizontal = static_cast<int8_t>(b[18]);
    const auto vertical = static_cast<int8_t>(b[19]);

    SatRow row;
    row[kColName] = QString::fromUtf8(reinterpret_cast<const char *>(b), name_len);
    if (rule == EmptySlot::Blank && position == 0 && horizontal == 0 && vertical == 0) {
        row[kColPosition] = row[kColVertical] = row[kColHorizontal] = QStringLiteral(" ");
    } else {
        row[kColPosition] = QString::number(position);
        row[kColVertical] = QString::number(vertical);
        row[kColHorizontal] = QString::number(horizontal);
    }
    return row;
}

SatRecord row_to_record(const SatRow &row)
{
    SatRecord rec; // zero filled: the name's end and byte 15 need no extra step
    const QByteArray name = row[kColName].toUtf8().left(kSatNameBytes);
    std::memcpy(rec.bytes, name.constData(), static_cast<size_t>(name.size()));

    short position = row[kColPosition].toShort(nullptr, 10);
    if (position > kPositionLimit)
        position = 0;
    const auto raw = static_cast<uint16_t>(position);
    rec.bytes[16] = static_cast<uint8_t>(raw & 0xFF);
    rec.bytes[17] = static_cast<uint8_t>(raw >> 8);

    rec.bytes[18] = limited_angle(row[kColHorizontal], kHorizontalFallback);
    rec.bytes[19] = limited_angle(row[kColVertical], kVerticalFallback);
    return rec;
}
