#pragma once

// Helpers for the tests of the line code: a pseudo-terminal pair of the
// test's own, and a scope in which the calling thread has given up some of
// its privileges.

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <linux/capability.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <QString>

// A pseudo-terminal; the test holds the master and a slave descriptor of its
// own (opened before any line is, so an exclusive hold does not keep it out).
struct Pty {
    int master = -1;
    int slave = -1;
    QString path;

    Pty()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        path = QString::fromLocal8Bit(name);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        close_master();
        if (slave >= 0)
            ::close(slave);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    // The far end hangs up.
    void close_master()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    // Everything the line has sent so far.
    std::string drain_master() const
    {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0)
            all.append(buf, std::size_t(n));
        return all;
    }
    // Fills the line towards the master until it takes no more. The kernel
    // moves written bytes on to the master's side a little later, which
    // makes room again: full when the slave takes nothing and the master's
    // side did not grow over a quiet wait.
    std::size_t fill_towards_master() const
    {
        constexpr useconds_t quiet_us = 100000; // far longer than the kernel takes to move bytes on
        std::size_t total = 0;
        int before = -1;
        const std::string chunk(1024, 'f');
        for (int round = 0; round < 1000; ++round) {
            std::size_t taken = 0;
            ssize_t n;
            while ((n = ::write(slave, chunk.data(), chunk.size())) > 0)
                taken += std::size_t(n);
            total += taken;
            int held = 0;
            ioctl(master, FIONREAD, &held);
            if (taken == 0 && held == before)
                break;
            before = held;
            usleep(quiet_us);
        }
        return total;
    }
};

// Drops capabilities from the calling thread's effective set for the scope
// (capabilities are per thread on Linux); they come back at its end. A
// process running as root passes the kernel's permission checks and opens a
// terminal held with TIOCEXCL all the same; without CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH and CAP_SYS_ADMIN it meets them as a user would.
class WithoutCapabilities
{
public:
    explicit WithoutCapabilities(std::initializer_list<int> capabilities)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        for (int c : capabilities)
            reduced[c / 32].effective &= ~(1u << (c % 32));
        ok = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutCapabilities()
    {
        if (!ok)
            return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        syscall(SYS_capset, &header, saved);
    }
    WithoutCapabilities(const WithoutCapabilities &) = delete;
    WithoutCapabilities &operator=(const WithoutCapabilities &) = delete;

    // False when they could not be dropped: as root, the checks they bypass
    // cannot be tested then.
    bool active() const { return ok || geteuid() != 0; }

    static WithoutCapabilities like_a_user()
    {
        return WithoutCapabilities{CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_SYS_ADMIN};
    }

private:
    __user_cap_data_struct saved[2] = {};
    bool ok = false;
};
