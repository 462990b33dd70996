// Editing the satellite table as a spreadsheet: each operation through the
// table's model and the undo stack (the cells before and after, undo, redo),
// the marks and the unsaved-edit guard after an undo, and nothing of it
// while a transfer holds the table.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTableWidget>
#include <QUndoStack>
#include <QtTest>

#include "sat_cells.h"
#include "sat_table_edit.h"

namespace {

using Op = SatTableEdit::Op;
// Rows of the table by their index; the others empty.
using Rows = QMap<int, QStringList>;
// Rectangles of cells: x the column, y the row. The first one's top left
// corner is the current cell.
using Cells = QList<QRect>;

struct EditRig {
    QWidget page;
    QTableWidget *table = new QTableWidget(sat_count, sat_columns, &page);
    SatTableWatch *watch = new SatTableWatch(table);
    SatTableEdit *edit = new SatTableEdit(table, watch);
    QSignalSpy refusals{edit, &SatTableEdit::refused};

    EditRig()
    {
        page.resize(600, 400);
        table->resize(600, 400);
        page.show();
    }

    void fill(const Rows &rows)
    {
        for (auto it = rows.cbegin(); it != rows.cend(); ++it)
            for (int col = 0; col < sat_columns; ++col)
                table->setItem(it.key(), col, new QTableWidgetItem(it.value().value(col)));
    }

    Rows texts() const
    {
        Rows rows;
        for (int row = 0; row < sat_count; ++row) {
            const SatRow texts = table_row(*table, row);
            if (texts != SatRow())
                rows[row] = QStringList(texts.begin(), texts.end());
        }
        return rows;
    }

    void choose(const Cells &cells)
    {
        table->clearSelection();
        if (cells.isEmpty())
            return;
        table->setCurrentCell(cells.first().y(), cells.first().x(), QItemSelectionModel::NoUpdate);
        for (const QRect &r : cells)
            table->setRangeSelected({r.top(), r.left(), r.bottom(), r.right()}, true);
    }
};

QStringList row(const QString &name, const QString &position = QString(), const QString &vertical = QString(),
                const QString &horizontal = QString())
{
    return {name, position, vertical, horizontal};
}

// A list whose every row holds a satellite.
Rows full_list()
{
    Rows rows;
    for (int r = 0; r < sat_count; ++r)
        rows[r] = row(QString("S%1").arg(r + 1), QString::number(r));
    return rows;
}

} // namespace

Q_DECLARE_METATYPE(Op)

class TstSatTableEdit : public QObject
{
    Q_OBJECT

private slots:
    void operations_data()
    {
        QTest::addColumn<Op>("op");
        QTest::addColumn<Rows>("before");
        QTest::addColumn<Cells>("cells");
        QTest::addColumn<QString>("clipboard_in");
        QTest::addColumn<Rows>("after");
        QTest::addColumn<QString>("clipboard_out"); // null: not looked at
        QTest::addColumn<int>("refusals");

        const Rows three{{3, row("A", "1", "2", "3")}, {4, row("B", "4", "5", "6")}};
        const Cells rows_3_4{QRect(0, 3, 4, 2)};

        QTest::newRow("paste a block from the current cell")
            << Op::paste << three << Cells{QRect(0, 4, 1, 1)} << "X\t10\nY\t20\n"
            << Rows{{3, row("A", "1", "2", "3")}, {4, row("X", "10", "5", "6")}, {5, row("Y", "20")}}
            << QString() << 0;
        QTest::newRow("paste CR LF lines, the last without a line end")
            << Op::paste << Rows{} << Cells{QRect(1, 0, 1, 1)} << "1\t2\r\n3\t4"
            << Rows{{0, row("", "1", "2")}, {1, row("", "3", "4")}} << QString() << 0;
        QTest::newRow("paste cut at the last row and the last column")
            << Op::paste << Rows{} << Cells{QRect(2, 198, 1, 1)} << "7\t8\t9\n4\t5\t6\n"
            << Rows{{198, row("", "", "7", "8")}} << QString() << 0;
        QTest::newRow("paste one value into every selected cell")
            << Op::paste << three << Cells{QRect(1, 3, 3, 2)} << "0"
            << Rows{{3, row("A", "0", "0", "0")}, {4, row("B", "0", "0", "0")}} << QString() << 0;
        QTest::newRow("paste: refused values in one message, the rest goes in")
            << Op::paste << Rows{} << Cells{QRect(0, 0, 1, 1)} << "Good\t12.5\t5\nABCDEFGHIJKLMNOP\t7\tx\n"
            << Rows{{0, row("Good", "", "5")}, {1, row("", "7")}} << QString() << 1;
        QTest::newRow("copy: tabs and line feeds in a name as spaces")
            << Op::copy << Rows{{1, row("A\tB\nC", "1")}, {2, row("D", "2")}} << Cells{QRect(0, 1, 2, 2)}
            << QString() << Rows{{1, row("A\tB\nC", "1")}, {2, row("D", "2")}} << "A B C\t1\nD\t2\n"
            << 0;
        QTest::newRow("cut") << Op::cut << three << Cells{QRect(1, 3, 2, 1)} << QString()
                             << Rows{{3, row("A", "", "", "3")}, {4, row("B", "4", "5", "6")}} << "1\t2\n"
                             << 0;
        QTest::newRow("clear") << Op::clear << three << Cells{QRect(0, 4, 1, 1), QRect(3, 3, 1, 1)}
                               << QString() << Rows{{3, row("A", "1", "2")}, {4, row("", "4", "5", "6")}}
                               << QString() << 0;
        QTest::newRow("move a block up")
            << Op::move_up << three << rows_3_4 << QString()
            << Rows{{2, row("A", "1", "2", "3")}, {3, row("B", "4", "5", "6")}} << QString() << 0;
        QTest::newRow("move a row down past another")
            << Op::move_down << three << Cells{QRect(1, 3, 1, 1)} << QString()
            << Rows{{3, row("B", "4", "5", "6")}, {4, row("A", "1", "2", "3")}} << QString() << 0;
        QTest::newRow("move up from the first row: nothing")
            << Op::move_up << Rows{{0, row("A")}} << Cells{QRect(0, 0, 4, 1)} << QString()
            << Rows{{0, row("A")}} << QString() << 0;
        QTest::newRow("clear rows") << Op::clear_rows << three << Cells{QRect(2, 4, 1, 1)} << QString()
                                    << Rows{{3, row("A", "1", "2", "3")}} << QString() << 0;
        QTest::newRow("insert an empty row")
            << Op::insert_row << three << Cells{QRect(0, 3, 1, 1)} << QString()
            << Rows{{4, row("A", "1", "2", "3")}, {5, row("B", "4", "5", "6")}} << QString() << 0;
        Rows full = full_list();
        QTest::newRow("insert refused: row 199 would be lost")
            << Op::insert_row << full << Cells{QRect(0, 0, 1, 1)} << QString() << full << QString() << 1;
        Rows shifted = full;
        shifted.remove(198);
        shifted[197] = full[198];
        QTest::newRow("delete rows, the rows below shift up")
            << Op::delete_rows << full << Cells{QRect(0, 197, 4, 1)} << QString() << shifted << QString()
            << 0;
        QTest::newRow("delete rows apart")
            << Op::delete_rows << Rows{{0, row("A")}, {1, row("B")}, {2, row("C")}, {3, row("D")}}
            << Cells{QRect(0, 0, 1, 1), QRect(0, 2, 1, 1)} << QString() << Rows{{0, row("B")}, {1, row("D")}}
            << QString() << 0;
        QTest::newRow("sort by position, rows without a number after, empty rows last")
            << Op::sort
            << Rows{{0, row("none", " ", " ", " ")},
                    {2, row("East", "192")},
                    {3, row("West", "-300")},
                    {5, row("Also East", "192")}}
            << Cells{} << QString()
            << Rows{{0, row("West", "-300")},
                    {1, row("East", "192")},
                    {2, row("Also East", "192")},
                    {3, row("none", " ", " ", " ")}}
            << QString() << 0;
    }

    void operations()
    {
        QFETCH(Op, op);
        QFETCH(Rows, before);
        QFETCH(Cells, cells);
        QFETCH(QString, clipboard_in);
        QFETCH(Rows, after);
        QFETCH(QString, clipboard_out);
        QFETCH(int, refusals);

        EditRig r;
        r.fill(before);
        r.edit->undo_stack()->clear(); // the filling is not the operation
        r.choose(cells);
        QApplication::clipboard()->setText(clipboard_in);

        r.edit->action(op)->trigger();
        QCOMPARE(r.texts(), after);
        QCOMPARE(r.refusals.count(), refusals);
        if (!clipboard_out.isNull())
            QCOMPARE(QApplication::clipboard()->text(), clipboard_out);

        // One step, or none where nothing changed.
        QCOMPARE(r.edit->undo_stack()->count(), before == after ? 0 : 1);
        if (before == after)
            return;
        r.edit->action(Op::undo)->trigger();
        QCOMPARE(r.texts(), before);
        r.edit->action(Op::redo)->trigger();
        QCOMPARE(r.texts(), after);
    }

    void refused_values_are_listed()
    {
        EditRig r;
        r.choose({QRect(1, 0, 1, 1)});
        QApplication::clipboard()->setText("1\n+\n2.5\n3\n");
        r.edit->action(Op::paste)->trigger();
        QCOMPARE(r.refusals.count(), 1);
        QCOMPARE(r.refusals.first().first().toString(),
                 QString("2 values were not pasted: typing would not take them either. A name takes at most "
                         "15 bytes, the other columns whole numbers.\n\n"
                         "Row 2, position: \"+\"\n"
                         "Row 3, position: \"2.5\""));
    }

    // Typing is a step; an undo back to what was saved counts as saved, and
    // the marks follow undo and redo.
    void marks_and_unsaved_edits_follow_the_undo_stack()
    {
        EditRig r;
        const QModelIndex position = r.table->model()->index(0, col_position);
        r.table->setCurrentIndex(position);
        r.table->edit(position);
        auto *editor = qobject_cast<QLineEdit *>(r.table->indexWidget(position));
        QVERIFY(editor);
        editor->setText("5001");
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_VERIFY(!r.table->indexWidget(position));
        QCOMPARE(r.edit->undo_stack()->count(), 1);
        QVERIFY(r.watch->has_unsaved_edits());
        QVERIFY(cell_marked(*r.table->item(0, col_position)));

        r.watch->edits_kept(); // saved
        QApplication::clipboard()->setText("7");
        r.edit->action(Op::paste)->trigger();
        QVERIFY(r.watch->has_unsaved_edits());
        QVERIFY(!cell_marked(*r.table->item(0, col_position)));
        r.edit->action(Op::undo)->trigger();
        QVERIFY(!r.watch->has_unsaved_edits());
        QVERIFY(cell_marked(*r.table->item(0, col_position)));
        r.edit->action(Op::undo)->trigger(); // before the save
        QVERIFY(r.watch->has_unsaved_edits());
        r.edit->action(Op::redo)->trigger();
        QVERIFY(!r.watch->has_unsaved_edits());

        // A file loaded is one step, and no edit; undone, the table differs
        // from the file.
        {
            SatEditStep load(r.edit, "Read from file");
            r.fill({{0, row("F", "1")}, {1, row("G", "2")}});
        }
        QCOMPARE(r.edit->undo_stack()->count(), 2); // the undone paste is gone
        QVERIFY(!r.watch->has_unsaved_edits());
        r.edit->action(Op::undo)->trigger();
        QCOMPARE(r.texts(), (Rows{{0, row("", "5001")}}));
        QVERIFY(r.watch->has_unsaved_edits());
    }

    // While a transfer holds the table, nothing changes it: not the menu,
    // not the shortcuts. Copying still works.
    void a_transfer_holds_the_table()
    {
        EditRig r;
        r.fill({{0, row("A", "1")}});
        r.choose({QRect(0, 0, 4, 2)});
        QApplication::clipboard()->setText("B");
        r.watch->set_editable(false);
        for (const QAction *a : r.edit->menu()->actions())
            if (!a->isSeparator() && a != r.edit->action(Op::copy))
                QVERIFY2(!a->isEnabled(), qPrintable(a->text()));
        QVERIFY(r.edit->action(Op::copy)->isEnabled());

        QApplication::setActiveWindow(&r.page);
        r.table->setFocus();
        QVERIFY(QTest::qWaitForWindowActive(&r.page));
        for (const QKeySequence::StandardKey key :
             {QKeySequence::Copy, QKeySequence::Paste, QKeySequence::Cut, QKeySequence::Undo})
            QTest::keySequence(r.table, key);
        QTest::keyClick(r.table, Qt::Key_Delete);
        QTest::keyClick(r.table, Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(r.texts(), (Rows{{0, row("A", "1")}}));
        QCOMPARE(QApplication::clipboard()->text(), QString("A\t1\t\t\n\t\t\t\n"));

        r.watch->set_editable(true);
        r.choose({QRect(0, 0, 4, 1)}); // the refused Alt+Down moved the current cell
        QTest::keyClick(r.table, Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(r.texts(), (Rows{{1, row("A", "1")}}));
    }
};

QTEST_MAIN(TstSatTableEdit)
#include "tst_sat_table_edit.moc"
