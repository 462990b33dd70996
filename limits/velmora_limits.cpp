// The EAST/WEST soft limits: reading them from and writing them to the box.
// Neither exchange has a time-out; a pending one is abandoned when any other
// device flow starts.
#include "velmora.h"

#include <QMessageBox>
#include <QThread>

#include "serial_port_handle.h"
#include "soft_limits.h"

namespace {
constexpr uchar read_command = 'b';
constexpr uchar read_start = 'c';
constexpr uchar write_command = 'd';
constexpr uchar write_start = 'e';
constexpr uchar first_end_byte = 4;
constexpr unsigned long conclusion_pause_ms = 20;
} // namespace

bool velmora::awaiting_limit_start(uchar fbk, uchar start_byte)
{
    if (lmt_busy)
        return false;
    // Until the box's start byte, everything it sends is ignored.
    if (fbk == start_byte)
        lmt_busy = 1;
    return true;
}

void velmora::get_soft_limit()
{
    if (!begin_device_flow(device_flow::limit_read))
        return;
    lmt_busy = 0;
    lmt_rx_count = 0;
    connect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::get_lmt_rply);
    port_worker->update_reply_connect();
    port_worker->write_and_wait(read_command);
}

void velmora::get_lmt_rply(uchar fbk)
{
    if (awaiting_limit_start(fbk, read_start))
        return;
    lmt_buf[lmt_rx_count] = fbk;
    ++lmt_rx_count;
    port_worker->write_and_wait(lmt_rx_count);
    if (lmt_rx_count < sizeof lmt_buf)
        return;

    QThread::msleep(conclusion_pause_ms);
    west_limit = soft_limits::decode(lmt_buf[0], lmt_buf[1]);
    east_limit = soft_limits::decode(lmt_buf[2], lmt_buf[3]);
    ui.lineEdit_wst_lmt->setText(QString::number(west_limit, 10));
    ui.lineEdit_est_lmt->setText(QString::number(east_limit, 10));
    finish_limit_exchange();
}

void velmora::set_soft_limit()
{
    if (!begin_device_flow(device_flow::limit_write))
        return;
    west_limit = ui.lineEdit_wst_lmt->text().toShort(nullptr, 10);
    east_limit = ui.lineEdit_est_lmt->text().toShort(nullptr, 10);

    const char *refusal = nullptr;
    switch (soft_limits::validate(west_limit, east_limit)) {
    case soft_limits::check::out_of_range:
        refusal = "The EAST/WEST limit setting should between -5000 to 5000.";
        break;
    case soft_limits::check::wrong_order:
        refusal = "The EAST limit should be greater than the WEST limit.";
        break;
    case soft_limits::check::ok:
        break;
    }
    if (refusal) {
        QMessageBox::warning(nullptr, tr("Warning"), tr(refusal), QMessageBox::Yes);
        port_worker->close_port();
        end_device_flow();
        return;
    }

    const auto bytes = soft_limits::encode(west_limit, east_limit);
    std::copy(bytes.begin(), bytes.end(), lmt_buf);
    lmt_busy = 0;
    lmt_rx_count = 0;
    connect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::set_lmt_rply);
    port_worker->update_reply_connect();
    port_worker->write_and_wait(write_command);
}

void velmora::set_lmt_rply(uchar fbk)
{
    if (awaiting_limit_start(fbk, write_start))
        return;
    if (fbk < first_end_byte) {
        port_worker->write_and_wait(lmt_buf[fbk]);
        return;
    }

    QThread::msleep(conclusion_pause_ms);
    // Replies that come while the box is open still arrive here; only the
    // first end byte concludes the exchange.
    lmt_busy = 0;
    QMessageBox::information(nullptr, tr("Hint"), tr("EAST/WEST limit set OK."), QMessageBox::Yes);
    if (active_flow == device_flow::limit_write)
        finish_limit_exchange();
}

void velmora::limit_port_lost()
{
    finish_limit_exchange();
    warn_port_unusable();
}
