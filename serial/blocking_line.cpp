#include "blocking_line.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "low_latency.h"
#include "precise_sleep.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The longest a blocking call goes without looking for a stop request.
constexpr milliseconds slice{50};
// The longest a byte may take to be taken by the line and to leave it.
constexpr milliseconds send_limit{3000};

std::atomic<int> stop_signal_number{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop request is set from a signal handler");

extern "C" void on_stop_signal(int signal_number)
{
    int none = 0;
    stop_signal_number.compare_exchange_strong(none, signal_number);
}

// Whole milliseconds, rounded up, for poll(); at most one slice.
int poll_timeout(Clock::duration left)
{
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<milliseconds>(left);
    return int(std::min(ms, slice).count());
}

bool hang_up_events(short revents)
{
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

BlockingLine::OpenError open_error_of(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return BlockingLine::OpenError::missing;
    case EBUSY:
        return BlockingLine::OpenError::busy;
    case EACCES:
    case EPERM:
        return BlockingLine::OpenError::denied;
    default:
        return BlockingLine::OpenError::other;
    }
}

// Raw 8N1 at 57600 baud, no flow control, reads that never block by
// themselves (the calls below wait in poll()).
bool apply_line_settings(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    if (cfsetispeed(&t, B57600) != 0 || cfsetospeed(&t, B57600) != 0)
        return false;
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

std::unique_ptr<BlockingLine> BlockingLine::open(const QString &path, OpenError *error, QString *error_text)
{
    const auto fail = [&](int number) {
        if (error)
            *error = open_error_of(number);
        if (error_text)
            *error_text = QString::fromLocal8Bit(std::strerror(number));
        return nullptr;
    };
    const QByteArray native = path.toLocal8Bit();
    int fd;
    do
        fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(errno);

    // No second program on the line; a driver that refuses is used all the same.
    (void)ioctl(fd, TIOCEXCL);
    if (!apply_line_settings(fd)) {
        const int number = errno;
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        if (error)
            *error = OpenError::other;
        if (error_text)
            *error_text = QString::fromLocal8Bit(std::strerror(number));
        return nullptr;
    }
    request_low_latency(fd, path);

    if (error)
        *error = OpenError::none;
    if (error_text)
        error_text->clear();
    return std::unique_ptr<BlockingLine>(new BlockingLine(fd));
}

BlockingLine::BlockingLine(int fd)
    : fd(fd)
{ }

BlockingLine::~BlockingLine()
{
    // Bytes already sent still go out: the last of a conversation (the list
    // read's final 0xCC) must reach the box.
    tcflush(fd, TCIFLUSH);
    // The flag belongs to the terminal, not to this descriptor: left set, it
    // would keep out the next program for as long as anyone else has the
    // terminal open.
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void BlockingLine::clear()
{
    tcflush(fd, TCIOFLUSH);
}

void BlockingLine::discard_input()
{
    tcflush(fd, TCIFLUSH);
}

bool BlockingLine::send(uint8_t byte, bool wait)
{
    const Clock::time_point deadline = Clock::now() + send_limit;
    for (;;) {
        const ssize_t n = ::write(fd, &byte, 1);
        if (n == 1)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // No room in the line: wait for some, a slice at a time.
        if (stop_requested())
            return false;
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return false;
        pollfd p{fd, POLLOUT, 0};
        const int r = poll(&p, 1, poll_timeout(left));
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0 && hang_up_events(p.revents))
            return false;
    }
    if (!wait)
        return true;

    // tcdrain() would wait without a bound and deaf to stop requests: the
    // queue is watched instead, in short sleeps.
    auto nap = std::chrono::microseconds(100);
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0)
            return false;
        if (queued == 0)
            return true;
        if (stop_requested() || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(nap);
        nap = std::min(nap * 2, std::chrono::microseconds(1000));
    }
}

BlockingLine::Wait BlockingLine::read_byte(uint8_t &byte, milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + std::max(limit, milliseconds(0));
    for (;;) {
        if (stop_requested())
            return Wait::stopped;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, poll_timeout(deadline - Clock::now()));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return Wait::hung_up;
        }
        if (r > 0 && (p.revents & POLLIN)) {
            uint8_t c = 0;
            const ssize_t n = ::read(fd, &c, 1);
            if (n == 1) {
                // One byte per arrival: the rest of it is no answer.
                tcflush(fd, TCIFLUSH);
                byte = c;
                return Wait::byte;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return Wait::hung_up;
        } else if (r > 0 && hang_up_events(p.revents)) {
            return Wait::hung_up;
        }
        if (Clock::now() >= deadline)
            return stop_requested() ? Wait::stopped : Wait::timeout;
    }
}

bool BlockingLine::pause(milliseconds duration)
{
    const Clock::time_point until = Clock::now() + duration;
    for (;;) {
        if (stop_requested())
            return false;
        const Clock::duration left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        precise_sleep(
            std::chrono::duration_cast<std::chrono::microseconds>(std::min<Clock::duration>(left, slice)));
    }
}

void install_stop_handlers()
{
    struct sigaction action {
    };
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call the signal interrupts returns at once.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested()
{
    return stop_signal_number.load() != 0;
}

int stop_signal()
{
    return stop_signal_number.load();
}

void clear_stop_request()
{
    stop_signal_number.store(0);
}
