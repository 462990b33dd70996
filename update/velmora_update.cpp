// Package loading and the bootloader update session.
#include "velmora.h"

#include <QCoreApplication>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <functional>
#include <sstream>

#include "package_check.h"
#include "serial_port_handle.h"
#include "update_session.h"
#include "whole_file.h"

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

    // The earlier package goes first, also when the choice is cancelled, so
    // the block count and the package never disagree.
    loaded_package.reset();
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

    // Read whole, opened once and with a limit: a FIFO gives its bytes once,
    // and an endless file ends at the limit.
    const WholeRead package = read_whole_file(QFile::encodeName(file_path));
    if (!package.ok()) {
        show_message(protocol::MessageId::package_cannot_open, package.error);
        return;
    }

    std::istringstream in(package.bytes.toStdString());
    read_package_header(in, fw_config);
    const FirmwareConfigText text = decode_fw_config(fw_config);
    ui.label_model_u->setText(text.model);
    ui.label_mcu_u->setText(text.mcu);
    ui.label_date_u->setText(text.date);
    ui.label_ver_u->setText(text.version);

    while (read_package_block(in, pkg_block))
        ++pkg_block_count;
    ui.progressBar_update->setMaximum(pkg_block_count);
    loaded_package = package.bytes;
}

bool velmora::package_faults_accepted()
{
    const PackageCheck check = check_package(*loaded_package);
    if (check.sound())
        return true;
    QStringList faults;
    for (const std::string &fault : check.faults)
        faults << QString::fromStdString(fault);
    QMessageBox box(QMessageBox::Warning, tr("Warning"),
                    tr("This package is not one the package builder makes:\n\n%1\n\nThe box may refuse it "
                       "or be left without working firmware. Update the box with it all the same?")
                        .arg(faults.join(QLatin1Char('\n'))),
                    QMessageBox::Cancel);
    const QPushButton *update = box.addButton(tr("Update"), QMessageBox::AcceptRole);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == update;
}

void velmora::update_start()
{
    if (active_flow == DeviceFlow::update)
        return;
    if (!loaded_package) {
        show_message(protocol::MessageId::package_not_found);
        return;
    }
    // Asked before the port is touched; the box gets the package as loaded.
    if (!package_faults_accepted())
        return;
    if (!begin_device_flow(DeviceFlow::update))
        return;

    ui.pushButton_update_close->setEnabled(false);
    ui.pushButton_update_stop->setEnabled(true);
    prepare_update_label();
    update_label_count = 0;

    // The session takes the package's header, then its whole blocks (a
    // trailing piece is not a block).
    std::istringstream in(loaded_package->toStdString());
    read_package_header(in, fw_config);
    std::vector<PackageBlock> blocks;
    PackageBlock block;
    while (read_package_block(in, block))
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
    loaded_package.reset();
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
