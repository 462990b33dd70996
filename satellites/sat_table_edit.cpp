#include "sat_table_edit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QItemSelection>
#include <QMenu>
#include <QTableWidget>
#include <QUndoStack>

#include <algorithm>
#include <set>

#include "sat_cells.h"

namespace {

// Refused values the message lists; the rest go to its detail.
constexpr int refused_values_shown = 10;

int cell_key(int row, int column)
{
    return row * sat_columns + column;
}

// What typing into a cell of `column` would take.
bool typing_takes(int column, QString text)
{
    int pos = text.size();
    if (column == col_name)
        return NameCellValidator().validate(text, pos) == QValidator::Acceptable;
    return IntegerCellValidator().validate(text, pos) == QValidator::Acceptable;
}

} // namespace

// One step on the undo stack: cells and their texts before and after.
class SatCellsCommand : public QUndoCommand
{
public:
    // `done`: the table holds the texts after already (an edit typed, a
    // file loaded), so the first redo has nothing to do.
    SatCellsCommand(SatTableEdit *edit, std::vector<CellEdit> edits, const QString &text, bool done)
        : QUndoCommand(text),
          edit(edit),
          edits(std::move(edits)),
          skip_redo(done)
    { }

    void undo() override { edit->apply(edits, false); }
    void redo() override
    {
        if (skip_redo)
            skip_redo = false;
        else
            edit->apply(edits, true);
    }

private:
    SatTableEdit *edit;
    std::vector<CellEdit> edits;
    bool skip_redo;
};

SatTableEdit::SatTableEdit(QTableWidget *table, SatTableWatch *watch, OwnCell own_cell)
    : QObject(table),
      table(table),
      watch(watch),
      own_cell(std::move(own_cell)),
      stack(new QUndoStack(this)),
      context_menu(new QMenu(table))
{
    for (int row = 0; row < table->rowCount(); ++row)
        shadow.push_back(table_row(*table, row));
    connect(table, &QTableWidget::itemChanged, this, &SatTableEdit::cell_changed);

    add_action(Op::undo, tr("Undo"), {QKeySequence(Qt::CTRL | Qt::Key_Z)}, &SatTableEdit::undo);
    add_action(Op::redo, tr("Redo"),
               {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)},
               &SatTableEdit::redo);
    context_menu->addSeparator();
    add_action(Op::cut, tr("Cut"), {QKeySequence(Qt::CTRL | Qt::Key_X)}, &SatTableEdit::cut);
    add_action(Op::copy, tr("Copy"), {QKeySequence(Qt::CTRL | Qt::Key_C)}, &SatTableEdit::copy);
    add_action(Op::paste, tr("Paste"), {QKeySequence(Qt::CTRL | Qt::Key_V)}, &SatTableEdit::paste);
    add_action(Op::clear, tr("Clear"), {QKeySequence(Qt::Key_Delete)}, &SatTableEdit::clear);
    context_menu->addSeparator();
    // Said where it happens: the box knows a satellite by its row.
    context_menu
        ->addAction(tr("Row numbers are the satellites' numbers on the box: moving rows changes them"))
        ->setEnabled(false);
    add_action(Op::move_up, tr("Move rows up"), {QKeySequence(Qt::ALT | Qt::Key_Up)}, &SatTableEdit::move_up);
    add_action(Op::move_down, tr("Move rows down"), {QKeySequence(Qt::ALT | Qt::Key_Down)},
               &SatTableEdit::move_down);
    add_action(Op::clear_rows, tr("Clear rows"), {QKeySequence(Qt::CTRL | Qt::Key_Delete)},
               &SatTableEdit::clear_rows);
    add_action(Op::insert_row, tr("Insert empty row"),
               {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)},
               &SatTableEdit::insert_row);
    add_action(Op::delete_rows, tr("Delete rows"), {QKeySequence(Qt::CTRL | Qt::Key_Minus)},
               &SatTableEdit::delete_rows);
    add_action(Op::sort, tr("Sort all rows by position"), {QKeySequence(Qt::ALT | Qt::Key_S)},
               &SatTableEdit::sort);

    connect(stack, &QUndoStack::canUndoChanged, this, &SatTableEdit::update_actions);
    connect(stack, &QUndoStack::canRedoChanged, this, &SatTableEdit::update_actions);
    connect(watch, &SatTableWatch::editable_changed, this, &SatTableEdit::update_actions);
    update_actions();

    table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { show_menu(this->table, pos); });
    QHeaderView *header = table->verticalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this,
            [this, header](const QPoint &pos) { show_menu(header, pos); });
}

void SatTableEdit::add_action(Op op, const QString &text, const QList<QKeySequence> &keys,
                              void (SatTableEdit::*run)())
{
    auto *action = new QAction(text, this);
    action->setShortcuts(keys);
    // Undo and redo answer anywhere on the table's page (after a press of
    // "Read from file", say); the rest only where the table has the focus,
    // so that no shortcut reaches the table while a cell is being typed in.
    const bool page_wide = op == Op::undo || op == Op::redo;
    QWidget *page = table->parentWidget();
    if (page_wide && page) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        page->addAction(action);
    } else {
        action->setShortcutContext(Qt::WidgetShortcut);
        table->addAction(action);
    }
    connect(action, &QAction::triggered, this, run);
    context_menu->addAction(action);
    if (actions.size() <= size_t(op))
        actions.resize(size_t(op) + 1);
    actions[size_t(op)] = action;
}

QAction *SatTableEdit::action(Op op) const
{
    return actions.at(size_t(op));
}

void SatTableEdit::update_actions()
{
    const bool editable = watch->editable();
    for (std::size_t op = 0; op < actions.size(); ++op)
        actions[op]->setEnabled(editable);
    action(Op::copy)->setEnabled(true);
    action(Op::undo)->setEnabled(editable && stack->canUndo());
    action(Op::redo)->setEnabled(editable && stack->canRedo());
}

bool SatTableEdit::may_change() const
{
    // A cell's editor holds text not yet in the table; it ends first.
    return watch->editable() && !table->indexWidget(table->currentIndex());
}

void SatTableEdit::show_menu(QWidget *from, const QPoint &pos)
{
    // A click outside the selection chooses what it hits, as spreadsheets do.
    QItemSelectionModel *selection = table->selectionModel();
    if (from == table) {
        const QModelIndex index = table->indexAt(pos);
        if (index.isValid() && !selection->isSelected(index))
            table->setCurrentIndex(index);
    } else {
        const int row = table->verticalHeader()->logicalIndexAt(pos);
        if (row >= 0 && !selection->isRowSelected(row, QModelIndex()))
            table->selectRow(row);
    }
    auto *view = qobject_cast<QAbstractScrollArea *>(from);
    context_menu->popup((view ? view->viewport() : from)->mapToGlobal(pos));
}

// ---- the undo stack ----

void SatTableEdit::begin_step(const QString &text)
{
    if (step_depth++ == 0) {
        step_text = text;
        step_before.clear();
    }
}

void SatTableEdit::end_step()
{
    if (step_depth == 0 || --step_depth > 0)
        return;
    std::vector<CellEdit> edits;
    for (auto it = step_before.cbegin(); it != step_before.cend(); ++it) {
        const int row = it.key() / sat_columns;
        const int col = it.key() % sat_columns;
        const QString &after = shadow[size_t(row)][size_t(col)];
        if (after != it.value())
            edits.push_back({row, col, it.value(), after});
    }
    step_before.clear();
    if (edits.empty())
        return;
    std::sort(edits.begin(), edits.end(), [](const CellEdit &a, const CellEdit &b) {
        return cell_key(a.row, a.column) < cell_key(b.row, b.column);
    });
    stack->push(new SatCellsCommand(this, std::move(edits), step_text, true));
}

void SatTableEdit::edit_list(const QString &text, const std::function<void(std::vector<SatRow> &)> &edit)
{
    std::vector<SatRow> after = shadow;
    edit(after);
    change(text, after);
}

void SatTableEdit::change(const QString &text, const std::vector<SatRow> &after)
{
    std::vector<CellEdit> edits = cell_edits(shadow, after);
    if (!edits.empty())
        stack->push(new SatCellsCommand(this, std::move(edits), text, false));
}

void SatTableEdit::cell_changed(QTableWidgetItem *item)
{
    const int row = item->row();
    const int col = item->column();
    if (row < 0 || row >= int(shadow.size()) || col < 0 || col >= sat_columns)
        return;
    QString &seen = shadow[size_t(row)][size_t(col)];
    const QString text = item->text();
    if (text == seen)
        return; // a mark, or an item put in place of one with the same text
    const CellEdit edit{row, col, seen, text};
    seen = text;
    if (applying)
        return;
    if (step_depth > 0) {
        if (!step_before.contains(cell_key(row, col)))
            step_before.insert(cell_key(row, col), edit.before);
        return;
    }
    // Typed, or set by whatever else: a step of its own.
    stack->push(new SatCellsCommand(this, {edit}, tr("Edit cell"), true));
}

void SatTableEdit::apply(const std::vector<CellEdit> &edits, bool forward)
{
    // The watch takes these as edits: an undo back to what was saved is no
    // longer an unsaved edit, a redo of a load is one until saved.
    watch->begin_edit();
    applying = true;
    for (const CellEdit &e : edits)
        set_text(e.row, e.column, forward ? e.after : e.before);
    applying = false;
    watch->end_edit();
}

void SatTableEdit::set_text(int row, int column, const QString &text)
{
    if (QTableWidgetItem *item = table->item(row, column)) {
        item->setText(text);
        return;
    }
    if (text.isEmpty())
        return; // an absent cell reads as empty already
    QTableWidgetItem *cell = own_cell ? own_cell(row, column) : new QTableWidgetItem;
    cell->setText(text);
    table->setItem(row, column, cell);
}

void SatTableEdit::undo()
{
    if (may_change())
        stack->undo();
}

void SatTableEdit::redo()
{
    if (may_change())
        stack->redo();
}

// ---- the clipboard ----

QModelIndexList SatTableEdit::chosen_cells() const
{
    QModelIndexList cells = table->selectionModel()->selectedIndexes();
    if (cells.isEmpty() && table->currentIndex().isValid())
        cells << table->currentIndex();
    return cells;
}

void SatTableEdit::copy()
{
    const QModelIndexList cells = chosen_cells();
    if (cells.isEmpty())
        return;
    int top = cells.first().row(), bottom = top, left = cells.first().column(), right = left;
    for (const QModelIndex &cell : cells) {
        top = std::min(top, cell.row());
        bottom = std::max(bottom, cell.row());
        left = std::min(left, cell.column());
        right = std::max(right, cell.column());
    }
    // Cells of the rectangle that are not chosen go out empty.
    CellGrid grid(size_t(bottom - top + 1), std::vector<QString>(size_t(right - left + 1)));
    for (const QModelIndex &cell : cells)
        grid[size_t(cell.row() - top)][size_t(cell.column() - left)]
            = shadow[size_t(cell.row())][size_t(cell.column())];
    QApplication::clipboard()->setText(grid_to_text(grid));
}

void SatTableEdit::cut()
{
    if (!may_change())
        return;
    copy();
    clear_cells(tr("Cut"));
}

void SatTableEdit::clear()
{
    if (may_change())
        clear_cells(tr("Clear"));
}

void SatTableEdit::clear_cells(const QString &text)
{
    edit_list(text, [this](std::vector<SatRow> &list) {
        for (const QModelIndex &cell : chosen_cells())
            list[size_t(cell.row())][size_t(cell.column())].clear();
    });
}

void SatTableEdit::paste()
{
    if (!may_change())
        return;
    const CellGrid grid = text_to_grid(QApplication::clipboard()->text());
    if (grid.empty())
        return;
    std::vector<SatRow> after = shadow;
    QStringList refused_values;
    const auto put = [&](int row, int col, const QString &value) {
        if (typing_takes(col, value))
            after[size_t(row)][size_t(col)] = value;
        else
            refused_values
                << tr("Row %1, %2: \"%3\"").arg(row + 1).arg(sat_column_name(SatColumn(col)), value);
    };

    const QModelIndexList cells = chosen_cells();
    const bool one_value = grid.size() == 1 && grid.front().size() == 1;
    if (one_value && cells.size() > 1) {
        for (const QModelIndex &cell : cells)
            put(cell.row(), cell.column(), grid.front().front());
    } else {
        const QModelIndex anchor = table->currentIndex();
        const int top = anchor.isValid() ? anchor.row() : 0;
        const int left = anchor.isValid() ? anchor.column() : 0;
        // Cut at the last row and the last column.
        for (int r = 0; r < int(grid.size()) && top + r < int(after.size()); ++r)
            for (int c = 0; c < int(grid[size_t(r)].size()) && left + c < sat_columns; ++c)
                put(top + r, left + c, grid[size_t(r)][size_t(c)]);
    }
    change(tr("Paste"), after);

    if (refused_values.isEmpty())
        return;
    const int count = refused_values.size();
    QString text
        = (count == 1 ? tr("1 value was not pasted: typing would not take it either.")
                      : tr("%1 values were not pasted: typing would not take them either.").arg(count))
        + tr(" A name takes at most %1 bytes, the other columns whole numbers.").arg(sat_name_bytes)
        + QStringLiteral("\n\n") + refused_values.mid(0, refused_values_shown).join(QLatin1Char('\n'));
    if (count > refused_values_shown)
        text += tr("\nand %1 more.").arg(count - refused_values_shown);
    emit refused(text, count > refused_values_shown ? refused_values.join(QLatin1Char('\n')) : QString());
}

// ---- whole rows ----

std::vector<int> SatTableEdit::chosen_rows() const
{
    std::set<int> rows;
    for (const QModelIndex &cell : chosen_cells())
        rows.insert(cell.row());
    return {rows.begin(), rows.end()};
}

void SatTableEdit::move(int step)
{
    if (!may_change())
        return;
    std::vector<int> rows = chosen_rows();
    std::vector<SatRow> after = shadow;
    if (!move_rows(after, rows, step))
        return;
    // The selection goes with the rows, so that the next press moves them on.
    const QModelIndexList cells = chosen_cells();
    const QModelIndex current = table->currentIndex();
    change(step < 0 ? tr("Move rows up") : tr("Move rows down"), after);
    QAbstractItemModel *model = table->model();
    QItemSelection moved;
    for (const QModelIndex &cell : cells) {
        const QModelIndex to = model->index(cell.row() + step, cell.column());
        moved.select(to, to);
    }
    if (current.isValid())
        table->selectionModel()->setCurrentIndex(model->index(current.row() + step, current.column()),
                                                 QItemSelectionModel::NoUpdate);
    table->selectionModel()->select(moved, QItemSelectionModel::ClearAndSelect);
}

void SatTableEdit::clear_rows()
{
    if (may_change())
        edit_list(tr("Clear rows"), [this](std::vector<SatRow> &list) { ::clear_rows(list, chosen_rows()); });
}

void SatTableEdit::insert_row()
{
    const std::vector<int> rows = chosen_rows();
    if (!may_change() || rows.empty())
        return;
    std::vector<SatRow> after = shadow;
    if (!insert_empty_row(after, rows.front())) {
        emit refused(
            tr("No row was inserted: row %1 is not empty, and inserting would push it off the end of "
               "the list.")
                .arg(after.size()),
            QString());
        return;
    }
    change(tr("Insert empty row"), after);
}

void SatTableEdit::delete_rows()
{
    if (may_change())
        edit_list(tr("Delete rows"),
                  [this](std::vector<SatRow> &list) { ::delete_rows(list, chosen_rows()); });
}

void SatTableEdit::sort()
{
    if (may_change())
        edit_list(tr("Sort all rows by position"), sort_by_position);
}
