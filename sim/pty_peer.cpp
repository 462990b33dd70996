#include "box_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace boxsim {

namespace {

void set_cloexec(int fd)
{
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

std::string errno_text(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// How long one write may wait for room in the line before it gives up; the
// tool not reading for that long means it is gone.
constexpr int kWriteRoomWaitMs = 2000;

} // namespace

std::string format_logged_byte(const LoggedByte &b, Clock::time_point start)
{
    const double secs = std::chrono::duration<double>(b.when - start).count();
    char text[64];
    const bool printable = b.value >= 0x20 && b.value < 0x7F;
    std::snprintf(text, sizeof text, "%10.3f %s 0x%02X%s%c%s", secs,
                  b.from_box ? "box  -> tool" : "tool -> box ", b.value, printable ? " '" : "",
                  printable ? static_cast<char>(b.value) : ' ', printable ? "'" : "");
    std::string line = text;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

PtyPeer::PtyPeer()
{
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error(errno_text("openpty"));
    slave_path_ = name;
    set_cloexec(master_);
    set_cloexec(slave_);
    // Writes must never block for ever when the tool stops reading.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    // Raw 8N1 at the box's speed, no echo: the tool sets the same, but bytes
    // may arrive before it opens the port.
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B57600);
        cfsetospeed(&t, B57600);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(slave_, TCSANOW, &t);
    }

    if (pipe(wake_) != 0) {
        const std::string err = errno_text("pipe");
        close(master_);
        close(slave_);
        throw std::runtime_error(err);
    }
    set_cloexec(wake_[0]);
    set_cloexec(wake_[1]);
    reader_ = std::thread([this] { reader_loop(); });
}

PtyPeer::~PtyPeer()
{
    stop();
    hang_up();
    close(wake_[0]);
    close(wake_[1]);
    if (!link_path_.empty()) {
        char target[512] = {};
        const ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
        if (n > 0 && slave_path_ == std::string(target, static_cast<std::size_t>(n)))
            unlink(link_path_.c_str());
    }
}

std::string PtyPeer::slave_path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return slave_path_;
}

std::string PtyPeer::linked_path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return link_path_;
}

bool PtyPeer::link(const std::string &path, std::string *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        return false;
    };
    struct stat st {
    };
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            return fail(path + " exists and is not a symbolic link");
        if (unlink(path.c_str()) != 0)
            return fail(errno_text(("unlink " + path).c_str()));
    }
    if (symlink(slave_path_.c_str(), path.c_str()) != 0)
        return fail(errno_text(("symlink " + path).c_str()));
    if (!link_path_.empty() && link_path_ != path)
        unlink(link_path_.c_str());
    link_path_ = path;
    return true;
}

void PtyPeer::record(const LoggedByte &b)
{
    std::function<void(const LoggedByte &)> sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!b.from_box) {
            received_.push_back(b.value);
            received_at_.push_back(b.when);
        }
        log_.push_back(b);
        sink = sink_;
    }
    changed_.notify_all();
    if (sink)
        sink(b);
}

void PtyPeer::reader_loop()
{
    uint8_t buf[512];
    for (;;) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(master_, buf, sizeof buf);
            const Clock::time_point now = Clock::now();
            if (n > 0) {
                for (ssize_t i = 0; i < n; ++i)
                    record({now, false, buf[i]});
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return; // EIO: no slave left; cannot happen while ours is open
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return;
    }
}

bool PtyPeer::send(const Bytes &bytes)
{
    if (bytes.empty())
        return true;
    std::lock_guard<std::mutex> send_lock(send_mutex_);
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = master_;
    }
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kWriteRoomWaitMs) > 0)
                continue;
        }
        return false;
    }
    const Clock::time_point now = Clock::now();
    for (uint8_t v : bytes)
        record({now, true, v});
    return true;
}

Bytes PtyPeer::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::size_t PtyPeer::received_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

bool PtyPeer::wait_received(std::size_t n, milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

std::optional<LoggedByte> PtyPeer::wait_byte(std::size_t n, Clock::time_point deadline) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return stopped_ || received_.size() > n; });
    if (stopped_ || received_.size() <= n)
        return std::nullopt;
    return LoggedByte{received_at_[n], false, received_[n]};
}

std::vector<LoggedByte> PtyPeer::log() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

Clock::time_point PtyPeer::last_activity() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_.empty() ? Clock::time_point{} : log_.back().when;
}

void PtyPeer::set_log_sink(std::function<void(const LoggedByte &)> sink)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

std::size_t PtyPeer::unread_by_tool() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

void PtyPeer::hang_up()
{
    std::lock_guard<std::mutex> send_lock(send_mutex_);
    if (reader_.joinable()) {
        const char wake = 1;
        while (write(wake_[1], &wake, 1) < 0 && errno == EINTR) { }
        reader_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = slave_ = -1;
}

bool PtyPeer::is_up() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return master_ >= 0;
}

void PtyPeer::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

} // namespace boxsim
