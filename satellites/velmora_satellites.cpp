// The satellite list: CSV files, reading the list from the box and writing
// it to the box.
#include "velmora.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QSaveFile>
#include <QTableWidgetItem>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sat_list.h"
#include "list_read.h"
#include "list_write.h"
#include "serial_port_handle.h"

uint8_t velmora::sat_record[20] = {};

namespace {

// slt_sat_data_ready: the pause before it asks for the next satellite, and
// the request.
constexpr std::chrono::milliseconds read_start_pause{30};
constexpr uchar read_request = 'H';

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
void show_sat_row(QTableWidget *table, QTableWidgetItem *const (&items)[velmora::sat_columns], int row,
                  const SatRow &texts)
{
    for (int col = 0; col < velmora::sat_columns; ++col) {
        items[col]->setText(texts[col]);
        if (table->item(row, col) != items[col])
            table->setItem(row, col, items[col]);
    }
}

// The texts of `row` as the table holds them, copied into the window's own
// cells first; a slot without a cell counts as empty.
SatRow take_sat_row(QTableWidget *table, QTableWidgetItem *const (&items)[velmora::sat_columns], int row)
{
    SatRow texts;
    for (int col = 0; col < velmora::sat_columns; ++col) {
        const QTableWidgetItem *shown = table->item(row, col);
        items[col]->setText(shown ? shown->text() : QString());
        texts[col] = items[col]->text();
    }
    return texts;
}

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

// ---- CSV files ----

void velmora::sat_read_file()
{
    file_path = QFileDialog::getOpenFileName(this, tr("open File"), csv_dialog_dir, tr(csv_filter));
    if (!show_csv_path(ui, file_path))
        return;

    // A stream of its own: the package stream may be open for an update.
    QFile csv(file_path);
    if (!csv.open(QIODevice::ReadOnly)) {
        show_message(protocol::MessageId::csv_cannot_open);
        return;
    }
    QByteArray line;
    for (int k = 1; k <= sat_rows; ++k) {
        if (!read_csv_line(csv, &line))
            break;
        const CsvFields fields = parse_csv_line(line);
        // Without three commas there are no fields to take: the row stays.
        if (fields.isValid())
            show_sat_row(ui.sat_setting, sat_items[k - 1], k - 1, fields.cells());
        ui.progressBar_sat_setting->setValue(k + 1);
        QCoreApplication::processEvents();
    }
    ui.progressBar_sat_setting->setValue(100);
    QCoreApplication::processEvents();
}

void velmora::sat_write_file()
{
    file_path = QFileDialog::getSaveFileName(nullptr, tr("Save Files"), csv_dialog_dir, tr(csv_filter));
    if (!show_csv_path(ui, file_path))
        return;

    // Written anew beside the old file and put in its place only when whole:
    // nothing of a longer earlier file remains, and a failed save leaves the
    // earlier file as it was.
    QSaveFile csv(file_path);
    if (!csv.open(QIODevice::WriteOnly)) {
        show_message(protocol::MessageId::csv_cannot_open);
        return;
    }
    QTextStream out(&csv);
    out.setCodec(QTextCodec::codecForLocale());
    for (int row = 0; row < sat_rows; ++row) {
        out << format_csv_line(take_sat_row(ui.sat_setting, sat_items[row], row));
        ui.progressBar_sat_setting->setValue(row + 2);
        QCoreApplication::processEvents();
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !csv.commit())
        show_message(protocol::MessageId::csv_cannot_save);
}

// ---- reading the list from the box ----

void velmora::sat_read_device()
{
    if (!begin_device_flow(device_flow::list_read))
        return;
    set_sat_buttons(false);
    run_flow(std::make_unique<protocol::ListRead>());
}

void velmora::list_byte_rply(uchar fbk)
{
    feed_reply(device_flow::list_read, fbk);
}

void velmora::sat_set_timout()
{
    feed_silence(device_flow::list_read);
}

void velmora::show_row(int satellite, const QByteArray &record)
{
    if (satellite < 1 || satellite > sat_rows)
        return;
    std::memcpy(sat_record, record.constData(), std::min<size_t>(sizeof sat_record, size_t(record.size())));
    SatRecord shown;
    std::memcpy(shown.bytes, sat_record, sizeof shown.bytes);
    const int row = satellite - 1;
    show_sat_row(ui.sat_setting, sat_items[row], row, record_to_row(shown, EmptySlot::Blank));
}

void velmora::slt_sat_data_ready(uchar idx)
{
    if (idx == 0)
        return; // names no row
    if (idx >= protocol::ListWrite::end_number) {
        timeout_timer->stop();
        show_message(protocol::MessageId::list_read_ok);
        set_sat_buttons(true);
        port_worker->close_port();
        return;
    }
    SatRecord record;
    std::memcpy(record.bytes, sat_record, sizeof record.bytes);
    show_sat_row(ui.sat_setting, sat_items[idx - 1], idx - 1, record_to_row(record, EmptySlot::Numbers));
    ui.progressBar_sat_setting->setValue(idx + 1);
    QCoreApplication::processEvents();
    ++sat_idx;
    emit list_set_sat_idx(sat_idx);
    QThread::msleep(read_start_pause.count());
    port_worker->write_and_wait(read_request);
}

// ---- writing the list to the box ----

void velmora::sat_write_device()
{
    if (!begin_device_flow(device_flow::list_write))
        return;
    set_sat_buttons(false);

    // Each write keeps its own log: an earlier one is closed and emptied.
    if (log_file.is_open())
        log_file.close();
    log_file.clear();
    log_file.open(log_file_name, std::ios::out | std::ios::trunc);

    run_flow(
        std::make_unique<protocol::ListWrite>([this](int satellite) { return write_record(satellite); }));
}

void velmora::list_wt_byte_rply(uchar fbk)
{
    feed_reply(device_flow::list_write, fbk);
}

void velmora::sat_write_timeout()
{
    feed_silence(device_flow::list_write);
}

SatRecord velmora::write_record(int satellite)
{
    const int row = satellite - 1;
    const SatRecord record = row_to_record(take_sat_row(ui.sat_setting, sat_items[row], row));
    std::memcpy(sat_record, record.bytes, sizeof sat_record);
    return record;
}
