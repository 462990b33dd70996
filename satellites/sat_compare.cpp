#include "sat_compare.h"

#include <utility>

#include "sat_edit.h"

SatRow held_row(const SatRecord &from_box)
{
    return record_to_row(from_box, EmptySlot::numbers);
}

SatRow written_row(const SatRow &cells)
{
    // The write sends the position low byte first, the box sends it back
    // high byte first.
    SatRecord held = row_to_record(cells);
    std::swap(held.bytes[16], held.bytes[17]);
    return held_row(held);
}

bool SlotDifference::operator==(const SlotDifference &o) const
{
    return number == o.number && column == o.column && left == o.left && right == o.right;
}

std::vector<SlotDifference> compare_lists(const std::vector<std::optional<SatRow>> &left,
                                          const std::vector<std::optional<SatRow>> &right)
{
    std::vector<SlotDifference> differences;
    const std::size_t count = std::max(left.size(), right.size());
    for (std::size_t i = 0; i < count; ++i) {
        const int number = int(i) + 1;
        const bool known = i < left.size() && left[i] && i < right.size() && right[i];
        if (!known) {
            differences.push_back({number, -1, QString(), QString()});
            continue;
        }
        for (int col = 0; col < sat_columns; ++col) {
            const QString &a = (*left[i])[size_t(col)];
            const QString &b = (*right[i])[size_t(col)];
            if (a != b)
                differences.push_back({number, col, a, b});
        }
    }
    return differences;
}

QString format_differences(const std::vector<SlotDifference> &differences)
{
    QString text;
    for (const SlotDifference &d : differences) {
        if (d.column < 0)
            text += QStringLiteral("%1\tnot verified\n").arg(d.number);
        else
            text += QStringLiteral("%1\t%2\t%3\t%4\n")
                        .arg(d.number)
                        .arg(sat_column_name(SatColumn(d.column)), plain_cell(d.left), plain_cell(d.right));
    }
    return text;
}
