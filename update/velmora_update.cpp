// Package loading and the bootloader update session.
#include "velmora.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <functional>

#include "serial_port_handle.h"
#include "update_session.h"

namespace {

// The byte count on the label is repainted at most this often (and at each
// block and at the end): a repaint before every byte would cost about as much
// as the exchange itself on the line.
constexpr std::chrono::milliseconds label_repaint_interval{50};

// Hands a widget's paint requests to the window without the window
// overriding an event handler of its own. Only those: the widget's other
// events include the ones it gets while the window is being destroyed.
class PaintHook : public QObject
{
public:
    PaintHook(QObject *parent, std::function<bool(QEvent *)> handler)
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
    if (active_flow == DeviceFlow::update)
        return;

    // One stream serves every package, and an open stream cannot be opened
    // again: the earlier package goes first, also when the choice is
    // cancelled, so the block count and the stream never disagree.
    in_file->close();
    in_file->clear();
    pkg_block_count = 0;
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_stop->setEnabled(true);

    file_path = choose_file(FileQuestion::open, this, tr("open File"), QStringLiteral(".."),
                            tr("Text Files(*.bin);;All Files(*.*)"));
    if (file_path.isEmpty()) {
        show_message(protocol::MessageId::package_not_found);
        return;
    }
    ui.lineEdit_update->setText(file_path);

    in_file->open(QFile::encodeName(file_path).toStdString(), std::ios::in | std::ios::binary);
    if (!in_file->is_open()) {
        show_message(protocol::MessageId::package_cannot_open);
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
    if (active_flow == DeviceFlow::update)
        return;
    if (!in_file->is_open()) {
        show_message(protocol::MessageId::package_not_found);
        return;
    }
    if (!begin_device_flow(DeviceFlow::update))
        return;

    ui.pushButton_update_close->setEnabled(false);
    ui.pushButton_update_stop->setEnabled(true);
    prepare_update_label();
    update_label_count = 0;

    // The session takes the package as it stands now: its header, then its
    // whole blocks (a trailing piece is not a block).
    read_package_header(*in_file, fw_config);
    std::vector<PackageBlock> blocks;
    PackageBlock block;
    while (read_package_block(*in_file, block))
        blocks.push_back(block);
    run_flow(std::make_unique<protocol::UpdateSession>(fw_config, std::move(blocks)));
}

void velmora::update_pause()
{
    // Stop ends a running session as its own end would.
    if (active_flow == DeviceFlow::update) {
        end_flow(protocol::Action::end(protocol::Outcome::failure));
        ui.pushButton_update_stop->setEnabled(false);
        return;
    }
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_close->setEnabled(true);
}

void velmora::update_byte_rply(uchar fbk)
{
    feed_reply(DeviceFlow::update, fbk);
}

void velmora::update_timeout()
{
    feed_silence(DeviceFlow::update);
}

void velmora::update_finish(bool entered)
{
    update_label_timer->stop();
    show_update_count();
    ui.pushButton_update_close->setEnabled(true);
    ui.pushButton_update_start->setEnabled(true);
    if (entered)
        ui.pushButton_update_stop->setEnabled(false);
    in_file->clear();
    in_file->close();
    port_worker->clear_port();
    port_worker->close_port();
}

void velmora::show_flow_status(protocol::Status status, int value)
{
    if (status != protocol::Status::bytes_loaded) {
        set_update_status(protocol::status_text(status));
        // Seen before the blocking entry and before the box's first answer.
        QCoreApplication::processEvents();
        return;
    }
    // The count follows at its own pace.
    update_label_count = value;
    update_label_stale = true;
    if (!update_label_timer->isActive())
        update_label_timer->start();
}

void velmora::set_update_status(const QString &text)
{
    update_label_stale = false;
    update_label_timer->stop();
    ui.label_update_status->setText(text);
}

void velmora::show_update_count()
{
    if (!update_label_stale)
        return;
    update_label_stale = false;
    ui.label_update_status->setText(
        protocol::status_text(protocol::Status::bytes_loaded, update_label_count));
}

void velmora::prepare_update_label()
{
    if (!update_label_timer) {
        update_label_timer = new QTimer(this);
        update_label_timer->setSingleShot(true);
        update_label_timer->setInterval(label_repaint_interval);
        connect(update_label_timer, &QTimer::timeout, this, &velmora::show_update_count);
        update_label_hook = new PaintHook(this, [this](QEvent *event) { return update_label_event(event); });
    }
    // Again at every start: the filter installed last runs first.
    ui.label_update_status->installEventFilter(update_label_hook);
}

bool velmora::update_label_event(QEvent *event)
{
    if (event->type() == QEvent::Paint && update_label_stale) {
        // Whatever asked for this paint, it shows the count as it is now.
        show_update_count();
        update_label_drop_update = true;
    } else if (event->type() == QEvent::UpdateLater && update_label_drop_update) {
        // The text set within the paint asked for another one: the paint
        // under way already shows it.
        update_label_drop_update = false;
        return true;
    }
    return false;
}
