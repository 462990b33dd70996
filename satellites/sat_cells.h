#pragma once

// The satellite table's cells as the technician sees them: editors that take
// only what a cell can hold, marks on the cells the write would alter, and
// the cells edited since the table was last saved or loaded.

#include <QAbstractItemView>
#include <QSet>
#include <QStyledItemDelegate>
#include <QValidator>

#include <vector>

#include "sat_list.h"

class QTableWidget;
class QTableWidgetItem;

// Position, Vertical and Horizontal take integers only: a sign and digits.
// Blank text (an empty cell, or " " as the box's empty slots show) is kept.
class IntegerCellValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString &text, int &pos) const override;
};

// A name takes at most the bytes the box stores, counted in UTF-8, and
// neither a comma nor a line feed, which a list file cannot keep.
class NameCellValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString &text, int &pos) const override;
};

// Gives each column of the satellite table the editor with its validator,
// and tells which cells the technician's editing changed.
class SatCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;

signals:
    // An editor's text is about to reach the model (true), or has (false).
    void committing(bool under_way);
};

// Marks `item` with `note` (a background, and the note as its tooltip);
// clears the mark when `note` is empty.
void mark_cell(QTableWidgetItem &item, const QString &note);
bool cell_marked(const QTableWidgetItem &item);

// What the tooltip of a cell marked for `change` says.
QString change_note(const CellChange &change);

// The texts of `row`; a cell without an item reads as empty.
SatRow table_row(const QTableWidget &table, int row);

// Follows every change of a satellite table's cells, from a file, from the
// box or from an edit: keeps their marks (cells the write would alter, and
// cells a list file cannot give back as they are), and knows the cells whose edits
// were neither saved to a file nor written to the box. Gives the table the
// cell delegate.
class SatTableWatch : public QObject
{
    Q_OBJECT
public:
    explicit SatTableWatch(QTableWidget *table);

    // An edit is unsaved while its cell differs from what the cell held when
    // the table was last saved, written, or filled there from a file or the
    // box: an edit undone counts as never made.
    bool has_unsaved_edits() const { return !edited.isEmpty(); }
    // The table as it is now was saved to a file or written to the box.
    void edits_kept();
    // Read-only while a transfer runs; editable as the form says otherwise.
    void set_editable(bool editable);
    bool editable() const { return is_editable; }

    // Changes between these two calls are the technician's edits, as typing
    // is; all others fill cells from a file or from the box.
    void begin_edit() { ++editing; }
    void end_edit() { --editing; }

signals:
    void editable_changed(bool editable);

private:
    void cell_changed(QTableWidgetItem *item);
    void mark_row(int row);

    QTableWidget *table;
    QAbstractItemView::EditTriggers form_triggers;
    bool is_editable = true;
    int editing = 0; // begin_edit calls not yet ended
    std::vector<SatRow> kept; // each cell as last saved, written or filled
    QSet<int> edited; // row * sat_columns + column of each cell with an unsaved edit
};

// The question "Save to device" asks when the write alters cells.
struct WriteQuestion {
    int rows = 0; // rows with an altered cell: no question when none
    QString text; // how many rows, and the first few with what the box gets
    QString detail; // every altered cell, with the reason
};

constexpr int write_question_rows_shown = 5;

WriteQuestion write_question(const std::vector<SatRow> &rows);
