#pragma once

// Comparing two satellite lists as the box holds them: what a list write
// would change, and whether the box holds what was written.

#include <QString>

#include <optional>
#include <vector>

#include "sat_list.h"

// A satellite as the box holds it, in the table's columns: the name up to
// its first zero byte, the three numbers always as numbers (an empty slot
// gives "0", not the blank the table shows for it).
SatRow held_row(const SatRecord &from_box);

// What the box holds after a write of `cells`: the write's own conversions
// applied (a name cut to 15 bytes, a position above 5000 as 0, ...).
SatRow written_row(const SatRow &cells);

// A satellite the two lists hold differently: one field of it, or, with
// `column` -1, the satellite as a whole when a list does not know it.
struct SlotDifference {
    int number = 0; // 1..199
    int column = -1;
    QString left;
    QString right;
    bool operator==(const SlotDifference &o) const;
};

// The fields in which `right` differs from `left`, satellite by satellite,
// columns in order. A satellite one of them does not hold (no value: a read
// that ended before it) is one difference of its own.
std::vector<SlotDifference> compare_lists(const std::vector<std::optional<SatRow>> &left,
                                          const std::vector<std::optional<SatRow>> &right);

// The differences as plain text, one a line, tab-separated: the number, the
// field ("name", "position", "vertical", "horizontal"), the left and the
// right value; "NUMBER<TAB>not verified" for a satellite a list does not
// hold. Values as plain_cell gives them, so a line always has its columns.
QString format_differences(const std::vector<SlotDifference> &differences);
