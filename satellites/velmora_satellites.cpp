// The satellite list: CSV files, reading the list from the box and writing
// it to the box.
#include "velmora.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QPushButton>
#include <QTableWidgetItem>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "sat_backup.h"
#include "sat_cells.h"
#include "sat_list.h"
#include "sat_table_edit.h"
#include "list_read.h"
#include "list_write.h"
#include "serial_port_handle.h"
#include "whole_file.h"

uint8_t velmora::sat_record[20] = {};

namespace {

// slt_sat_data_ready: the pause before it asks for the next satellite, and
// the request.

const char *const csv_filter = "CSV Files(*.csv)";
const char *const csv_dialog_dir = "..";
const char *const log_file_name = "data_transfer.log";

} // namespace

void velmora::set_sat_buttons(bool enabled)
{
    for (QPushButton *button : {ui.pushButton_sat_read, ui.pushButton_sat_save, ui.pushButton_sat_read_file,
                                ui.pushButton_sat_save_file})
        button->setEnabled(enabled);
}

namespace {

// Puts `texts` into the window's own cells of `row` and those cells into the
// table (a cell the user created by editing an empty slot is replaced).
void show_sat_row(QTableWidget *table, QTableWidgetItem *const (&items)[sat_columns], int row,
                  const SatRow &texts)
{
    for (int col = 0; col < sat_columns; ++col) {
        items[col]->setText(texts[col]);
        if (table->item(row, col) != items[col])
            table->setItem(row, col, items[col]);
    }
}

// The texts of `row` as the table holds them, copied into the window's own
// cells first; a slot without a cell counts as empty.
SatRow take_sat_row(QTableWidget *table, QTableWidgetItem *const (&items)[sat_columns], int row)
{
    SatRow texts;
    for (int col = 0; col < sat_columns; ++col) {
        const QTableWidgetItem *shown = table->item(row, col);
        items[col]->setText(shown ? shown->text() : QString());
        texts[col] = items[col]->text();
    }
    return texts;
}

// Asks the window's question before it closes, without the window overriding
// an event handler of its own. Only the close request: the window's other
// events include the ones it gets while it is being destroyed.
class CloseHook : public QObject
{
public:
    CloseHook(QObject *parent, std::function<bool()> may_close)
        : QObject(parent),
          may_close(std::move(may_close))
    { }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Close || may_close())
            return false;
        event->ignore();
        return true;
    }

private:
    std::function<bool()> may_close;
};

// Shows the path a CSV dialog gave; false (after a warning) when it gave none.
bool show_csv_path(Ui::velmoraClass &ui, const QString &path)
{
    if (path.isEmpty()) {
        velmora::show_message(protocol::MessageId::csv_no_file);
        return false;
    }
    ui.lineEdit_sat_setting->setText(path);
    return true;
}

} // namespace

// ---- the table ----

void velmora::prepare_sat_table()
{
    sat_watch = new SatTableWatch(ui.sat_setting);
    sat_edit = new SatTableEdit(ui.sat_setting, sat_watch,
                                [this](int row, int col) { return sat_items[row][col]; });
    connect(sat_edit, &SatTableEdit::refused, this, [](const QString &text, const QString &detail) {
        show_box(QMessageBox::Warning, tr("Warning"), text, detail);
    });
    installEventFilter(new CloseHook(this, [this] { return may_lose_edits(); }));
}

std::vector<SatRow> velmora::take_sat_rows()
{
    std::vector<SatRow> rows;
    rows.reserve(sat_count);
    for (int row = 0; row < sat_count; ++row)
        rows.push_back(take_sat_row(ui.sat_setting, sat_items[row], row));
    return rows;
}

bool velmora::may_lose_edits()
{
    if (!sat_watch->has_unsaved_edits())
        return true;
    QMessageBox box(QMessageBox::Question, tr("Unsaved edits"),
                    tr("The satellite table holds edits that were neither saved to a file nor written to "
                       "the box.\n\nDiscard them?"),
                    QMessageBox::Discard | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Discard;
}

bool velmora::write_confirmed(const std::vector<SatRow> &rows)
{
    const WriteQuestion question = write_question(rows);
    if (question.rows == 0)
        return true;
    QMessageBox box(QMessageBox::Question, tr("Save to device"), question.text, QMessageBox::Cancel);
    const QPushButton *write = box.addButton(tr("Write"), QMessageBox::AcceptRole);
    box.setDefaultButton(QMessageBox::Cancel);
    box.setDetailedText(question.detail);
    box.exec();
    return box.clickedButton() == write;
}

void velmora::back_up_sat_table(BackupKind kind, const std::vector<SatRow> &rows)
{
    const QString folder = backup_folder();
    const BackupResult result = save_backup(folder, kind, rows, QDateTime::currentDateTime());
    if (!result.ok)
        backup_failure = tr("Backup folder: %1\n%2").arg(folder, result.error);
    else
        backup_round_trip = csv_round_trip_report(rows);
}

void velmora::tell_backup_failure()
{
    if (!backup_round_trip.isEmpty()) {
        const QString rows = backup_round_trip;
        backup_round_trip.clear();
        show_box(QMessageBox::Warning, tr("Warning"),
                 tr("The satellite list was backed up to %1, but ").arg(backup_folder()) + rows);
    }
    if (backup_failure.isEmpty())
        return;
    const QString detail = backup_failure;
    backup_failure.clear();
    show_box(QMessageBox::Warning, tr("Warning"), tr("The satellite list could not be backed up."), detail);
}

void velmora::sat_transfer_ended(DeviceFlow flow, bool succeeded)
{
    // A read that ended early changed the rows it reached: one step all the same.
    if (flow == DeviceFlow::list_read)
        sat_edit->end_step();
    if (!succeeded)
        return;
    if (flow == DeviceFlow::list_read)
        back_up_sat_table(BackupKind::read, take_sat_rows());
    else
        sat_watch->edits_kept();
}

// ---- CSV files ----

void velmora::sat_read_file()
{
    if (!may_lose_edits())
        return;
    const SatEditStep step(sat_edit, tr("Read from file"));
    file_path = choose_file(FileQuestion::open, this, tr("open File"), csv_dialog_dir, tr(csv_filter));
    if (!show_csv_path(ui, file_path))
        return;

    // Read whole, with a limit: an endless file ends there.
    const WholeRead file = read_whole_file(QFile::encodeName(file_path));
    if (!file.ok()) {
        show_message(protocol::MessageId::csv_cannot_open, file.error);
        return;
    }
    const CsvList list = read_csv_list(file.bytes);
    const QString report = csv_report(list);
    // Loading nothing silently would leave the old rows looking loaded.
    if (list.satellite_lines() == 0) {
        show_box(QMessageBox::Warning, tr("Warning"),
                 csv_no_satellite_text(list) + tr("\n\nNothing was loaded: the table is as it was."), report);
        return;
    }
    for (int k = 1; k <= int(list.lines.size()); ++k) {
        const CsvFields &fields = list.lines[size_t(k - 1)];
        // Without three commas there are no fields to take: the row stays.
        if (fields.is_valid())
            show_sat_row(ui.sat_setting, sat_items[k - 1], k - 1, fields.cells());
        ui.progressBar_sat_setting->setValue(k + 1);
        QCoreApplication::processEvents();
    }
    ui.progressBar_sat_setting->setValue(100);
    QCoreApplication::processEvents();
    if (!list.sound())
        show_box(QMessageBox::Warning, tr("Warning"),
                 tr("The file was loaded, but not all of it reads as it stands.\n\n") + report);
}

void velmora::sat_write_file()
{
    file_path = choose_file(FileQuestion::save, nullptr, tr("Save Files"), csv_dialog_dir, tr(csv_filter));
    if (!show_csv_path(ui, file_path))
        return;

    const QByteArray path = QFile::encodeName(file_path);
    const QString problem = output_problem(path);
    if (!problem.isEmpty()) {
        show_message(protocol::MessageId::csv_cannot_open, problem);
        return;
    }
    std::vector<SatRow> rows;
    for (int row = 0; row < sat_count; ++row) {
        rows.push_back(take_sat_row(ui.sat_setting, sat_items[row], row));
        ui.progressBar_sat_setting->setValue(row + 2);
        QCoreApplication::processEvents();
    }
    // The same bytes as the table's backups, committed whole: nothing of a
    // longer earlier file remains, and a failed save leaves it as it was.
    const FileCommit saved = commit_file(path, format_csv(rows));
    if (!saved.ok) {
        show_message(protocol::MessageId::csv_cannot_save, saved.error);
        return;
    }
    sat_watch->edits_kept();
    const QString round_trip = csv_round_trip_report(rows);
    if (!round_trip.isEmpty())
        show_box(QMessageBox::Warning, tr("Warning"), tr("The file was saved, but ") + round_trip);
}

// ---- reading the list from the box ----

void velmora::sat_read_device()
{
    if (!may_lose_edits())
        return;
    if (!begin_device_flow(DeviceFlow::list_read))
        return;
    set_sat_buttons(false);
    sat_edit->begin_step(tr("Read from device"));
    run_flow(std::make_unique<protocol::ListRead>());
}

void velmora::list_byte_rply(uchar fbk)
{
    feed_reply(DeviceFlow::list_read, fbk);
}

void velmora::sat_set_timout()
{
    feed_silence(DeviceFlow::list_read);
}

void velmora::show_row(int satellite, const SatRecord &record, EmptySlot empty)
{
    if (satellite < 1 || satellite > sat_count)
        return;
    std::memcpy(sat_record, record.bytes, sizeof record.bytes);
    const int row = satellite - 1;
    show_sat_row(ui.sat_setting, sat_items[row], row, record_to_row(record, empty));
}

void velmora::slt_sat_data_ready(uchar idx)
{
    if (idx == 0)
        return; // names no row
    if (idx >= protocol::ListWrite::end_number) {
        timeout_timer->stop();
        back_up_sat_table(BackupKind::read, take_sat_rows());
        show_message(protocol::MessageId::list_read_ok);
        set_sat_buttons(true);
        port_worker->close_port();
        tell_backup_failure();
        return;
    }
    SatRecord record;
    std::memcpy(record.bytes, sat_record, sizeof record.bytes);
    show_row(idx, record, EmptySlot::numbers);
    ui.progressBar_sat_setting->setValue(idx + 1);
    QCoreApplication::processEvents();
    ++sat_idx;
    emit list_set_sat_idx(sat_idx);
    QThread::msleep(protocol::ListRead::request_pause.count());
    port_worker->write_and_wait(protocol::ListRead::request_byte);
}

// ---- writing the list to the box ----

void velmora::sat_write_device()
{
    // Asked before anything else: a write called off neither checks nor
    // touches the port.
    std::vector<SatRow> rows = take_sat_rows();
    if (!write_confirmed(rows))
        return;
    if (!begin_device_flow(DeviceFlow::list_write))
        return;
    set_sat_buttons(false);
    // The backup holds what the write sends: the rows as they are now.
    write_rows = std::move(rows);
    back_up_sat_table(BackupKind::write, write_rows);

    // Each write keeps its own log: an earlier one is closed and emptied. A
    // link there is not followed; without its log the write goes on.
    open_log_file(log_file, log_file_name);

    run_flow(
        std::make_unique<protocol::ListWrite>([this](int satellite) { return write_record(satellite); }));
}

void velmora::list_wt_byte_rply(uchar fbk)
{
    feed_reply(DeviceFlow::list_write, fbk);
}

void velmora::sat_write_timeout()
{
    feed_silence(DeviceFlow::list_write);
}

SatRecord velmora::write_record(int satellite)
{
    const SatRecord record = row_to_record(write_rows.at(size_t(satellite - 1)));
    std::memcpy(sat_record, record.bytes, sizeof sat_record);
    return record;
}
