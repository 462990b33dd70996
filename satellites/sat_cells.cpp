#include "sat_cells.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTableWidget>

#include <algorithm>

namespace {

// Light amber: seen at once, and the text stays readable.
const QColor marked_background(255, 224, 160);

int cell_key(int row, int column)
{
    return row * sat_columns + column;
}

// How the question names what the box gets for a cell.
QString sent_value(const CellChange &change)
{
    const QString value = change.column == col_name
        ? QStringLiteral("%1 \"%2\"").arg(sat_column_name(change.column), change.sent)
        : QStringLiteral("%1 %2").arg(sat_column_name(change.column), change.sent);
    return change.unreadable ? value + QStringLiteral(" (which it cannot send back)") : value;
}

} // namespace

QValidator::State IntegerCellValidator::validate(QString &text, int &) const
{
    static const QRegularExpression blank(QStringLiteral("^ *$"));
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    static const QRegularExpression sign(QStringLiteral("^[+-]$"));
    if (blank.match(text).hasMatch() || integer.match(text).hasMatch())
        return Acceptable;
    return sign.match(text).hasMatch() ? Intermediate : Invalid;
}

QValidator::State NameCellValidator::validate(QString &text, int &) const
{
    return text.toUtf8().size() <= sat_name_bytes && csv_cell_problem(text).isEmpty() ? Acceptable : Invalid;
}

QWidget *SatCellDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                       const QModelIndex &index) const
{
    QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto *line = qobject_cast<QLineEdit *>(editor)) {
        if (index.column() == col_name)
            line->setValidator(new NameCellValidator(line));
        else
            line->setValidator(new IntegerCellValidator(line));
    }
    return editor;
}

void SatCellDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    auto *self = const_cast<SatCellDelegate *>(this);
    emit self->committing(true);
    QStyledItemDelegate::setModelData(editor, model, index);
    emit self->committing(false);
}

void mark_cell(QTableWidgetItem &item, const QString &note)
{
    if (note.isEmpty()) {
        if (cell_marked(item)) {
            item.setData(Qt::BackgroundRole, QVariant());
            item.setData(Qt::ToolTipRole, QVariant());
        }
        return;
    }
    item.setBackground(marked_background);
    item.setToolTip(note);
}

bool cell_marked(const QTableWidgetItem &item)
{
    return item.data(Qt::BackgroundRole).isValid();
}

QString change_note(const CellChange &change)
{
    // A number's reason already names what the box gets; a name's does not.
    if (change.column == col_name)
        return QStringLiteral("%1, \"%2\"").arg(change.reason, change.sent);
    return change.reason;
}

SatRow table_row(const QTableWidget &table, int row)
{
    SatRow texts;
    for (int col = 0; col < sat_columns; ++col)
        if (const QTableWidgetItem *item = table.item(row, col))
            texts[col] = item->text();
    return texts;
}

SatTableWatch::SatTableWatch(QTableWidget *table)
    : QObject(table),
      table(table),
      form_triggers(table->editTriggers())
{
    auto *delegate = new SatCellDelegate(table);
    table->setItemDelegate(delegate);
    connect(table, &QTableWidget::itemChanged, this, &SatTableWatch::cell_changed);
    connect(delegate, &SatCellDelegate::committing, this,
            [this](bool under_way) { under_way ? begin_edit() : end_edit(); });
    edits_kept();
}

void SatTableWatch::edits_kept()
{
    kept.clear();
    for (int row = 0; row < table->rowCount(); ++row)
        kept.push_back(table_row(*table, row));
    edited.clear();
}

void SatTableWatch::set_editable(bool editable)
{
    table->setEditTriggers(editable ? form_triggers : QAbstractItemView::NoEditTriggers);
    is_editable = editable;
    emit editable_changed(editable);
}

void SatTableWatch::cell_changed(QTableWidgetItem *item)
{
    const int row = item->row();
    const int col = item->column();
    if (row < 0 || row >= int(kept.size()) || col < 0 || col >= sat_columns)
        return;
    QString &kept_text = kept[size_t(row)][size_t(col)];
    // A cell filled from a file or from the box no longer holds an edit.
    if (editing == 0)
        kept_text = item->text();
    if (item->text() == kept_text)
        edited.remove(cell_key(row, col));
    else
        edited.insert(cell_key(row, col));
    mark_row(row);
}

void SatTableWatch::mark_row(int row)
{
    // Marking changes the items too: their itemChanged would bring every
    // mark back here, and tell the table's other listeners of a change that
    // is none.
    const QSignalBlocker quiet(table);
    const SatRow texts = table_row(*table, row);
    const std::vector<CellChange> changes = write_changes(texts);
    for (int col = 0; col < sat_columns; ++col) {
        QTableWidgetItem *item = table->item(row, col);
        if (!item)
            continue;
        const auto change = std::find_if(changes.begin(), changes.end(),
                                         [col](const CellChange &c) { return c.column == col; });
        QStringList notes;
        if (change != changes.end())
            notes << change_note(*change);
        const QString problem = csv_cell_problem(texts[size_t(col)]);
        if (!problem.isEmpty())
            notes << QStringLiteral("the %1 holds %2: saved to a file, this row does not read back as it is")
                         .arg(sat_column_name(SatColumn(col)), problem);
        mark_cell(*item, notes.join(QLatin1Char('\n')));
    }
}

WriteQuestion write_question(const std::vector<SatRow> &rows)
{
    WriteQuestion question;
    QStringList shown;
    QStringList detail;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::vector<CellChange> changes = write_changes(rows[r]);
        if (changes.empty())
            continue;
        ++question.rows;
        const int number = int(r) + 1;
        QStringList values;
        for (const CellChange &c : changes) {
            values << sent_value(c);
            detail << QStringLiteral("Row %1, %2 \"%3\": %4")
                          .arg(number)
                          .arg(sat_column_name(c.column), c.text, change_note(c));
        }
        if (shown.size() < write_question_rows_shown)
            shown << QStringLiteral("Row %1 gets %2").arg(number).arg(values.join(QStringLiteral(", ")));
    }
    if (question.rows == 0)
        return question;

    const int more = question.rows - int(shown.size());
    question.text
        = (question.rows == 1
               ? QStringLiteral("The box will not get 1 row as the table shows it:")
               : QStringLiteral("The box will not get %1 rows as the table shows them:").arg(question.rows))
        + QStringLiteral("\n\n") + shown.join(QLatin1Char('\n'));
    if (more > 0)
        question.text += more == 1 ? QStringLiteral("\nand 1 more row.")
                                   : QStringLiteral("\nand %1 more rows.").arg(more);
    question.text += QStringLiteral("\n\nWrite the list anyway?");
    question.detail = detail.join(QLatin1Char('\n'));
    return question;
}
