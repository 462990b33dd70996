#include "pty_peer.h"

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
constexpr int write_room_wait_ms = 2000;

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
    if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0)
        throw std::runtime_error(errno_text("openpty"));
    slave_name = name;
    set_cloexec(master_fd);
    set_cloexec(slave_fd);
    // Writes must never block for ever when the tool stops reading.
    fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);

    // Raw 8N1 at the box's speed, no echo: the tool sets the same, but bytes
    // may arrive before it opens the port.
    termios t{};
    if (tcgetattr(slave_fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B57600);
        cfsetospeed(&t, B57600);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(slave_fd, TCSANOW, &t);
    }

    if (pipe(wake_pipe) != 0) {
        const std::string err = errno_text("pipe");
        close(master_fd);
        close(slave_fd);
        throw std::runtime_error(err);
    }
    set_cloexec(wake_pipe[0]);
    set_cloexec(wake_pipe[1]);
    reader = std::thread([this] { reader_loop(); });
}

PtyPeer::~PtyPeer()
{
    stop();
    hang_up();
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    if (!link_name.empty()) {
        char target[512] = {};
        const ssize_t n = readlink(link_name.c_str(), target, sizeof target - 1);
        if (n > 0 && slave_name == std::string(target, static_cast<std::size_t>(n)))
            unlink(link_name.c_str());
    }
}

std::string PtyPeer::slave_path() const
{
    std::lock_guard<std::mutex> guard(lock);
    return slave_name;
}

std::string PtyPeer::linked_path() const
{
    std::lock_guard<std::mutex> guard(lock);
    return link_name;
}

bool PtyPeer::link(const std::string &path, std::string *error)
{
    std::lock_guard<std::mutex> guard(lock);
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
    if (symlink(slave_name.c_str(), path.c_str()) != 0)
        return fail(errno_text(("symlink " + path).c_str()));
    if (!link_name.empty() && link_name != path)
        unlink(link_name.c_str());
    link_name = path;
    return true;
}

void PtyPeer::record(const LoggedByte &b)
{
    std::function<void(const LoggedByte &)> sink;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!b.from_box) {
            received_bytes.push_back(b.value);
            received_times.push_back(b.when);
        }
        logged.push_back(b);
        sink = log_sink;
    }
    changed.notify_all();
    if (sink)
        sink(b);
}

void PtyPeer::reader_loop()
{
    uint8_t buf[512];
    for (;;) {
        pollfd fds[2] = {{master_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(master_fd, buf, sizeof buf);
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
    std::lock_guard<std::mutex> sending(send_lock);
    int fd;
    {
        std::lock_guard<std::mutex> guard(lock);
        fd = master_fd;
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
            if (poll(&p, 1, write_room_wait_ms) > 0)
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
    std::lock_guard<std::mutex> guard(lock);
    return received_bytes;
}

std::size_t PtyPeer::received_count() const
{
    std::lock_guard<std::mutex> guard(lock);
    return received_bytes.size();
}

bool PtyPeer::wait_received(std::size_t n, milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, timeout, [&] { return received_bytes.size() >= n; });
}

std::optional<LoggedByte> PtyPeer::wait_byte(std::size_t n, Clock::time_point deadline) const
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_until(guard, deadline, [&] { return stopped || received_bytes.size() > n; });
    if (stopped || received_bytes.size() <= n)
        return std::nullopt;
    return LoggedByte{received_times[n], false, received_bytes[n]};
}

std::vector<LoggedByte> PtyPeer::log() const
{
    std::lock_guard<std::mutex> guard(lock);
    return logged;
}

Clock::time_point PtyPeer::last_activity() const
{
    std::lock_guard<std::mutex> guard(lock);
    return logged.empty() ? Clock::time_point{} : logged.back().when;
}

void PtyPeer::set_log_sink(std::function<void(const LoggedByte &)> sink)
{
    std::lock_guard<std::mutex> guard(lock);
    log_sink = std::move(sink);
}

std::size_t PtyPeer::unread_by_tool() const
{
    std::lock_guard<std::mutex> guard(lock);
    int n = 0;
    if (slave_fd < 0 || ioctl(slave_fd, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

void PtyPeer::hang_up()
{
    std::lock_guard<std::mutex> sending(send_lock);
    if (reader.joinable()) {
        const char wake = 1;
        while (write(wake_pipe[1], &wake, 1) < 0 && errno == EINTR) { }
        reader.join();
    }
    std::lock_guard<std::mutex> guard(lock);
    if (master_fd >= 0)
        close(master_fd);
    if (slave_fd >= 0)
        close(slave_fd);
    master_fd = slave_fd = -1;
}

bool PtyPeer::is_up() const
{
    std::lock_guard<std::mutex> guard(lock);
    return master_fd >= 0;
}

void PtyPeer::stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
    }
    changed.notify_all();
}

} // namespace boxsim
