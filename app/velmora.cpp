#include "velmora.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QTableWidgetItem>
#include <QTimer>

#include <algorithm>

#include "port_box.h"
#include "ports.h"
#include "precise_sleep.h"
#include "sat_cells.h"
#include "serial_port_handle.h"
#include "soft_limit_exchange.h"
#include "update_session.h"

namespace {

using std::chrono::milliseconds;

// Painting within a pause waits this long into it: started at once, it would
// hold up the processor that is to hand the byte just sent to the box.
constexpr milliseconds paint_delay{1};

// Sleeps what is left of a pause that began at `since`.
void sleep_rest(milliseconds pause, const QElapsedTimer &since)
{
    precise_sleep(std::chrono::microseconds(pause) - std::chrono::microseconds(since.nsecsElapsed() / 1000));
}

} // namespace

class velmora::FlowFront final : public protocol::FrontEnd
{
public:
    explicit FlowFront(velmora &window)
        : w(window)
    { }

    void clear() override { w.port_worker->clear_port(); }
    void listen() override { emit w.en_rply_byte(); }
    protocol::LineResult send(uint8_t byte, bool wait) override
    {
        // The worker's calls say true when they fail.
        const bool failed = wait ? w.port_worker->write_and_wait(byte) : w.port_worker->write_byte(byte);
        return failed ? protocol::LineResult::timed_out : protocol::LineResult::ok;
    }
    protocol::LineResult pause(milliseconds duration) override
    {
        w.pause_flow(duration);
        return protocol::LineResult::ok;
    }
    protocol::LineResult read_byte(milliseconds, uint8_t &byte) override
    {
        uchar got = 0;
        if (w.port_worker->wait_read_byte(got))
            return protocol::LineResult::timed_out;
        byte = got;
        return protocol::LineResult::ok;
    }
    void arm_watchdog(milliseconds limit) override
    {
        w.timeout_timer->start(int(limit.count()));
        ++w.watchdog_arms;
    }
    void stop_watchdog() override
    {
        w.timeout_timer->stop();
        ++w.watchdog_arms;
    }
    void progress(int value) override
    {
        w.flow_progress_bar()->setValue(value);
        w.repaint_due = true;
    }
    void row(int satellite, const QByteArray &record) override
    {
        w.show_row(satellite, record);
        w.repaint_due = true;
    }
    void log(const QByteArray &text) override
    {
        if (w.log_file.is_open())
            w.log_file.write(text.constData(), text.size());
    }
    void status(protocol::Status status, int value) override { w.show_flow_status(status, value); }
    void message(const protocol::Action &action) override { show_message(action.message); }
    void end(const protocol::Action &action) override { w.end_flow(action); }
    bool still_current(const protocol::LineEvent &event) const override
    {
        switch (event.kind) {
        case protocol::LineEvent::Kind::reply:
            // Read before the latest send: not an answer to it.
            return event.stamp == w.port_worker->sent_count();
        case protocol::LineEvent::Kind::silence:
            // The watchdog was started again since it fired.
            return event.stamp == w.watchdog_arms;
        case protocol::LineEvent::Kind::line_lost:
            break;
        }
        return true;
    }

private:
    velmora &w;
};

velmora::velmora(std::shared_ptr<const PortListing> listing, const QString &start_port)
    : QMainWindow(nullptr, Qt::WindowFlags()),
      port_listing(std::move(listing))
{
    // The record buffer is shared by every window; a new one starts from a
    // blank record, not from what an earlier window left there.
    std::fill(std::begin(sat_record), std::end(sat_record), uint8_t(0));
    for (auto &row : sat_items)
        for (auto &item : row)
            item = new QTableWidgetItem;

    ui.setupUi(this);

    s19_file = new std::fstream;
    in_file = new std::fstream;

    flow_front = std::make_unique<FlowFront>(*this);
    runner = std::make_unique<protocol::ActionRunner>(*flow_front);
    port_worker = new serial_port_handle;
    port_worker->set_port_lost_handler(this, [this] { port_lost(); });
    // Every reply comes here first, with the stamp that says whether it was
    // read after the latest send, and goes on to the running flow's slot.
    port_worker->set_reply_stamping(true);
    connect(port_worker, &serial_port_handle::update_sgl_rply, this, [this](uchar rply) {
        reply_stamp = port_worker->take_reply_stamp();
        if (const auto reply_slot = slots_of(active_flow).reply)
            (this->*reply_slot)(rply);
    });

    timeout_timer = new QTimer(this);

    std::fill(std::begin(pkg_block.bytes), std::end(pkg_block.bytes), uint8_t(0xFF));
    pkg_block.bytes[0] = 0;
    pkg_block.bytes[1] = 0;

    ui.label_mcu_m->hide();
    ui.label_mcu_u->hide();

    ui.tabWidget->removeTab(2);

    ui.sat_setting->setColumnWidth(0, 240);
    prepare_sat_table();

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
    // Adapters come and go: the rows are brought up to date whenever a list opens.
    for (PortBox *box : {ui.comboBox_port_rw, ui.comboBox_port_update})
        connect(box, &PortBox::popup_requested, this, [this] { refresh_port_rows({}); });

    connect(port_worker, &serial_port_handle::sat_data_ready, this, &velmora::slt_sat_data_ready);
    connect(this, &velmora::en_rply_byte, port_worker, &serial_port_handle::update_reply_connect);
    connect(this, &velmora::dis_rply_byte, port_worker, &serial_port_handle::update_reply_disconnect);
    connect(this, &velmora::list_set_sat_idx, port_worker, &serial_port_handle::set_sat_idx);

    connect(ui.pushButton_get_lmt, &QPushButton::clicked, this, &velmora::get_soft_limit);
    connect(ui.pushButton_set_lmt, &QPushButton::clicked, this, &velmora::set_soft_limit);

    if (start_port.isEmpty()) {
        refresh_port_rows({});
        probe_ports();
        ui.comboBox_port_rw->setCurrentIndex(port_index);
        ui.comboBox_port_update->setCurrentIndex(port_index);
    } else {
        refresh_port_rows({named_port(start_port)});
        choose_start_port(row_of_port(start_port));
    }
}

velmora::~velmora()
{
    // Nothing may drive the port once the window goes.
    runner->drop();
    engine.reset();
    active_flow = DeviceFlow::none;
    if (log_file.is_open())
        log_file.close();
    delete s19_file;
    delete in_file;
    delete port_worker;
    port_worker = nullptr;
    // The table holds the cells but does not own them: take each one back
    // before it goes, so the table never deletes it a second time.
    for (int row = 0; row < sat_count; ++row)
        for (int col = 0; col < sat_columns; ++col) {
            if (ui.sat_setting->item(row, col) == sat_items[row][col])
                ui.sat_setting->takeItem(row, col);
            delete sat_items[row][col];
        }
}

void velmora::probe_ports()
{
    port_index = 0;
    for (int row = 0; row < ui.comboBox_port_rw->count(); ++row) {
        // A built-in UART opens with nothing attached: only COM names and
        // USB adapters can tell that a box may be there.
        if (row >= port_names && !port_entries.at(row - port_names).usb)
            continue;
        if (!port_worker->open_port(port_of_row(row))) {
            port_index = row;
            port_row = row;
            port_worker->close_port();
            return;
        }
        port_worker->release_port();
    }
    show_message(protocol::MessageId::port_not_found);
}

void velmora::choose_start_port(int row)
{
    port_index = row;
    port_row = row;
    for (QComboBox *box : {ui.comboBox_port_rw, ui.comboBox_port_update}) {
        const QSignalBlocker block(box);
        box->setCurrentIndex(row);
    }
    take_port(row);
}

bool velmora::take_port(int row)
{
    const QString port = port_of_row(row);
    if (!port_worker->open_port(port)) {
        port_worker->close_port();
        return true;
    }
    port_worker->release_port();
    int error_number = 0;
    probe_port_state(port_location(port), &error_number);
    show_message(protocol::MessageId::port_cannot_open, port_failure_detail(error_number));
    return false;
}

void velmora::refresh_port_rows(QList<PortEntry> kept)
{
    PortBox *const boxes[] = {ui.comboBox_port_rw, ui.comboBox_port_update};
    QString chosen[2];
    for (int b = 0; b < 2; ++b) {
        const int row = boxes[b]->currentIndex();
        chosen[b] = port_of_row(row);
        if (row >= port_names)
            kept.append(port_entries.at(row - port_names));
    }
    const QString held = port_of_row(port_row);
    QStringList com_names;
    for (int row = 0; row < port_names; ++row)
        com_names.append(ui.comboBox_port_rw->itemText(row));
    port_entries = port_rows(com_names, port_listing->ports(), kept);

    for (int b = 0; b < 2; ++b) {
        PortBox *box = boxes[b];
        const QSignalBlocker block(box);
        while (box->count() > port_names)
            box->removeItem(box->count() - 1);
        const QFontMetrics metrics = box->fontMetrics();
        const int room = box->text_room();
        for (const PortEntry &entry : qAsConst(port_entries)) {
            box->addItem(metrics.elidedText(entry.name, Qt::ElideMiddle, room));
            box->setItemData(box->count() - 1, port_tooltip(entry), Qt::ToolTipRole);
        }
        box->setCurrentIndex(row_of_port(chosen[b]));
    }
    port_row = row_of_port(held);
}

QString velmora::port_of_row(int row) const
{
    if (row >= 0 && row < port_names)
        return ui.comboBox_port_rw->itemText(row);
    return port_entries.value(row - port_names).path;
}

int velmora::row_of_port(const QString &name) const
{
    const QString location = port_location(name);
    for (int row = 0; row < port_names + port_entries.size(); ++row)
        if (port_location(port_of_row(row)) == location)
            return row;
    return -1;
}

void velmora::select_comport(int p_idx)
{
    if (long_flow_running()) {
        // The port in use must not change under a running transfer: put both
        // boxes back on it.
        show_message(protocol::MessageId::port_unusable);
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

    if (take_port(p_idx)) {
        port_row = p_idx;
        ui.comboBox_port_rw->setCurrentIndex(p_idx);
        ui.comboBox_port_update->setCurrentIndex(p_idx);
    }
}

bool velmora::long_flow_running() const
{
    return active_flow == DeviceFlow::update || active_flow == DeviceFlow::list_read
        || active_flow == DeviceFlow::list_write;
}

void velmora::show_message(protocol::MessageId id, const QString &detail)
{
    const protocol::Message &m = protocol::message(id);
    show_box(m.icon == protocol::MessageIcon::information ? QMessageBox::Information : QMessageBox::Warning,
             tr(m.title), tr(m.text), detail);
}

void velmora::show_box(QMessageBox::Icon icon, const QString &title, const QString &text,
                       const QString &detail)
{
    QMessageBox box(icon, title, text, QMessageBox::Yes);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    box.exec();
}

QString velmora::choose_file(FileQuestion::Kind kind, QWidget *parent, const QString &caption,
                             const QString &directory, const QString &filter)
{
    return file_chooser(FileQuestion{kind, parent, caption, directory, filter});
}

bool velmora::begin_device_flow(DeviceFlow flow)
{
    if (long_flow_running()) {
        show_message(protocol::MessageId::port_unusable);
        return false;
    }
    finish_limit_exchange();
    if (port_worker->reopen_port()) {
        show_message(protocol::MessageId::port_unusable);
        port_worker->close_port();
        return false;
    }
    active_flow = flow;
    return true;
}

velmora::FlowSlots velmora::slots_of(DeviceFlow flow)
{
    switch (flow) {
    case DeviceFlow::limit_read:
        return {&velmora::get_lmt_rply, nullptr};
    case DeviceFlow::limit_write:
        return {&velmora::set_lmt_rply, nullptr};
    case DeviceFlow::list_read:
        return {&velmora::list_byte_rply, &velmora::sat_set_timout};
    case DeviceFlow::list_write:
        return {&velmora::list_wt_byte_rply, &velmora::sat_write_timeout};
    case DeviceFlow::update:
        return {&velmora::update_byte_rply, &velmora::update_timeout};
    case DeviceFlow::none:
        break;
    }
    return {nullptr, nullptr};
}

void velmora::run_flow(std::unique_ptr<protocol::Conversation> conversation)
{
    engine = std::move(conversation);
    const FlowSlots wiring = slots_of(active_flow);
    if (wiring.silence) {
        // A coarse timer may fire up to 5% early: the silence must last 2000 ms.
        timeout_timer->setTimerType(Qt::PreciseTimer);
        connect(timeout_timer, &QTimer::timeout, this, wiring.silence);
    }
    // What a transfer reads or sends stays as it was when it started.
    if (long_flow_running())
        sat_watch->set_editable(false);
    runner->start(*engine);
}

void velmora::end_flow(const protocol::Action &end)
{
    const DeviceFlow flow = active_flow;
    if (flow == DeviceFlow::none)
        return;
    if (flow == DeviceFlow::limit_read && static_cast<const protocol::SoftLimitRead &>(*engine).complete()) {
        const auto &read = static_cast<const protocol::SoftLimitRead &>(*engine);
        west_limit = read.west_limit();
        east_limit = read.east_limit();
        ui.lineEdit_wst_lmt->setText(QString::number(west_limit, 10));
        ui.lineEdit_est_lmt->setText(QString::number(east_limit, 10));
    }
    // A failed entry leaves the Stop button as it was.
    const bool update_entered
        = flow == DeviceFlow::update && static_cast<const protocol::UpdateSession &>(*engine).entered();
    runner->drop();
    engine.reset();
    active_flow = DeviceFlow::none;

    timeout_timer->stop();
    ++watchdog_arms;
    const FlowSlots wiring = slots_of(flow);
    if (wiring.silence)
        disconnect(timeout_timer, &QTimer::timeout, this, wiring.silence);
    emit dis_rply_byte();
    if (log_file.is_open())
        log_file.flush();

    switch (flow) {
    case DeviceFlow::update:
        update_finish(update_entered);
        break;
    case DeviceFlow::list_read:
    case DeviceFlow::list_write:
        set_sat_buttons(true);
        port_worker->close_port();
        sat_transfer_ended(flow, end.outcome == protocol::Outcome::success);
        break;
    default:
        port_worker->clear_port();
        port_worker->close_port();
        break;
    }
    sat_watch->set_editable(true);
    if (end.message != protocol::MessageId::none)
        show_message(end.message);
    tell_backup_failure();
}

void velmora::finish_limit_exchange()
{
    if (active_flow == DeviceFlow::limit_read || active_flow == DeviceFlow::limit_write)
        end_flow(protocol::Action::end(protocol::Outcome::failure));
}

void velmora::feed_reply(DeviceFlow flow, uchar fbk)
{
    if (flow == active_flow)
        runner->feed(protocol::LineEvent::reply(fbk, reply_stamp));
}

void velmora::feed_silence(DeviceFlow flow)
{
    if (flow == active_flow)
        runner->feed(protocol::LineEvent::silence(watchdog_arms));
}

void velmora::port_lost()
{
    runner->feed(protocol::LineEvent::lost());
}

void velmora::pause_flow(milliseconds pause)
{
    QElapsedTimer since;
    since.start();
    if (repaint_due) {
        // Painting takes longer than an exchange: done within the pause,
        // while the box has nothing to say.
        repaint_due = false;
        sleep_rest(paint_delay, since);
        QCoreApplication::processEvents();
    }
    sleep_rest(pause, since);
}

QProgressBar *velmora::flow_progress_bar() const
{
    return active_flow == DeviceFlow::update ? ui.progressBar_update : ui.progressBar_sat_setting;
}
