#pragma once

// Helpers for tests that drive the real window: a driver that records and
// answers every modal message box and file dialog, access to the window's
// serial worker, and the test's own /dev where a simulated box may take a COM
// name (PtyPeer::link).

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

#include "port_listing.h"
#include "private_dev.h"

class velmora;
class serial_port_handle;

namespace harness {

// One modal window as it was shown.
struct ShownBox {
    QString title;
    QString text;
    QString detailed_text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
    bool parentless = false;
    QStringList button_texts; // the answers, standard or not, without '&' ("Show Details..." is none)
    QString answer; // the text of the button the driver clicked
};

struct ShownFileDialog {
    QString caption;
    QString directory;
    QStringList filters;
    bool parentless = false;
};

// Watches for modal windows while it lives. Each message box is recorded and
// answered: a box with one button with that button; a box with more with the
// next queued answer, or else its Yes button, its accepting button or the
// first it has. A queued answer no button has closes the box as Escape does.
// Each file dialog is recorded and answered with the next queued path (an
// empty path cancels; no queued answer cancels too).
class ModalDriver : public QObject
{
    Q_OBJECT
public:
    ModalDriver();
    ~ModalDriver() override;

    void queue_file(const QString &path);
    // The button text (without '&') that answers the next box with more than one button.
    void queue_answer(const QString &button_text);
    QList<ShownBox> boxes() const { return box_log; }
    QList<ShownFileDialog> file_dialogs() const { return dialog_log; }
    QStringList texts() const;
    void clear();
    // Processes events until `count` boxes have been recorded or the time is up.
    bool wait_for_boxes(int count, int timeout_ms = 10000);
    // Processes events until `condition` holds or the time is up.
    static bool wait_until(const std::function<bool()> &condition, int timeout_ms = 10000);
    // Called with each box before it is answered (e.g. to look at the window).
    std::function<void(const ShownBox &)> on_box;

private:
    void poll();

    QTimer timer;
    QPointer<QWidget> answered;
    QQueue<QString> file_answers;
    QQueue<QString> box_answers;
    QList<ShownBox> box_log;
    QList<ShownFileDialog> dialog_log;
};

// The ports a test gives the window, in place of the machine's.
class FixedListing : public PortListing
{
public:
    explicit FixedListing(QList<PortEntry> ports = {})
        : entries(std::move(ports))
    { }
    QList<PortEntry> ports() const override { return entries; }

    QList<PortEntry> entries;
};

serial_port_handle &worker(velmora &window);

// Gives the worker a closed port object for `device`, as a successful port
// choice does. Returns false when the device does not open.
bool attach_port(velmora &window, const QString &device);

// Counts how often a device is opened, to tell whether the window opened a
// port again.
class OpenCounter
{
public:
    explicit OpenCounter(const QString &path);
    ~OpenCounter();
    OpenCounter(const OpenCounter &) = delete;
    OpenCounter &operator=(const OpenCounter &) = delete;
    int opens();

private:
    int fd = -1;
    int count = 0;
};

// Whether a /dev/COMn that the window's start-up probe would open exists (in a
// private /dev only the test's own links do).
bool com_name_exists();

} // namespace harness
