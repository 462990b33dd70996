// The satellite table's cells: their editors and validators, the marks on
// the cells the write alters (from the record rules' own rows), the unsaved
// edits, and the question before a write.
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QtTest>

#include <memory>

#include "record_rows.h"
#include "sat_cells.h"

namespace {

// A satellite table as the window has it: rows of four columns, watched.
struct TableRig {
    QTableWidget table{sat_count, sat_columns};
    SatTableWatch *watch = new SatTableWatch(&table);

    TableRig()
    {
        table.resize(600, 400);
        table.show();
    }

    QTableWidgetItem *cell(int row, int col)
    {
        if (!table.item(row, col))
            table.setItem(row, col, new QTableWidgetItem);
        return table.item(row, col);
    }

    // Opens the editor of a cell as a double-click does; null when none opens.
    QLineEdit *open_editor(int row, int col)
    {
        const QModelIndex index = table.model()->index(row, col);
        table.scrollTo(index);
        const QPoint at = table.visualRect(index).center();
        QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(table.viewport(), Qt::LeftButton, {}, at);
        return qobject_cast<QLineEdit *>(table.indexWidget(index));
    }

    // Types `keys` into a cell's editor after selecting its text, and ends
    // the edit with Return; the cell's text afterwards.
    QString type(int row, int col, const QString &keys)
    {
        QLineEdit *editor = open_editor(row, col);
        if (!editor)
            return QStringLiteral("<no editor>");
        editor->selectAll();
        // One key press a character (QTest::keyClicks knows ASCII only).
        for (const QChar c : keys) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(editor, &press);
        }
        QTest::keyClick(editor, Qt::Key_Return);
        const QModelIndex index = table.model()->index(row, col);
        if (!QTest::qWaitFor([&] { return !table.indexWidget(index); }, 5000))
            return QStringLiteral("<editor still open>");
        return table.item(row, col) ? table.item(row, col)->text() : QString();
    }
};

QString u_umlauts(int count)
{
    return QString(count, QChar(0xFC));
}

} // namespace

class TstSatCells : public QObject
{
    Q_OBJECT

private slots:
    // The validators as the delegate gives them to each column's editor.
    void validators_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("state");
        const int acceptable = QValidator::Acceptable;
        const int intermediate = QValidator::Intermediate;
        const int invalid = QValidator::Invalid;
        for (const int column : {col_position, col_vertical, col_horizontal}) {
            const auto row = [column](const char *rule) {
                return &QTest::newRow(qPrintable(sat_column_name(SatColumn(column)) + ": " + rule));
            };
            *row("empty") << column << "" << acceptable;
            *row("empty slot as the box shows it") << column << " " << acceptable;
            *row("digits") << column << "5001" << acceptable;
            *row("minus") << column << "-91" << acceptable;
            *row("plus") << column << "+5" << acceptable;
            *row("leading zeros") << column << "007" << acceptable;
            *row("beyond 16 bits: the mark tells") << column << "40000" << acceptable;
            *row("a sign alone, while typing") << column << "-" << intermediate;
            *row("decimal point") << column << "12.5" << invalid;
            *row("letters") << column << "Astra" << invalid;
            *row("digits then a letter") << column << "12x" << invalid;
            *row("sign after digits") << column << "5-" << invalid;
            *row("two signs") << column << "+-5" << invalid;
            *row("a space inside") << column << "1 2" << invalid;
            *row("a space before digits") << column << " 5" << invalid;
            *row("fullwidth digit") << column << QString(QChar(0xFF15)) << invalid;
        }
        const int name = col_name;
        QTest::newRow("name: empty") << name << "" << acceptable;
        QTest::newRow("name: 15 bytes") << name << "ABCDEFGHIJKLMNO" << acceptable;
        QTest::newRow("name: 16 bytes") << name << "ABCDEFGHIJKLMNOP" << invalid;
        QTest::newRow("name: 15 bytes, 8 characters") << name << "T" + u_umlauts(7) << acceptable;
        QTest::newRow("name: 16 bytes, 8 characters") << name << u_umlauts(8) << invalid;
        QTest::newRow("name: a character across byte 15")
            << name << "ABCDEFGHIJKLMN" + u_umlauts(1) << invalid;
        QTest::newRow("name: a comma") << name << "Astra,19E" << invalid;
        QTest::newRow("name: a line feed") << name << "Astra\n19E" << invalid;
        QTest::newRow("name: 4-byte character at the end")
            << name << QString("ABCDEFGHIJK") + QString::fromUtf8("\xF0\x9F\x9B\xB0") << acceptable;
    }

    void validators()
    {
        QFETCH(int, column);
        QFETCH(QString, text);
        QFETCH(int, state);
        QStandardItemModel model(1, sat_columns);
        QWidget parent;
        SatCellDelegate delegate;
        const std::unique_ptr<QWidget> editor(
            delegate.createEditor(&parent, QStyleOptionViewItem(), model.index(0, column)));
        const auto *line = qobject_cast<QLineEdit *>(editor.get());
        QVERIFY(line && line->validator());
        int pos = text.size();
        QCOMPARE(int(line->validator()->validate(text, pos)), state);
    }

    void editors_take_what_the_cell_holds_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("cell");
        QTest::newRow("position drops the point") << int(col_position) << "12.5"
                                                  << "125";
        QTest::newRow("vertical drops letters") << int(col_vertical) << "-9a1"
                                                << "-91";
        QTest::newRow("horizontal keeps a sign first") << int(col_horizontal) << "+45-"
                                                       << "+45";
        QTest::newRow("name stops at 15 bytes") << int(col_name) << "ABCDEFGHIJKLMNOPQ"
                                                << "ABCDEFGHIJKLMNO";
        QTest::newRow("name of two-byte characters stops at 14 bytes")
            << int(col_name) << u_umlauts(9) << u_umlauts(7);
    }

    void editors_take_what_the_cell_holds()
    {
        QFETCH(int, column);
        QFETCH(QString, keys);
        QFETCH(QString, cell);
        TableRig r;
        QCOMPARE(r.type(3, column, keys), cell);
    }

    void marks_data() { add_record_rows(); }

    // Loaded into empty slots (new items) and into cells that exist (new
    // texts), as a file or the box fills the table.
    void marks()
    {
        QFETCH(SatRow, row);
        QFETCH(SatRecord, record);
        QFETCH(QList<int>, altered);
        TableRig r;
        for (int col = 0; col < sat_columns; ++col) {
            r.table.setItem(0, col, new QTableWidgetItem(row[col]));
            r.cell(1, col)->setText(row[col]);
        }
        // What the box gets, as the table would show it after reading it back.
        const SatRow received = record_to_row(record, EmptySlot::numbers);
        for (int table_row = 0; table_row < 2; ++table_row)
            for (int col = 0; col < sat_columns; ++col) {
                const QTableWidgetItem &item = *r.table.item(table_row, col);
                const QString where = QString("row %1, column %2").arg(table_row).arg(col);
                QVERIFY2(cell_marked(item) == altered.contains(col), qPrintable(where));
                const QString tip = item.toolTip();
                if (!altered.contains(col)) {
                    QVERIFY2(tip.isEmpty(), qPrintable(where + ": " + tip));
                    continue;
                }
                const QString ending
                    = col == col_name ? "\"" + received[col] + "\"" : "the box gets " + received[col];
                // A value sent as it reads, but with the box's error byte, says so.
                const bool error_byte = tip.contains("sent with the byte 0xEF");
                QVERIFY2(error_byte ? tip.contains(received[col]) : tip.endsWith(ending),
                         qPrintable(where + ": " + tip));
            }
    }

    void marks_follow_every_change()
    {
        TableRig r;
        QTableWidgetItem *position = r.cell(4, col_position);
        QTableWidgetItem *name = r.cell(4, col_name);
        QSignalSpy changes(&r.table, &QTableWidget::itemChanged);
        position->setText("5001");
        // One change, one signal: the mark's own changes are not heard.
        QCOMPARE(changes.count(), 1);
        QVERIFY(cell_marked(*position));
        QCOMPARE(position->toolTip(), QString("5001 is above 5000: the box gets 0"));
        QVERIFY(!cell_marked(*name));

        position->setText("5000");
        QVERIFY(!cell_marked(*position));
        QCOMPARE(position->toolTip(), QString());
        position->setText("East");
        QCOMPARE(position->toolTip(), QString("East is not a whole number: the box gets 0"));
        // A name from the box that a list file cannot give back.
        name->setText("Astra,19E");
        QCOMPARE(name->toolTip(),
                 QString("the name holds a comma: saved to a file, this row does not read back as it is"));

        // A cell replaced by another item, as the window puts its own cells in.
        r.table.setItem(4, col_position, new QTableWidgetItem("+5"));
        QVERIFY(!cell_marked(*r.table.item(4, col_position)));
        // An edit.
        QCOMPARE(r.type(4, col_vertical, "91"), QString("91"));
        QVERIFY(cell_marked(*r.table.item(4, col_vertical)));
        QCOMPARE(r.type(4, col_vertical, "90"), QString("90"));
        QVERIFY(!cell_marked(*r.table.item(4, col_vertical)));
        // The next row is its own.
        QVERIFY(!r.table.item(5, col_position));
    }

    void unsaved_edits()
    {
        TableRig r;
        QVERIFY(!r.watch->has_unsaved_edits());
        // Loads are no edits.
        r.cell(0, col_name)->setText("Loaded");
        r.table.setItem(1, col_name, new QTableWidgetItem("Loaded"));
        QVERIFY(!r.watch->has_unsaved_edits());

        // An edit that leaves the text as it was changes nothing.
        QCOMPARE(r.type(0, col_name, "Loaded"), QString("Loaded"));
        QVERIFY(!r.watch->has_unsaved_edits());

        QCOMPARE(r.type(0, col_name, "Edited"), QString("Edited"));
        QCOMPARE(r.type(2, col_position, "7"), QString("7")); // an empty slot: a new item
        QVERIFY(r.watch->has_unsaved_edits());
        // Loading one edited cell leaves the other edit.
        r.cell(0, col_name)->setText("From file");
        QVERIFY(r.watch->has_unsaved_edits());
        r.table.setItem(2, col_position, new QTableWidgetItem("1"));
        QVERIFY(!r.watch->has_unsaved_edits());

        QCOMPARE(r.type(3, col_vertical, "5"), QString("5"));
        QVERIFY(r.watch->has_unsaved_edits());
        r.watch->edits_kept();
        QVERIFY(!r.watch->has_unsaved_edits());
    }

    // `rows` hold `vertical`, the others nothing.
    void write_question_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QString>("vertical");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing altered") << QList<int>{0, 1, 198} << "+90" << QString();
        QTest::newRow("more rows than shown")
            << QList<int>{10, 20, 30, 40, 50, 60, 198} << "91"
            << QString("The box will not get 7 rows as the table shows them:\n\n"
                       "Row 11 gets vertical 45\n"
                       "Row 21 gets vertical 45\n"
                       "Row 31 gets vertical 45\n"
                       "Row 41 gets vertical 45\n"
                       "Row 51 gets vertical 45\n"
                       "and 2 more rows.\n\n"
                       "Write the list anyway?");
        QTest::newRow("one more row") << QList<int>{0, 1, 2, 3, 4, 5} << "-300"
                                      << QString("The box will not get 6 rows as the table shows them:\n\n"
                                                 "Row 1 gets vertical -44\n"
                                                 "Row 2 gets vertical -44\n"
                                                 "Row 3 gets vertical -44\n"
                                                 "Row 4 gets vertical -44\n"
                                                 "Row 5 gets vertical -44\n"
                                                 "and 1 more row.\n\n"
                                                 "Write the list anyway?");
    }

    void write_question()
    {
        QFETCH(QList<int>, rows);
        QFETCH(QString, vertical);
        QFETCH(QString, text);
        std::vector<SatRow> table(sat_count);
        for (const int row : rows)
            table[size_t(row)][col_vertical] = vertical;
        const WriteQuestion q = ::write_question(table);
        QCOMPARE(q.text, text);
        QCOMPARE(q.rows, text.isEmpty() ? 0 : rows.size());
        // One altered cell a row, each with its reason.
        QCOMPARE(q.detail.isEmpty() ? 0 : q.detail.count('\n') + 1, q.rows);
    }
};

QTEST_MAIN(TstSatCells)
#include "tst_sat_cells.moc"
