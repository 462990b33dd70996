#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <QVector>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>

#include "action_runner.h"
#include "conversation.h"
#include "file_chooser.h"
#include "fw_config.h"
#include "package_block.h"
#include "package_check.h"
#include "port_listing.h"
#include "sat_backup.h"
#include "sat_list.h"
#include "ui_velmora.h"

class QTableWidgetItem;
class QTimer;
class SatTableEdit;
class SatTableWatch;
class serial_port_handle;

// Tests reach the window's state through specialisations of this template.
template <typename Tag>
struct VelmoraAccess;

// The main window: the form, the serial worker, the file streams, the one
// time-out timer, the satellite cells and the state of every device flow.
// The slots are the actions; each flow's slots are defined in its
// subsystem's folder.
class velmora : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int port_names = 15;

    // The port boxes list the ports `listing` gives after the COM names. With
    // `start_port` (a name or a path) that port is chosen at start-up instead
    // of probing; one the boxes do not offer is added to them.
    explicit velmora(std::shared_ptr<const PortListing> listing = std::make_shared<SystemPortListing>(),
                     const QString &start_port = QString());
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
    friend struct VelmoraAccess;

    // The device conversation that currently holds the port.
    enum class DeviceFlow { none, limit_read, limit_write, list_read, list_write, update };

    // ---- shell: the one running conversation and its driver ----
    // Port check shared by every device flow. Refuses while a long flow
    // (update, list read, list write) runs; abandons a pending soft-limit
    // exchange, which has no time-out; reopens the port. Shows the warning
    // and returns false when the flow cannot start.
    bool begin_device_flow(DeviceFlow flow);
    // Makes `conversation` the running flow's engine, connects the flow's
    // time-out slot and performs its start. Replies reach the flow's reply
    // slot through the one connection the constructor makes.
    void run_flow(std::unique_ptr<protocol::Conversation> conversation);
    bool long_flow_running() const;
    // The reply and time-out slots of each flow.
    struct FlowSlots {
        void (velmora::*reply)(uchar);
        void (velmora::*silence)();
    };
    static FlowSlots slots_of(DeviceFlow flow);
    // Ends a pending soft-limit exchange without a word.
    void finish_limit_exchange();
    // What every reply slot does: a reply for `flow` goes to its engine,
    // unless the flow is over or the reply was read before the latest send.
    void feed_reply(DeviceFlow flow, uchar fbk);
    void feed_silence(DeviceFlow flow);
    // What the runner does through the worker, the widgets and the message
    // table; events that come while it performs actions wait until it is done.
    class FlowFront;
    std::unique_ptr<FlowFront> flow_front;
    std::unique_ptr<protocol::ActionRunner> runner;
    void pause_flow(std::chrono::milliseconds pause);
    // The flow's end: drops its engine first, so that nothing queued before
    // the end reaches it, then releases the port and the widgets.
    void end_flow(const protocol::Action &end);
    // Reached once, queued, when the worker finds the open port broken.
    void port_lost();
    void probe_ports();
    // The port named at start-up: both boxes show its row (without a
    // signal, so it is opened once) and the worker takes it.
    void choose_start_port(int row);
    // Gives the worker the port of `row`, closed, as a port choice does; or
    // warns, with the reason, that it does not open. True when it opened.
    bool take_port(int row);
    // Lists the ports again and gives both boxes the same rows: the COM
    // names, the listed ports, then `kept` and each box's chosen port where
    // the listing lacks them. Each box keeps its choice by port, and no port
    // is opened or closed: the boxes' signals are blocked meanwhile.
    void refresh_port_rows(QList<PortEntry> kept);
    // What the worker opens for a row: the COM name, or the port's path.
    QString port_of_row(int row) const;
    // The row whose port opens where `name` does, or -1.
    int row_of_port(const QString &name) const;
    QProgressBar *flow_progress_bar() const;
    void show_flow_status(protocol::Status status, int value);
    // Stores `record` as the row of `satellite` (1..199), through the record
    // buffer: the list read's rows, and the worker's (with `empty`: numbers).
    void show_row(int satellite, const SatRecord &record, EmptySlot empty = EmptySlot::blank);

public:
    // The message box of `id`: parentless, its single button Yes, with
    // `detail` as its detailed text when there is one; `value` is the number
    // the message names, if it names one.
    static void show_message(protocol::MessageId id, const QString &detail = QString(), int value = 0);
    // A message box as show_message makes it, of any text.
    static void show_box(QMessageBox::Icon icon, const QString &title, const QString &text,
                         const QString &detail = QString());

    Ui::velmoraClass ui;

    // Every file path the window asks for comes from `chooser` (by default
    // the toolkit's dialogs).
    void set_file_chooser(FileChooser chooser) { file_chooser = std::move(chooser); }

private:
    QString s19_path;
    QString file_path;
    std::fstream log_file;
    QTimer *timeout_timer = nullptr;
    PackageBlock pkg_block{};
    FirmwareConfig fw_config{};
    QTableWidgetItem *sat_items[sat_count][sat_columns] = {};
    uint8_t sat_idx = 0; // the satellite slt_sat_data_ready asks for next
    serial_port_handle *port_worker = nullptr;
    int32_t pkg_block_count = 0;
    int32_t port_index = 0;
    int16_t west_limit = 0;
    int16_t east_limit = 0;

    // ---- window state that nothing uses any more, kept under its old names ----
    // S-record lines are read and searched by packaging/srecord (SrecLineReader,
    // ConfigSearch), the cipher keeps its own round keys (packaging/aes128),
    // and a package is written whole through build_package_file. Images and
    // packages are read whole (read_whole_file), CSV files through QFile.
    std::fstream *s19_file = nullptr;
    std::fstream *in_file = nullptr;
    std::fstream *pkg_out_file = nullptr;
    char s19_line[102] = {};
    uint16_t s19_addr = 0;
    uint8_t s19_count = 0;
    uint8_t s19_addr_hi = 0;
    uint8_t s19_addr_lo = 0;
    uint8_t s19_type = 0;
    uint8_t s19_data[17] = {};
    uint8_t aes_rcon = 0;
    uint8_t aes_round_key[16] = {};

    // ---- shell ----
    FileChooser file_chooser = ask_file_dialog;
    QString choose_file(FileQuestion::Kind kind, QWidget *parent, const QString &caption,
                        const QString &directory, const QString &filter);
    DeviceFlow active_flow = DeviceFlow::none;
    std::unique_ptr<protocol::Conversation> engine; // the running flow's rules
    bool repaint_due = false; // a progress or row changed since the window last painted
    quint32 reply_stamp = 0; // sends the worker had made when it read the reply being delivered
    unsigned watchdog_arms = 0; // bumped whenever the watchdog is started or stopped
    int port_row = 0; // row of the port the worker holds, both combo boxes show it
    std::shared_ptr<const PortListing> port_listing;
    QList<PortEntry> port_entries; // the boxes' rows after the COM names

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
    int update_label_count = 0; // bytes loaded, as the label is to show them
    bool update_label_stale = false; // the count has moved on since the label showed it
    bool update_label_drop_update = false; // the repaint asked for by a text set within a paint is not needed
    QTimer *update_label_timer = nullptr; // paces the repaints of the byte count
    QObject *update_label_hook = nullptr; // sees the label's paints
    // The package binfile_in read, until a session has taken it.
    std::optional<LoadedPackage> loaded_package;
    // True when the loaded package shows no fault, or the technician still
    // wants to send it.
    bool package_faults_accepted();
    // Ends a session; after a failed entry the Stop button stays as it was.
    void update_finish(bool entered);
    void set_update_status(const QString &text);
    void show_update_count();
    void prepare_update_label();
    bool update_label_event(QEvent *event);

    // ---- satellite list ----
    static uint8_t sat_record[20]; // the record on the line, in either direction
    SatRecord write_record(int satellite);
    // The four buttons of the list, disabled while a transfer runs.
    void set_sat_buttons(bool enabled);
    SatTableWatch *sat_watch = nullptr; // the cells' marks and unsaved edits
    SatTableEdit *sat_edit = nullptr; // the clipboard, the row operations and the undo stack
    std::vector<SatRow> write_rows; // what the running write sends, taken as it started
    QString backup_failure; // why the running transfer's backup failed
    QString backup_round_trip; // rows the running transfer's backup does not give back as they are
    // Gives the table its delegate and watch, and the window its question
    // before closing.
    void prepare_sat_table();
    // Every row's texts, each copied into the window's own cells first.
    std::vector<SatRow> take_sat_rows();
    // True when the table holds no unsaved edits, or the technician lets them go.
    bool may_lose_edits();
    // True when the write alters no cell, or the technician still wants it.
    bool write_confirmed(const std::vector<SatRow> &rows);
    // Saves `rows` as a backup of `kind`; a failure is told by tell_backup_failure.
    void back_up_sat_table(BackupKind kind, const std::vector<SatRow> &rows);
    void tell_backup_failure();
    // What a list transfer leaves once the port is released.
    void sat_transfer_ended(DeviceFlow flow, bool succeeded);
};
