// Package loading and the bootloader update session.
#include "velmora.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <functional>

#include "serial_port_handle.h"

namespace {

using std::chrono::milliseconds;

// The bootloader needs this long after 'E' before it answers.
constexpr milliseconds entry_settle{400};
// Silence after which the last byte is sent again.
constexpr milliseconds reply_watchdog{2000};
// The byte count on the label is repainted at most this often (and at each
// block and at the end): a repaint before every byte would cost about as much
// as the exchange itself on the line.
constexpr milliseconds label_repaint_interval{50};
// Resend requests in a row the session tolerates; one more ends it.
constexpr int max_line_retries = 15;

constexpr uchar byte_enter = 'E';
constexpr uchar byte_confirm = 'R';
constexpr uchar byte_block_follows = 'a';
constexpr uchar byte_no_more_blocks = '[';

const char *const text_no_package = "Can not find BIN file";
const char *const text_data_transfer_error = "Data transfer error, please restart box and PC software";

// Hands a widget's paint requests to the window without the window
// overriding an event handler of its own. Only those: the widget's other
// events include the ones it gets while the window is being destroyed.
class paint_hook : public QObject
{
public:
    paint_hook(QObject *parent, std::function<bool(QEvent *)> handler)
        : QObject(parent),
          handler(std::move(handler))
    { }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        const bool painting = event->type() == QEvent::Paint || event->type() == QEvent::UpdateLater;
        return painting && handler(event);
    }

private:
    std::function<bool(QEvent *)> handler;
};

} // namespace

void velmora::binfile_in()
{
    // The running session reads this stream: a new package waits for its end.
    if (upd_phase != update_phase::idle)
        return;

    // One stream serves every package, and an open stream cannot be opened
    // again: the earlier package goes first, also when the choice is
    // cancelled, so the block count and the stream never disagree.
    in_file->close();
    in_file->clear();
    pkg_block_count = 0;
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_stop->setEnabled(true);

    file_path = QFileDialog::getOpenFileName(this, tr("open File"), QStringLiteral(".."),
                                             tr("Text Files(*.bin);;All Files(*.*)"));
    if (file_path.isEmpty()) {
        QMessageBox::warning(nullptr, tr("Warning"), tr(text_no_package), QMessageBox::Yes);
        return;
    }
    ui.lineEdit_update->setText(file_path);

    in_file->open(QFile::encodeName(file_path).toStdString(), std::ios::in | std::ios::binary);
    if (!in_file->is_open()) {
        QMessageBox::warning(nullptr, tr("Warning"), tr("Can not open BIN file"), QMessageBox::Yes);
        return;
    }

    read_package_header(*in_file, fw_config);
    const FirmwareConfigText text = decode_fw_config(fw_config);
    ui.label_model_u->setText(text.model);
    ui.label_mcu_u->setText(text.mcu);
    ui.label_date_u->setText(text.date);
    ui.label_ver_u->setText(text.version);

    while (read_package_block(*in_file, pkg_block))
        ++pkg_block_count;
    ui.progressBar_update->setMaximum(pkg_block_count);

    in_file->clear();
    in_file->seekg(0);
}

void velmora::update_start()
{
    if (upd_phase != update_phase::idle)
        return;
    if (!in_file->is_open()) {
        QMessageBox::warning(nullptr, tr("Warning"), tr(text_no_package), QMessageBox::Yes);
        return;
    }

    upd_block_idx = 0;
    upd_line_idx = 0;
    upd_resend = 0;
    upd_byte_idx = 0;
    upd_byte_count = 0;
    upd_retry = 0;
    upd_block_open = false;

    if (!begin_device_flow(device_flow::update))
        return;
    upd_phase = update_phase::entering;
    const unsigned session = ++upd_session;

    ui.pushButton_update_close->setEnabled(false);
    ui.pushButton_update_stop->setEnabled(true);
    prepare_update_label();
    set_update_status(tr("Getting into Bootloader Mode..."));
    QCoreApplication::processEvents();
    // Stop may have been pressed meanwhile.
    if (!update_session_alive(session))
        return;

    read_package_header(*in_file, fw_config);
    port_worker->clear_port();
    port_worker->write_and_wait(byte_enter);
    QThread::msleep(entry_settle.count());

    uchar answer = 0xFF;
    port_worker->wait_read_byte(answer);
    if (answer != 'P') {
        QMessageBox::warning(
            nullptr, tr("Warning"),
            tr("Device has not been prepared, please re-connect cable and reboot the update software."),
            QMessageBox::Yes);
        ui.pushButton_update_start->setEnabled(true);
        ui.pushButton_update_close->setEnabled(true);
        in_file->clear();
        in_file->close();
        port_worker->close_port();
        upd_phase = update_phase::idle;
        end_device_flow();
        return;
    }

    upd_phase = update_phase::running;
    connect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::update_byte_rply);
    port_worker->update_reply_connect();
    // A coarse timer may fire up to 5% early: the silence must last 2000 ms.
    timeout_timer->setTimerType(Qt::PreciseTimer);
    connect(timeout_timer, &QTimer::timeout, this, &velmora::update_timeout);
    set_update_status(tr("Bootloader Started..."));
    QCoreApplication::processEvents();
    if (!update_session_alive(session))
        return;

    port_worker->clear_port();
    // The watchdog starts with the box's first answer, not here.
    if (port_worker->write_byte(byte_confirm))
        update_line_broken();
}

void velmora::update_pause()
{
    if (upd_phase != update_phase::idle) {
        update_finish();
        return;
    }
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_close->setEnabled(true);
}

void velmora::update_byte_rply(uchar fbk)
{
    // A reply queued before the session ended may still arrive.
    if (upd_phase != update_phase::running)
        return;
    const unsigned session = upd_session;

    timeout_timer->start(reply_watchdog);

    switch (fbk) {
    case 'P':
        update_send(byte_confirm);
        break;
    case 'Q':
        for (const uint8_t b : fw_config.bytes)
            if (!update_send(b))
                break;
        break;
    case 'S':
        ui.progressBar_update->setValue(pkg_block_count);
        QCoreApplication::processEvents();
        if (!update_session_alive(session))
            return;
        update_finish();
        set_update_status(tr("Update completed!"));
        QMessageBox::information(nullptr, tr("Hint"), tr("Update process completed."), QMessageBox::Yes);
        break;
    case 'T':
        upd_retry = 0;
        upd_resend = 0;
        break;
    case 'U':
        ++upd_retry;
        if (upd_retry > max_line_retries)
            update_fail(tr("Warning"), tr(text_data_transfer_error));
        else
            upd_resend = 1;
        break;
    case 'V':
    case 'W':
        update_fail(tr("Warning"), tr("BIN file CPU does not corresponding with device's CPU"));
        break;
    case 'X':
        update_fail(tr("Warning"), tr("Too old BIN file"));
        break;
    case 'Y':
        update_next_block(session);
        break;
    case 'Z':
        set_update_status(tr("Update process failed!"));
        update_fail(tr("Error"),
                    tr("Update process failed, please reboot the device and restart the update program."));
        break;
    case ']':
        update_fail(tr("Warning"), tr("Data write error, please restart box and PC software"));
        break;
    case '^':
        update_next_data_byte();
        break;
    case '_':
        update_send(pkg_block.bytes[0]);
        break;
    default:
        // 'R', '[', '\' and anything else: only the watchdog was restarted.
        break;
    }
}

void velmora::update_next_block(unsigned session)
{
    if (!read_package_block(*in_file, pkg_block)) {
        upd_block_open = false;
        update_send(byte_no_more_blocks);
        return;
    }
    const int started = upd_block_idx;
    upd_block_idx = uint8_t(started + 1);
    upd_line_idx = 0;
    upd_byte_idx = 0;
    upd_block_open = true;
    ui.progressBar_update->setValue(started);
    show_update_count();
    QCoreApplication::processEvents();
    if (!update_session_alive(session))
        return;
    qDebug("Addr = 0x%x%x", pkg_block.bytes[0], pkg_block.bytes[1]);
    update_send(byte_block_follows);
}

void velmora::update_next_data_byte()
{
    // Nothing to give before the first block or after the last, and never
    // more than the block's 32 lines.
    if (!upd_block_open)
        return;
    if (upd_resend) {
        upd_byte_idx = 1;
    } else if (upd_byte_idx == kLineBytes) {
        if (upd_line_idx + 1u >= kBlockLines)
            return;
        ++upd_line_idx;
        upd_byte_idx = 1;
    } else {
        ++upd_byte_idx;
    }
    const uint8_t byte = pkg_block.bytes[block_line_pos(upd_line_idx, upd_byte_idx - 1u)];
    upd_resend = 0;
    ++upd_byte_count;
    // The label follows at its own pace.
    upd_label_stale = true;
    if (!upd_label_timer->isActive())
        upd_label_timer->start();
    update_send(byte);
}

bool velmora::update_send(uint8_t byte)
{
    upd_last_byte = byte;
    if (port_worker->write_byte(byte)) {
        update_line_broken();
        return false;
    }
    return true;
}

void velmora::update_timeout()
{
    if (upd_phase != update_phase::running)
        return;
    port_worker->clear_port();
    if (port_worker->write_and_wait(upd_last_byte)) {
        update_line_broken();
        return;
    }
    if (log_file.is_open()) {
        log_file << "Resended";
        log_file.flush();
    }
    timeout_timer->start(reply_watchdog);
}

void velmora::update_fail(const QString &title, const QString &text)
{
    // The box comes first; the session stays connected while it is open.
    const unsigned session = upd_session;
    QMessageBox::warning(nullptr, title, text, QMessageBox::Yes);
    if (upd_session == session)
        update_finish();
}

void velmora::update_finish()
{
    if (upd_phase == update_phase::idle)
        return;
    upd_phase = update_phase::idle;
    upd_block_open = false;

    timeout_timer->stop();
    upd_label_timer->stop();
    show_update_count();
    ui.pushButton_update_close->setEnabled(true);
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_stop->setEnabled(false);
    in_file->clear();
    in_file->close();
    port_worker->clear_port();
    port_worker->close_port();
    disconnect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::update_byte_rply);
    disconnect(timeout_timer, &QTimer::timeout, this, &velmora::update_timeout);
    emit dis_rply_byte();
    end_device_flow();
}

void velmora::update_port_lost()
{
    if (upd_phase != update_phase::running)
        return;
    update_line_broken();
}

void velmora::update_line_broken()
{
    // Ended first: resending into a line that is gone would only fail again.
    if (upd_phase == update_phase::idle)
        return;
    update_finish();
    QMessageBox::warning(nullptr, tr("Error"), tr(text_data_transfer_error), QMessageBox::Yes);
}

bool velmora::update_session_alive(unsigned session) const
{
    return upd_phase != update_phase::idle && upd_session == session;
}

QString velmora::update_count_text() const
{
    return tr("Bootloader Started...") + QString::number(upd_byte_count) + tr("Bytes Loaded");
}

void velmora::set_update_status(const QString &text)
{
    upd_label_stale = false;
    upd_label_timer->stop();
    ui.label_update_status->setText(text);
}

void velmora::show_update_count()
{
    if (!upd_label_stale)
        return;
    upd_label_stale = false;
    ui.label_update_status->setText(update_count_text());
}

void velmora::prepare_update_label()
{
    if (!upd_label_timer) {
        upd_label_timer = new QTimer(this);
        upd_label_timer->setSingleShot(true);
        upd_label_timer->setInterval(label_repaint_interval);
        connect(upd_label_timer, &QTimer::timeout, this, &velmora::show_update_count);
        upd_label_hook = new paint_hook(this, [this](QEvent *event) { return update_label_event(event); });
    }
    // Again at every start: the filter installed last runs first.
    ui.label_update_status->installEventFilter(upd_label_hook);
}

bool velmora::update_label_event(QEvent *event)
{
    if (event->type() == QEvent::Paint && upd_label_stale) {
        // Whatever asked for this paint, it shows the count as it is now.
        show_update_count();
        upd_label_drop_update = true;
    } else if (event->type() == QEvent::UpdateLater && upd_label_drop_update) {
        // The text set within the paint asked for another one: the paint
        // under way already shows it.
        upd_label_drop_update = false;
        return true;
    }
    return false;
}
