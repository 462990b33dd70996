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
#include <memory>

#include "file_chooser.h"

#include "port_listing.h"
#include "private_dev.h"

class velmora;
class serial_port_handle;

namespace harness {

// How long a test waits to show that something does not happen, each just
// longer than what it rules out.
// A reply, resend or message box already under way: queued across threads.
constexpr int past_queued_ms = 300;
// The 2 s watchdog's resend or time-out.
constexpr int past_watchdog_ms = 2500;
// How long a test waits for what comes within moments on an idle machine: a
// loaded machine under the sanitizers can take many times longer.
constexpr int patience_ms = 20000;

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

// Watches for modal windows while it lives. Each message box is recorded and
// answered: a box with one button with that button; a box with more with the
// next queued answer, or else its Yes button, its accepting button or the
// first it has. A queued answer no button has closes the box as Escape does.
class ModalDriver : public QObject
{
    Q_OBJECT
public:
    ModalDriver();
    ~ModalDriver() override;

    // The button text (without '&') that answers the next box with more than one button.
    void queue_answer(const QString &button_text);
    QList<ShownBox> boxes() const { return box_log; }
    QStringList texts() const;
    void clear();
    // Processes events until `count` boxes have been recorded or the time is up.
    bool wait_for_boxes(int count, int timeout_ms = patience_ms);
    // Processes events until `condition` holds or the time is up.
    static bool wait_until(const std::function<bool()> &condition, int timeout_ms = patience_ms);
    // Called with each box before it is answered (e.g. to look at the window).
    std::function<void(const ShownBox &)> on_box;

private:
    void poll();

    QTimer timer;
    QPointer<QWidget> answered;
    QQueue<QString> box_answers;
    QList<ShownBox> box_log;
};

// Answers the window's file questions in place of its dialogs while it lives:
// each question is recorded and answered with the next queued path (an empty
// path, or none queued, cancels). A question is recorded as one line:
// `open|save "caption" in directory for "filter"`, then `, parentless` where
// the window gives the dialog no parent.
class FileChoices
{
public:
    explicit FileChoices(velmora &window);
    ~FileChoices();
    FileChoices(const FileChoices &) = delete;
    FileChoices &operator=(const FileChoices &) = delete;

    void queue(const QString &path);
    QStringList asked() const;

private:
    struct State;
    velmora &window;
    std::shared_ptr<State> state;
};

// While it lives, the working directory (where data_transfer.log goes) and
// the user's data folder (where the table's backups go) are folders of
// `root`, so that no test sees another's files.
class OwnFolders
{
public:
    explicit OwnFolders(const QString &root);
    ~OwnFolders();
    OwnFolders(const OwnFolders &) = delete;
    OwnFolders &operator=(const OwnFolders &) = delete;

private:
    QString old_dir;
    QByteArray old_data_home;
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
