#include "sat_edit.h"

#include <QStringList>

#include <algorithm>

namespace {

bool blank_cell(const QString &text)
{
    return text.isEmpty() || text == QLatin1String(" ");
}

// Where a row goes when the list is sorted by position.
enum class SortGroup { number, no_number, empty };

} // namespace

QString plain_cell(const QString &text)
{
    QString plain = text;
    for (QChar &c : plain)
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return plain;
}

QString grid_to_text(const CellGrid &grid)
{
    QString text;
    for (const std::vector<QString> &row : grid) {
        QStringList cells;
        for (const QString &cell : row)
            cells << plain_cell(cell);
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

CellGrid text_to_grid(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    CellGrid grid;
    std::size_t width = 0;
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QStringList cells = line.split(QLatin1Char('\t'));
        grid.emplace_back(cells.begin(), cells.end());
        width = std::max(width, grid.back().size());
    }
    for (std::vector<QString> &row : grid)
        row.resize(width);
    return grid;
}

bool row_is_empty(const SatRow &row)
{
    return std::all_of(row.begin(), row.end(), blank_cell);
}

bool move_rows(std::vector<SatRow> &list, std::vector<int> &rows, int step)
{
    if (rows.empty())
        return false;
    // The row nearest the edge moves first, so that a block moves whole.
    std::sort(rows.begin(), rows.end());
    if (step > 0)
        std::reverse(rows.begin(), rows.end());
    const int edge = step < 0 ? 0 : int(list.size()) - 1;
    if (rows.front() == edge)
        return false;
    for (int &row : rows) {
        std::swap(list[size_t(row)], list[size_t(row + step)]);
        row += step;
    }
    return true;
}

void clear_rows(std::vector<SatRow> &list, const std::vector<int> &rows)
{
    for (const int row : rows)
        list[size_t(row)] = SatRow();
}

bool insert_empty_row(std::vector<SatRow> &list, int at)
{
    if (list.empty() || !row_is_empty(list.back()))
        return false;
    list.pop_back();
    list.insert(list.begin() + at, SatRow());
    return true;
}

void delete_rows(std::vector<SatRow> &list, const std::vector<int> &rows)
{
    std::vector<SatRow> kept;
    kept.reserve(list.size());
    for (int row = 0; row < int(list.size()); ++row)
        if (std::find(rows.begin(), rows.end(), row) == rows.end())
            kept.push_back(list[size_t(row)]);
    kept.resize(list.size());
    list = std::move(kept);
}

void sort_by_position(std::vector<SatRow> &list)
{
    struct Key {
        SortGroup group;
        int position;
    };
    const auto key_of = [](const SatRow &row) -> Key {
        if (row_is_empty(row))
            return {SortGroup::empty, 0};
        bool ok = false;
        const int position = row[col_position].trimmed().toInt(&ok, 10);
        return ok ? Key{SortGroup::number, position} : Key{SortGroup::no_number, 0};
    };
    std::stable_sort(list.begin(), list.end(), [&](const SatRow &a, const SatRow &b) {
        const Key ka = key_of(a);
        const Key kb = key_of(b);
        if (ka.group != kb.group)
            return ka.group < kb.group;
        return ka.position < kb.position;
    });
}

bool CellEdit::operator==(const CellEdit &o) const
{
    return row == o.row && column == o.column && before == o.before && after == o.after;
}

std::vector<CellEdit> cell_edits(const std::vector<SatRow> &before, const std::vector<SatRow> &after)
{
    std::vector<CellEdit> edits;
    const std::size_t rows = std::min(before.size(), after.size());
    for (std::size_t row = 0; row < rows; ++row)
        for (int col = 0; col < sat_columns; ++col)
            if (before[row][size_t(col)] != after[row][size_t(col)])
                edits.push_back({int(row), col, before[row][size_t(col)], after[row][size_t(col)]});
    return edits;
}
