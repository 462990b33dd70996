#pragma once

// Editing the satellite list as a whole, without widgets: cells on the
// clipboard as spreadsheets exchange them, operations on whole rows, and the
// cells one state of the list differs from another in.

#include <QString>

#include <vector>

#include "sat_list.h"

// ---- the clipboard -------------------------------------------------------

// A rectangle of cells: rows of texts, each row as long as the others.
using CellGrid = std::vector<std::vector<QString>>;

// A cell as it goes out in tab-separated text: a tab or a line break inside
// it would split the cell, so each becomes a space.
QString plain_cell(const QString &text);

// Tab-separated text, one line per row, each line ended by LF: the form
// spreadsheets paste as cells. Each cell as plain_cell gives it.
QString grid_to_text(const CellGrid &grid);

// The cells of tab-separated text: a line per row (LF or CR LF), a cell per
// tab. The line end after the last row starts no row of its own; rows
// shorter than the longest are filled with empty cells. Empty text gives no
// rows.
CellGrid text_to_grid(const QString &text);

// ---- whole rows ----------------------------------------------------------

// A row is empty when each of its cells is empty or " ".
bool row_is_empty(const SatRow &row);

// The operations on rows. `rows` are row indices, each once, in any order;
// none of them changes how many rows `list` holds: texts move between rows.

// Moves each of `rows` one row up (`step` -1) or down (`step` 1); the rows
// passed over take their places. False, and nothing moved, when one of them
// is at the edge it moves towards. `rows` then holds where they are.
bool move_rows(std::vector<SatRow> &list, std::vector<int> &rows, int step);
void clear_rows(std::vector<SatRow> &list, const std::vector<int> &rows);
// An empty row at `at`, the rows from there one further down. False, and
// nothing changed, when the last row is not empty: it would be lost.
bool insert_empty_row(std::vector<SatRow> &list, int at);
// The rows after each of `rows` move up; empty rows fill the end.
void delete_rows(std::vector<SatRow> &list, const std::vector<int> &rows);
// Rows by the number their position cell holds, lowest first; then rows
// whose position holds no number; then empty rows. Rows that compare equal
// keep their order.
void sort_by_position(std::vector<SatRow> &list);

// ---- changes -------------------------------------------------------------

// One cell's text before and after a change.
struct CellEdit {
    int row = 0;
    int column = 0;
    QString before;
    QString after;
    bool operator==(const CellEdit &o) const;
};

// The cells whose texts differ between two lists of the same length, row by
// row, columns in order.
std::vector<CellEdit> cell_edits(const std::vector<SatRow> &before, const std::vector<SatRow> &after);
