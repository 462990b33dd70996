// The satellite list: CSV files, reading the list from the box and writing
// it to the box.
#include "velmora.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>
#include <QTableWidgetItem>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstring>

#include <sys/prctl.h>

#include "sat_list.h"
#include "serial_port_handle.h"

uint8_t velmora::sat_record[20] = {};

namespace {

using std::chrono::milliseconds;

// A silent box is asked again after this long, without limit.
constexpr milliseconds list_watchdog{2000};
// Lets the worker hook the port before the first answer can come.
constexpr milliseconds read_start_pause{30};
// The box needs this between two satellites of a list read.
constexpr milliseconds read_satellite_pause{200};
// The box takes the record bytes of a list write no faster than this.
constexpr milliseconds record_byte_pause{5};
// Painting within a pause waits this long into it: started at once, it would
// hold up the processor that is to hand the byte just sent to the box.
constexpr milliseconds paint_delay{1};
constexpr milliseconds write_end_pause{10};

// List read: 'H' asks for a satellite, the box accepts with 'I', takes the
// number and sends 20 record bytes, each acknowledged with 0xCC.
constexpr uchar read_request = 'H';
constexpr uchar read_accept = 'I';
constexpr uchar read_ack = 0xCC;
// From the box in a read: start the satellite again. From the tool in a
// write: send the last request again.
constexpr uchar list_restart = 0xEF;

// List write: 'J' starts, the box answers 'K' once, then asks 'M' for each
// number and 'L' for each record.
constexpr uchar write_start = 'J';
constexpr uchar write_ready = 'K';
constexpr uchar write_next_number = 'M';
constexpr uchar write_send_record = 'L';
constexpr int write_end_number = 200;

// What the list read sent last, apart from acknowledgements (`sat_state`).
// Not the bytes themselves: satellite 72 is the byte 'H'.
constexpr uint8_t sent_request = 1;
constexpr uint8_t sent_number = 2;

const char *const csv_filter = "CSV Files(*.csv)";
const char *const csv_dialog_dir = "..";
const char *const read_error_text = "Data connection error, please restart box and PC software";
const char *const write_error_text = "Data transfer error, please restart box and PC software";
const char *const log_file_name = "data_transfer.log";

void warn(const char *title, const char *text)
{
    QMessageBox::warning(nullptr, velmora::tr(title), velmora::tr(text), QMessageBox::Yes);
}

void inform(const char *title, const char *text)
{
    QMessageBox::information(nullptr, velmora::tr(title), velmora::tr(text), QMessageBox::Yes);
}

void set_sat_buttons(Ui::velmoraClass &ui, bool enabled)
{
    for (QPushButton *button : {ui.pushButton_sat_read, ui.pushButton_sat_save, ui.pushButton_sat_read_file,
                                ui.pushButton_sat_save_file})
        button->setEnabled(enabled);
}

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
        warn("Warning", "No CSV file");
        return false;
    }
    ui.lineEdit_sat_setting->setText(path);
    return true;
}

// Sleeps what is left of a prescribed pause that began at `since`.
void sleep_rest(milliseconds pause, const QElapsedTimer &since)
{
    const qint64 left_us = std::chrono::microseconds(pause).count() - since.nsecsElapsed() / 1000;
    if (left_us <= 0)
        return;
    // Without this the kernel may let the pause run up to 50 us (the
    // default timer slack) past its end, and the box waits for the tool.
    const int slack = prctl(PR_GET_TIMERSLACK);
    prctl(PR_SET_TIMERSLACK, 1UL);
    QThread::usleep(static_cast<unsigned long>(left_us));
    if (slack > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack));
}

void restart(QTimer *timer)
{
    timer->stop();
    timer->start(list_watchdog);
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
        warn("Warning", "Fail to open CSV file");
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
        warn("Warning", "Fail to open CSV file");
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
        warn("Warning", "Fail to save CSV file, the file is unchanged");
}

// ---- reading the list from the box ----

void velmora::sat_read_device()
{
    if (!begin_device_flow(device_flow::list_read))
        return;
    set_sat_buttons(ui, false);

    sat_idx = 0;
    connect(timeout_timer, &QTimer::timeout, this, &velmora::sat_set_timout);
    emit en_rply_byte();
    connect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::list_byte_rply);

    sat_rd_active = 1;
    QThread::msleep(read_start_pause.count());
    const bool failed = port_worker->write_and_wait(read_request);
    sat_state = sent_request;
    if (failed) {
        list_read_end(false);
        return;
    }
    // Started with the first request, so that a box that never answers is
    // asked again rather than waited for with the buttons disabled.
    restart(timeout_timer);
}

void velmora::list_byte_rply(uchar fbk)
{
    // A byte queued before the read ended.
    if (active_flow != device_flow::list_read)
        return;
    ++sat_replies;
    restart(timeout_timer);

    if (fbk == list_restart) {
        sat_rd_active = 1;
        if (sat_state == sent_number)
            sat_idx = sat_idx_last;
        port_worker->write_and_wait(read_request);
        sat_state = sent_request;
        return;
    }

    if (sat_rd_active) {
        if (fbk != read_accept)
            return;
        sat_idx_last = sat_idx;
        ++sat_idx;
        sat_rd_active = 0;
        sat_byte_idx = 0;
        port_worker->write_and_wait(sat_idx);
        sat_state = sent_number;
        return;
    }

    // Never more than a record: the buffer ends there.
    if (sat_byte_idx >= kSatRecordSize)
        return;
    sat_record[sat_byte_idx++] = fbk;
    if (sat_byte_idx < kSatRecordSize) {
        port_worker->write_and_wait(read_ack);
        return;
    }

    // The record is whole. Acknowledge it first and show it within the pause
    // before the next request: painting takes longer than an exchange, and
    // the box has nothing to say until then.
    sat_rd_active = 1;
    port_worker->write_and_wait(read_ack);
    QElapsedTimer pause;
    pause.start();
    sleep_rest(paint_delay, pause);
    SatRecord record;
    std::memcpy(record.bytes, sat_record, sizeof record.bytes);
    const int row = sat_idx - 1;
    show_sat_row(ui.sat_setting, sat_items[row], row, record_to_row(record, EmptySlot::Blank));
    ui.progressBar_sat_setting->setValue((sat_idx + 1) / 2);
    const unsigned replies = ++sat_replies;
    QCoreApplication::processEvents();
    // The line was lost, or a stray byte came in and was answered.
    if (active_flow != device_flow::list_read || replies != sat_replies)
        return;

    if (sat_idx >= sat_rows) {
        list_read_end(true);
        return;
    }
    sleep_rest(read_satellite_pause, pause);
    port_worker->write_and_wait(read_request);
    sat_state = sent_request;
}

void velmora::sat_set_timout()
{
    if (active_flow != device_flow::list_read)
        return;
    // The phase and the indices stay as they are, also when record bytes
    // were due: the box answers an 'H' amid a record in its own way.
    port_worker->write_and_wait(read_request);
    sat_state = sent_request;
    restart(timeout_timer);
}

void velmora::slt_sat_data_ready(uchar idx)
{
    if (idx == 0)
        return; // names no row
    if (idx >= write_end_number) {
        timeout_timer->stop();
        inform("Info", "Satellite data read successfully!");
        set_sat_buttons(ui, true);
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

void velmora::list_read_release()
{
    disconnect(timeout_timer, &QTimer::timeout, this, &velmora::sat_set_timout);
    emit dis_rply_byte();
    disconnect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::list_byte_rply);
}

void velmora::list_read_end(bool success)
{
    // From here on late bytes, time-outs and a lost port find no read: the
    // message box below runs the event loop while the route is still armed.
    end_device_flow();
    if (success) {
        list_read_release();
        inform("Info", "Satellite data read successfully!");
    } else {
        timeout_timer->stop();
        warn("Error", read_error_text);
        list_read_release();
    }
    set_sat_buttons(ui, true);
    port_worker->close_port();
    timeout_timer->stop();
}

// ---- writing the list to the box ----

void velmora::sat_write_device()
{
    if (!begin_device_flow(device_flow::list_write))
        return;
    set_sat_buttons(ui, false);

    connect(timeout_timer, &QTimer::timeout, this, &velmora::sat_write_timeout);
    connect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::list_wt_byte_rply);
    port_worker->update_reply_connect();
    sat_idx = 0;
    sat_byte_idx = 0;
    sat_record_of = 0;

    // Each write keeps its own log: an earlier one is closed and emptied.
    if (log_file.is_open())
        log_file.close();
    log_file.clear();
    log_file.open(log_file_name, std::ios::out | std::ios::trunc);

    port_worker->write_and_wait(write_start);
    // Started with 'J', so that a box that never answers is asked again.
    restart(timeout_timer);
}

void velmora::list_wt_byte_rply(uchar fbk)
{
    if (active_flow != device_flow::list_write)
        return;
    restart(timeout_timer);
    log_file.put(static_cast<char>(fbk));
    sat_state = fbk;

    switch (fbk) {
    case write_ready:
        if (sat_idx != 0)
            list_write_end(false);
        return;
    case write_send_record: {
        if (sat_idx == 0) {
            list_write_end(false); // names no satellite
            return;
        }
        if (sat_record_of != sat_idx)
            build_write_record();
        for (sat_byte_idx = 0; sat_byte_idx < kSatRecordSize; ++sat_byte_idx) {
            port_worker->write_and_wait(sat_record[sat_byte_idx]);
            QElapsedTimer pause;
            pause.start();
            // The number's progress, painted (at once, by the bar itself)
            // within the pause after the first byte rather than while the box
            // waits for an answer.
            if (sat_byte_idx == 0) {
                sleep_rest(paint_delay, pause);
                ui.progressBar_sat_setting->setValue((sat_idx + 1) / 2);
            }
            sleep_rest(record_byte_pause, pause);
        }
        return;
    }
    case write_next_number:
        ++sat_idx;
        port_worker->write_and_wait(sat_idx);
        if (sat_idx >= write_end_number) {
            ui.progressBar_sat_setting->setValue((sat_idx + 1) / 2);
            list_write_end(true);
            return;
        }
        // The box asks for this record at once: have it ready by then.
        build_write_record();
        return;
    default:
        list_write_end(false);
        return;
    }
}

void velmora::build_write_record()
{
    const int row = sat_idx - 1;
    const SatRecord record = row_to_record(take_sat_row(ui.sat_setting, sat_items[row], row));
    std::memcpy(sat_record, record.bytes, sizeof sat_record);
    sat_record_of = sat_idx;
}

void velmora::sat_write_timeout()
{
    if (active_flow != device_flow::list_write)
        return;
    log_file << "Resend";
    sat_record_of = 0; // the row may have been edited since: build it again when asked
    port_worker->write_and_wait(list_restart);
    if (sat_state == write_next_number && sat_idx != 0)
        --sat_idx;
    restart(timeout_timer);
}

void velmora::list_write_release()
{
    port_worker->update_reply_disconnect();
    disconnect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::list_wt_byte_rply);
    disconnect(timeout_timer, &QTimer::timeout, this, &velmora::sat_write_timeout);
}

void velmora::list_write_end(bool success)
{
    // As in the read: nothing may reach the write while a message box shows.
    end_device_flow();
    timeout_timer->stop();
    log_file.flush();
    if (success) {
        QThread::msleep(write_end_pause.count());
        list_write_release();
        set_sat_buttons(ui, true);
        port_worker->close_port();
        inform("Hint", "Satellite data write successfully!");
    } else {
        warn("Error", write_error_text);
        list_write_release();
        set_sat_buttons(ui, true);
        port_worker->close_port();
    }
}

void velmora::list_port_lost()
{
    if (active_flow == device_flow::list_read)
        list_read_end(false);
    else if (active_flow == device_flow::list_write)
        list_write_end(false);
}
