// The satellite table edited as a spreadsheet in the real window, driven by
// its keys: one clipboard round trip through the platform's clipboard, and
// one row move that the next write sends as moved.
#include "satlist_fixture.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>

#include <cstring>

using namespace satlist;

namespace {

// Shows the window, active, with the focus in the table, as a technician
// has it after a click into a cell.
bool focus_table(velmora &w)
{
    w.show();
    QApplication::setActiveWindow(&w);
    if (!QTest::qWaitForWindowActive(&w))
        return false;
    w.ui.sat_setting->setFocus();
    return w.ui.sat_setting->hasFocus();
}

QByteArray record_name(const boxsim::Box &box, int k)
{
    const auto rec = box.written_record(k);
    return rec ? QByteArray(reinterpret_cast<const char *>(rec->data())) : QByteArray("none");
}

} // namespace

class TstSatlistEdit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    void clipboard_round_trip()
    {
        ListRig r;
        QTableWidget *table = r.window.ui.sat_setting;
        set_row(r.window, 0, {"Sat 1", "192", "45", "-45"});
        set_row(r.window, 1, {"Tab\there", " ", " ", " "});
        QVERIFY(focus_table(r.window));

        table->setRangeSelected({0, 0, 1, 3}, true);
        QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QString("Sat 1\t192\t45\t-45\nTab here\t \t \t \n"));

        table->setCurrentCell(10, 0);
        QTest::keyClick(table, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(row_texts(r.window, 10), (QStringList{"Sat 1", "192", "45", "-45"}));
        QCOMPARE(row_texts(r.window, 11), (QStringList{"Tab here", " ", " ", " "}));
        QVERIFY(r.driver.boxes().isEmpty());

        QTest::keyClick(table, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(row_texts(r.window, 10), (QStringList{"", "", "", ""}));
        QTest::keyClick(table, Qt::Key_Y, Qt::ControlModifier);
        QCOMPARE(row_texts(r.window, 11), (QStringList{"Tab here", " ", " ", " "}));
    }

    // A satellite moved down is sent under its new number; while the write
    // runs, the row keys change nothing.
    void row_move_then_write()
    {
        ListRig r;
        QVERIFY(r.attached);
        QTableWidget *table = r.window.ui.sat_setting;
        set_row(r.window, 0, {"Moved", "100", "1", "2"});
        set_row(r.window, 1, {"Stays", "200", "3", "4"});
        QVERIFY(focus_table(r.window));
        table->selectRow(0);
        QTest::keyClick(table, Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(row_texts(r.window, 0), (QStringList{"Stays", "200", "3", "4"}));
        QCOMPARE(row_texts(r.window, 1), (QStringList{"Moved", "100", "1", "2"}));

        r.window.ui.pushButton_sat_save->click();
        QVERIFY(sat_buttons_disabled(r.window));
        QVERIFY(focus_table(r.window));
        QTest::keyClick(table, Qt::Key_Up, Qt::AltModifier);
        QTest::keyClick(table, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(row_texts(r.window, 1), (QStringList{"Moved", "100", "1", "2"}));

        QCOMPARE(r.wait_end(list_write_end_ms), QString("Satellite data write successfully!"));
        QCOMPARE(record_name(r.box, 1), QByteArray("Stays"));
        QCOMPARE(record_name(r.box, 2), QByteArray("Moved"));
        QCOMPARE(row_texts(r.window, 0), (QStringList{"Stays", "200", "3", "4"}));
    }
};

QTEST_MAIN(TstSatlistEdit)
#include "tst_satlist_edit.moc"
