#include "harness.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <sys/inotify.h>
#include <unistd.h>

#include "serial_port_handle.h"
#include "velmora.h"

struct HarnessTag;
template <>
struct VelmoraAccess<HarnessTag> {
    static serial_port_handle &worker(velmora &w) { return *w.port_worker; }
};

namespace harness {

namespace {
// Every process that links the harness gets its own /dev before main(), while
// it has one thread, so that no window's port probe sees another test's COM
// links or the machine's.
[[maybe_unused]] const bool private_dev_at_start = can_link_com_ports();
} // namespace

ModalDriver::ModalDriver()
{
    connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
    timer.start(5);
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::queue_answer(const QString &button_text)
{
    box_answers.enqueue(button_text);
}

QStringList ModalDriver::texts() const
{
    QStringList result;
    for (const auto &box : box_log)
        result << box.text;
    return result;
}

void ModalDriver::clear()
{
    box_log.clear();
}

bool ModalDriver::wait_until(const std::function<bool()> &condition, int timeout_ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout_ms)
            return false;
        QTest::qWait(2);
    }
    return true;
}

bool ModalDriver::wait_for_boxes(int count, int timeout_ms)
{
    return wait_until([&] { return box_log.size() >= count; }, timeout_ms);
}

void ModalDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    auto *box = qobject_cast<QMessageBox *>(modal);
    if (!box || box == answered || !box->isVisible())
        return;
    {
        answered = box;
        ShownBox shown;
        shown.title = box->windowTitle();
        shown.text = box->text();
        shown.detailed_text = box->detailedText();
        shown.icon = box->icon();
        shown.buttons = box->standardButtons();
        shown.default_button
            = box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
        shown.parentless = box->parentWidget() == nullptr;
        // The answers: not the "Show Details..." button a detailed text adds.
        QList<QAbstractButton *> buttons;
        for (QAbstractButton *b : box->buttons())
            if (box->buttonRole(b) != QMessageBox::ActionRole) {
                buttons << b;
                shown.button_texts << b->text().remove(QLatin1Char('&'));
            }
        QAbstractButton *button = nullptr;
        if (buttons.size() > 1 && !box_answers.isEmpty()) {
            const int chosen = shown.button_texts.indexOf(box_answers.dequeue());
            button = chosen >= 0 ? buttons.at(chosen) : nullptr;
        } else {
            button = box->button(QMessageBox::Yes);
            for (QAbstractButton *b : buttons) {
                const QMessageBox::ButtonRole role = box->buttonRole(b);
                if (!button && (role == QMessageBox::AcceptRole || role == QMessageBox::YesRole))
                    button = b;
            }
            if (!button && !buttons.isEmpty())
                button = buttons.first();
        }
        if (button)
            shown.answer = button->text().remove(QLatin1Char('&'));
        box_log << shown;
        if (on_box)
            on_box(shown);
        if (button)
            button->click();
        else
            box->reject();
    }
}

struct FileChoices::State {
    QQueue<QString> answers;
    QStringList asked;
};

FileChoices::FileChoices(velmora &w)
    : window(w),
      state(std::make_shared<State>())
{
    // The window may outlive this object; its chooser keeps the state alive.
    window.set_file_chooser([state = state](const FileQuestion &question) {
        state->asked << QStringLiteral("%1 \"%2\" in %3 for \"%4\"%5")
                            .arg(question.kind == FileQuestion::save ? "save" : "open", question.caption,
                                 question.directory, question.filter, question.parent ? "" : ", parentless");
        return state->answers.isEmpty() ? QString() : state->answers.dequeue();
    });
}

FileChoices::~FileChoices()
{
    window.set_file_chooser(ask_file_dialog);
}

void FileChoices::queue(const QString &path)
{
    state->answers.enqueue(path);
}

QStringList FileChoices::asked() const
{
    return state->asked;
}

OwnFolders::OwnFolders(const QString &root)
    : old_dir(QDir::currentPath()),
      old_data_home(qgetenv("XDG_DATA_HOME"))
{
    QDir::setCurrent(root);
    qputenv("XDG_DATA_HOME", QDir(root).filePath(QStringLiteral("data")).toLocal8Bit());
}

OwnFolders::~OwnFolders()
{
    QDir::setCurrent(old_dir);
    if (old_data_home.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", old_data_home);
}

serial_port_handle &worker(velmora &window)
{
    return VelmoraAccess<HarnessTag>::worker(window);
}

bool attach_port(velmora &window, const QString &device)
{
    serial_port_handle &w = worker(window);
    w.release_port();
    if (w.open_port(device)) {
        w.release_port();
        return false;
    }
    w.close_port();
    return true;
}

OpenCounter::OpenCounter(const QString &path)
{
    fd = inotify_init1(IN_NONBLOCK);
    if (fd >= 0)
        inotify_add_watch(fd, path.toLocal8Bit().constData(), IN_OPEN);
}

OpenCounter::~OpenCounter()
{
    if (fd >= 0)
        ::close(fd);
}

int OpenCounter::opens()
{
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        for (char *p = buffer; p < buffer + n;) {
            auto *event = reinterpret_cast<inotify_event *>(p);
            if (event->mask & IN_OPEN)
                ++count;
            p += sizeof(inotify_event) + event->len;
        }
    return count;
}

bool com_name_exists()
{
    for (int n = 1; n <= velmora::port_names; ++n)
        if (::access(QStringLiteral("/dev/COM%1").arg(n).toLocal8Bit().constData(), F_OK) == 0)
            return true;
    return false;
}

} // namespace harness
