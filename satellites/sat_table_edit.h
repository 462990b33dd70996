#pragma once

// The satellite table edited as a spreadsheet: ranges on the clipboard,
// operations on whole rows, and one undo stack that holds every change of
// the cells, typed or not.

#include <QHash>
#include <QModelIndexList>
#include <QObject>

#include <functional>
#include <vector>

#include "sat_edit.h"

class QAction;
class QMenu;
class QTableWidget;
class QTableWidgetItem;
class QUndoStack;
class SatTableWatch;

class SatTableEdit : public QObject
{
    Q_OBJECT
public:
    // The item a change puts into a slot that has none (null: a new one).
    using OwnCell = std::function<QTableWidgetItem *(int row, int column)>;

    // Every change goes through `table`'s items, so that `watch` sees it;
    // the operations are off while `watch` holds the table read-only.
    SatTableEdit(QTableWidget *table, SatTableWatch *watch, OwnCell own_cell = nullptr);

    QUndoStack *undo_stack() const { return stack; }

    // The changes of the cells between these calls, a file or the box
    // filling the table, are one step on the undo stack. Calls nest.
    void begin_step(const QString &text);
    void end_step();

    // The texts of every row, an absent cell empty.
    const std::vector<SatRow> &rows() const { return shadow; }

    enum class Op {
        undo,
        redo,
        cut,
        copy,
        paste,
        clear,
        move_up,
        move_down,
        clear_rows,
        insert_row,
        delete_rows,
        sort,
    };
    QAction *action(Op op) const;
    // The menu of the cells and of the row header.
    QMenu *menu() const { return context_menu; }

    // Puts `after` into the table as one step named `text`.
    void change(const QString &text, const std::vector<SatRow> &after);

signals:
    // A paste left values out, or a row operation was refused: what the
    // technician is told, and the whole list when the text shows part.
    void refused(const QString &text, const QString &detail);

private:
    friend class SatCellsCommand;

    void add_action(Op op, const QString &text, const QList<QKeySequence> &keys, void (SatTableEdit::*run)());
    void update_actions();
    bool may_change() const;
    void cell_changed(QTableWidgetItem *item);
    void apply(const std::vector<CellEdit> &edits, bool forward);
    void set_text(int row, int column, const QString &text);
    void show_menu(QWidget *from, const QPoint &pos);

    // The selected cells, or the current cell when none is selected.
    QModelIndexList chosen_cells() const;
    std::vector<int> chosen_rows() const;
    void move(int step);
    // Puts the list as `edit` leaves it into the table, as one step.
    void edit_list(const QString &text, const std::function<void(std::vector<SatRow> &)> &edit);
    void clear_cells(const QString &text);

    void undo();
    void redo();
    void cut();
    void copy();
    void paste();
    void clear();
    void move_up() { move(-1); }
    void move_down() { move(1); }
    void clear_rows();
    void insert_row();
    void delete_rows();
    void sort();

    QTableWidget *table;
    SatTableWatch *watch;
    OwnCell own_cell;
    QUndoStack *stack;
    QMenu *context_menu;
    std::vector<QAction *> actions;
    std::vector<SatRow> shadow; // the cells' texts as last seen
    bool applying = false; // an undo command is putting its texts in
    int step_depth = 0;
    QString step_text;
    QHash<int, QString> step_before; // row * sat_columns + column -> text before the step
};

// A step of its own for what happens while it lives: loading a file.
class SatEditStep
{
public:
    SatEditStep(SatTableEdit *edit, const QString &text)
        : edit(edit)
    {
        edit->begin_step(text);
    }
    ~SatEditStep() { edit->end_step(); }
    SatEditStep(const SatEditStep &) = delete;
    SatEditStep &operator=(const SatEditStep &) = delete;

private:
    SatTableEdit *edit;
};
