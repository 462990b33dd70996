#include "velmora.h"

#include <QMessageBox>
#include <QSignalBlocker>
#include <QTableWidgetItem>
#include <QTimer>

#include "serial_port_handle.h"

namespace {
const char *const port_unusable_text = "The serial port is occupied or not exist, please try another port.";
}

velmora::velmora()
    : QMainWindow(nullptr, Qt::WindowFlags())
{
    for (auto &row : sat_items)
        for (auto &item : row)
            item = new QTableWidgetItem;

    ui.setupUi(this);

    s19_file = new std::fstream;
    pkg_out_file = new std::fstream;
    in_file = new std::fstream;

    port_worker = new serial_port_handle;
    port_worker->set_port_lost_handler(this, [this] { port_lost(); });

    timeout_timer = new QTimer(this);

    std::fill(std::begin(pkg_block.bytes), std::end(pkg_block.bytes), uint8_t(0xFF));
    pkg_block.bytes[0] = 0;
    pkg_block.bytes[1] = 0;

    ui.label_mcu_m->hide();
    ui.label_mcu_u->hide();

    ui.tabWidget->removeTab(2);

    ui.sat_setting->setColumnWidth(0, 240);

    connect(ui.pushButton_s19, &QPushButton::clicked, this, &velmora::select_s_path);
    connect(ui.pushButton_bin, &QPushButton::clicked, this, &velmora::select_bin_path);
    connect(ui.pushButton_package_start, &QPushButton::clicked, this, &velmora::s2bin);
    connect(ui.pushButton_bin_update, &QPushButton::clicked, this, &velmora::binfile_in);
    connect(ui.pushButton_update_start, &QPushButton::clicked, this, &velmora::update_start);
    connect(ui.pushButton_update_stop, &QPushButton::clicked, this, &velmora::update_pause);
    connect(ui.pushButton_sat_read, &QPushButton::clicked, this, &velmora::sat_read_device);
    connect(ui.pushButton_sat_save, &QPushButton::clicked, this, &velmora::sat_write_device);
    connect(ui.pushButton_sat_read_file, &QPushButton::clicked, this, &velmora::sat_read_file);
    connect(ui.pushButton_sat_save_file, &QPushButton::clicked, this, &velmora::sat_write_file);
    connect(ui.comboBox_port_rw, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &velmora::select_comport);
    connect(ui.comboBox_port_update, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &velmora::select_comport);

    connect(port_worker, &serial_port_handle::sat_data_ready, this, &velmora::slt_sat_data_ready);
    connect(this, &velmora::en_rply_byte, port_worker, &serial_port_handle::update_reply_connect);
    connect(this, &velmora::dis_rply_byte, port_worker, &serial_port_handle::update_reply_disconnect);
    connect(this, &velmora::list_set_sat_idx, port_worker, &serial_port_handle::set_sat_idx);

    connect(ui.pushButton_get_lmt, &QPushButton::clicked, this, &velmora::get_soft_limit);
    connect(ui.pushButton_set_lmt, &QPushButton::clicked, this, &velmora::set_soft_limit);

    probe_ports();

    ui.comboBox_port_rw->setCurrentIndex(port_index);
    ui.comboBox_port_update->setCurrentIndex(port_index);
}

velmora::~velmora()
{
    if (log_file.is_open())
        log_file.close();
    delete s19_file;
    delete pkg_out_file;
    delete in_file;
    delete port_worker;
    port_worker = nullptr;
    // The table holds the cells but does not own them: take each one back
    // before it goes, so the table never deletes it a second time.
    for (int row = 0; row < sat_rows; ++row)
        for (int col = 0; col < sat_columns; ++col) {
            if (ui.sat_setting->item(row, col) == sat_items[row][col])
                ui.sat_setting->takeItem(row, col);
            delete sat_items[row][col];
        }
}

void velmora::probe_ports()
{
    port_index = 0;
    for (int i = 0; i < port_names; ++i) {
        if (!port_worker->open_port(ui.comboBox_port_rw->itemText(i))) {
            port_index = i;
            port_row = i;
            port_worker->close_port();
            return;
        }
        port_worker->release_port();
    }
    QMessageBox::warning(nullptr, tr("Warning"), tr("Serial Port Not Found!"), QMessageBox::Yes);
}

void velmora::select_comport(int p_idx)
{
    if (long_flow_running()) {
        // The port in use must not change under a running transfer: put both
        // boxes back on it.
        warn_port_unusable();
        const QSignalBlocker block_rw(ui.comboBox_port_rw);
        const QSignalBlocker block_update(ui.comboBox_port_update);
        ui.comboBox_port_rw->setCurrentIndex(port_row);
        ui.comboBox_port_update->setCurrentIndex(port_row);
        return;
    }
    finish_limit_exchange();

    if (port_worker->has_port())
        port_worker->close_port();
    port_worker->release_port();

    QComboBox *box = ui.tabWidget->currentIndex() == 0 ? ui.comboBox_port_rw : ui.comboBox_port_update;
    if (!port_worker->open_port(box->itemText(p_idx))) {
        port_worker->close_port();
        port_row = p_idx;
        ui.comboBox_port_rw->setCurrentIndex(p_idx);
        ui.comboBox_port_update->setCurrentIndex(p_idx);
    } else {
        port_worker->release_port();
        QMessageBox::warning(nullptr, tr("Warning"), tr("Cannot Open or Find the Port!"), QMessageBox::Yes);
    }
}

bool velmora::long_flow_running() const
{
    return active_flow == device_flow::update || active_flow == device_flow::list_read
        || active_flow == device_flow::list_write;
}

void velmora::warn_port_unusable()
{
    QMessageBox::warning(nullptr, tr("Warning"), tr(port_unusable_text), QMessageBox::Yes);
}

bool velmora::begin_device_flow(device_flow flow)
{
    if (long_flow_running()) {
        warn_port_unusable();
        return false;
    }
    finish_limit_exchange();
    if (port_worker->reopen_port()) {
        warn_port_unusable();
        port_worker->close_port();
        return false;
    }
    active_flow = flow;
    return true;
}

void velmora::end_device_flow()
{
    active_flow = device_flow::none;
}

void velmora::finish_limit_exchange()
{
    if (active_flow != device_flow::limit_read && active_flow != device_flow::limit_write)
        return;
    disconnect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::get_lmt_rply);
    disconnect(port_worker, &serial_port_handle::update_sgl_rply, this, &velmora::set_lmt_rply);
    port_worker->update_reply_disconnect();
    port_worker->clear_port();
    port_worker->close_port();
    end_device_flow();
}

void velmora::port_lost()
{
    switch (active_flow) {
    case device_flow::update:
        update_port_lost();
        break;
    case device_flow::list_read:
    case device_flow::list_write:
        list_port_lost();
        break;
    case device_flow::limit_read:
    case device_flow::limit_write:
        limit_port_lost();
        break;
    case device_flow::none:
        break;
    }
}
