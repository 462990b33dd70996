#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <fstream>

#include "fw_config.h"
#include "package_block.h"
#include "ui_velmora.h"

class QTableWidgetItem;
class QTimer;
class serial_port_handle;

// Tests reach the window's state through specialisations of this template.
template <typename Tag>
struct velmora_access;

// The main window: the form, the serial worker, the file streams, the one
// time-out timer, the satellite cells and the state of every device flow.
// The slots are the actions; each flow's slots are defined in its
// subsystem's folder.
class velmora : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int sat_rows = 199;
    static constexpr int sat_columns = 4;
    static constexpr int port_names = 15;

    velmora();
    ~velmora() override;

signals:
    void en_rply_byte();
    void dis_rply_byte();
    void sat_list_read_start();
    void sat_list_read_stop();
    void list_set_sat_idx(uchar idx);

private slots:
    void select_s_path();
    void select_bin_path();
    void s2bin();
    void binfile_in();
    void update_start();
    void update_pause();
    void sat_read_device();
    void sat_write_device();
    void sat_read_file();
    void sat_write_file();
    void slt_sat_data_ready(uchar idx);
    void sat_set_timout();
    void sat_write_timeout();
    void update_byte_rply(uchar fbk);
    void list_byte_rply(uchar fbk);
    void list_wt_byte_rply(uchar fbk);
    void select_comport(int p_idx);
    void update_timeout();
    void get_soft_limit();
    void set_soft_limit();
    void get_lmt_rply(uchar fbk);
    void set_lmt_rply(uchar fbk);

private:
    template <typename Tag>
    friend struct velmora_access;

    // The device conversation that currently holds the port.
    enum class device_flow { none, limit_read, limit_write, list_read, list_write, update };

    // Port check shared by every device flow. Refuses while a long flow
    // (update, list read, list write) runs; abandons a pending soft-limit
    // exchange, which has no time-out; reopens the port. Shows the warning
    // and returns false when the flow cannot start.
    bool begin_device_flow(device_flow flow);
    void end_device_flow();
    bool long_flow_running() const;
    void finish_limit_exchange();
    // Reached once, queued, when the worker finds the open port broken.
    void port_lost();
    void warn_port_unusable();
    void probe_ports();

    // Flow endings after a broken line, one per subsystem.
    void update_port_lost();
    void list_port_lost();
    void limit_port_lost();

    void update_finish();

public:
    Ui::velmoraClass ui;

private:
    QString s19_path;
    QString file_path;
    std::fstream *s19_file = nullptr;
    std::fstream *pkg_out_file = nullptr;
    std::fstream *in_file = nullptr;
    std::fstream log_file;
    QTimer *timeout_timer = nullptr;
    char s19_line[102] = {};
    uint16_t s19_addr = 0;
    uint8_t s19_count = 0;
    uint8_t s19_addr_hi = 0;
    uint8_t s19_addr_lo = 0;
    uint8_t s19_type = 0;
    uint8_t s19_data[17] = {};
    PackageBlock pkg_block{};
    FirmwareConfig fw_config{};
    uint8_t aes_rcon = 0;
    uint8_t aes_round_key[16] = {};
    QTableWidgetItem *sat_items[sat_rows][sat_columns] = {};
    uint8_t sat_idx = 0;
    uint8_t sat_idx_last = 0;
    uint8_t upd_retry = 0;
    uint8_t upd_block_idx = 0;
    uint8_t upd_line_idx = 0;
    uint8_t upd_resend = 0;
    uint8_t upd_byte_idx = 0;
    uint8_t upd_last_byte = 0;
    uint8_t sat_rd_active = 0;
    uint8_t sat_byte_idx = 0;
    int32_t upd_byte_count = 0;
    serial_port_handle *port_worker = nullptr;
    int32_t pkg_block_count = 0;
    int32_t port_index = 0;
    uint8_t sat_state = 0;
    uint8_t lmt_busy = 0;
    uint8_t lmt_rx_count = 0;
    uint8_t lmt_buf[4] = {};
    int16_t west_limit = 0;
    int16_t east_limit = 0;

    // ---- shell ----
    device_flow active_flow = device_flow::none;
    int port_row = 0; // row of the port the worker holds, both combo boxes show it

    // ---- packaging (builder) ----
    // The package path chosen with select_bin_path: file_path also takes the
    // package and CSV dialogs' results, which must not redirect a build.
    QString pkg_out_path;
    // What select_s_path showed for the image; the header of a build where
    // the image has no configuration record.
    FirmwareConfig pkg_s19_config{};
    // A build processes events; a second Start meanwhile is ignored.
    bool pkg_building = false;

    // ---- update ----
    enum class update_phase { idle, entering, running };
    update_phase upd_phase = update_phase::idle;
    // Bumped at each start, so that a slot which processed events can tell
    // whether its own session still runs.
    unsigned upd_session = 0;
    bool upd_block_open = false; // a block is being sent: '^' has bytes to give
    bool upd_label_stale = false; // upd_byte_count has moved on since the label showed it
    bool upd_label_drop_update = false; // the repaint asked for by a text set within a paint is not needed
    QTimer *upd_label_timer = nullptr; // paces the repaints of the byte count
    QObject *upd_label_hook = nullptr; // sees the label's paints
    void update_next_block(unsigned session);
    void update_next_data_byte();
    bool update_send(uint8_t byte);
    void update_fail(const QString &title, const QString &text);
    void update_line_broken();
    bool update_session_alive(unsigned session) const;
    QString update_count_text() const;
    void set_update_status(const QString &text);
    void show_update_count();
    void prepare_update_label();
    bool update_label_event(QEvent *event);

    // ---- satellite list ----
    static uint8_t sat_record[20]; // the record on the line, in either direction
    unsigned sat_replies = 0; // reply bytes the list read has taken; tells a repaint let one in
    uint8_t sat_record_of = 0; // the satellite whose record a list write holds in sat_record; 0: none
    void build_write_record();
    void list_read_end(bool success);
    void list_write_end(bool success);
    void list_read_release();
    void list_write_release();

    // ---- soft limits ----
    // Takes the bytes before the box's start byte of a limit exchange; false
    // once the exchange is transferring.
    bool awaiting_limit_start(uchar fbk, uchar start_byte);
};
