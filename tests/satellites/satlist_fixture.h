#pragma once

// Shared pieces of the satellite list tests: the real window with its worker
// attached to a simulated box on a pseudo-terminal, and table helpers.

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "box_sim.h"
#include "harness.h"
#include "sat_backup.h"
#include "sat_cells.h"
#include "serial_port_handle.h"
#include "velmora.h"

namespace satlist {

inline constexpr int list_read_end_ms = 120000; // 199 x (200 ms pause + 22 exchanges), with room
inline constexpr int list_write_end_ms = 90000; // 199 x (20 x 5 ms + 3 exchanges), with room
inline constexpr int sats = 199;
inline const char *const read_error = "Data connection error, please restart box and PC software";
inline const char *const write_error = "Data transfer error, please restart box and PC software";

// The four texts of a table row; an absent cell reads as empty.
inline QStringList row_texts(velmora &w, int row)
{
    QStringList texts;
    for (int col = 0; col < sat_columns; ++col) {
        const QTableWidgetItem *item = w.ui.sat_setting->item(row, col);
        texts << (item ? item->text() : QString());
    }
    return texts;
}

// Types a row in as the user would.
inline void set_row(velmora &w, int row, const QStringList &texts)
{
    for (int col = 0; col < sat_columns; ++col) {
        if (QTableWidgetItem *item = w.ui.sat_setting->item(row, col))
            item->setText(texts.value(col));
        else
            w.ui.sat_setting->setItem(row, col, new QTableWidgetItem(texts.value(col)));
    }
}

// Types `text` into a cell as the technician does: a double-click opens the
// editor (false when none opens), the text replaces the cell's, Return ends.
inline bool type_cell(velmora &w, int row, int col, const QString &text)
{
    QTableWidget *table = w.ui.sat_setting;
    w.show();
    const QModelIndex index = table->model()->index(row, col);
    table->scrollTo(index);
    const QPoint at = table->visualRect(index).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
    auto *editor = qobject_cast<QLineEdit *>(table->indexWidget(index));
    if (!editor)
        return false;
    editor->selectAll();
    QTest::keyClicks(editor, text);
    QTest::keyClick(editor, Qt::Key_Return);
    return harness::ModalDriver::wait_until([&] { return !table->indexWidget(index); });
}

inline bool sat_buttons_enabled(velmora &w)
{
    return w.ui.pushButton_sat_read->isEnabled() && w.ui.pushButton_sat_save->isEnabled()
        && w.ui.pushButton_sat_read_file->isEnabled() && w.ui.pushButton_sat_save_file->isEnabled();
}

inline bool sat_buttons_disabled(velmora &w)
{
    return !w.ui.pushButton_sat_read->isEnabled() && !w.ui.pushButton_sat_save->isEnabled()
        && !w.ui.pushButton_sat_read_file->isEnabled() && !w.ui.pushButton_sat_save_file->isEnabled();
}

// What the table shows for a record the box sends, worked out from the
// record's fields rather than its bytes.
inline QStringList shown(const std::string &name, int position, int vertical, int horizontal)
{
    if (position == 0 && vertical == 0 && horizontal == 0)
        return {QString::fromStdString(name), " ", " ", " "};
    return {QString::fromStdString(name), QString::number(position), QString::number(vertical),
            QString::number(horizontal)};
}

inline QByteArray read_file(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A window whose worker holds a closed port on a fresh simulated box. The
// working directory is a temporary one, for data_transfer.log, and so is the
// user's data folder, for the table's backups.
struct ListRig {
    QTemporaryDir dir;
    harness::OwnFolders folders{dir.path()};
    harness::ModalDriver driver; // before the window: its port probe may warn
    velmora window;
    harness::FileChoices files{window};
    boxsim::Box box;
    bool attached = false;

    ListRig()
    {
        driver.clear();
        attached = harness::attach_port(window, QString::fromStdString(box.slave_path()));
    }

    // The backups of one kind ("-read.csv", "-write.csv"), oldest first.
    QStringList backups(const char *suffix) const
    {
        const QDir folder(backup_folder());
        QStringList paths;
        for (const QString &name :
             folder.entryList({QStringLiteral("*") + QLatin1String(suffix)}, QDir::Files, QDir::Name))
            paths << folder.filePath(name);
        return paths;
    }

    // Presses `button` and answers its file question with `path`.
    void choose(QPushButton *button, const QString &path)
    {
        files.queue(path);
        button->click();
    }

    // Presses `button` and answers the question it asks with `answer`; the
    // question is modal, so the press is over when this returns.
    void press_answering(QPushButton *button, const QString &answer)
    {
        driver.queue_answer(answer);
        button->click();
    }

    QByteArray log() const { return read_file(dir.filePath("data_transfer.log")); }

    // The first box with a single button: the flow's closing message, not a question before it.
    harness::ShownBox end_box() const
    {
        for (const harness::ShownBox &box : driver.boxes())
            if (box.button_texts.size() == 1)
                return box;
        return {};
    }
    // Waits for the flow's closing message box; returns its text ("" if none came).
    QString wait_end(int timeout_ms)
    {
        harness::ModalDriver::wait_until([&] { return !end_box().text.isEmpty(); }, timeout_ms);
        return end_box().text;
    }
    QString end_title() const { return end_box().title; }
};

} // namespace satlist
