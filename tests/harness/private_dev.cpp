// A test process that opens or links COM names gets a /dev of its own, so
// that it neither sees nor disturbs the machine's /dev/COMn, nor the links of
// another test running beside it. The mount namespace must be entered while
// the process has a single thread: the harness asks for it before main().

#include "private_dev.h"

#include <QByteArray>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sched.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harness {

namespace {

bool failed(QString &why, const std::string &step)
{
    why = QStringLiteral("no private /dev (%1: %2)")
              .arg(QString::fromStdString(step), QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

// Gives `target` (a fresh tmpfs) the entry `name` of the machine's /dev: a
// symbolic link is copied, a device node or folder is bound.
bool copy_entry(const std::string &target, const char *name, QString &why)
{
    const std::string from = std::string("/dev/") + name;
    const std::string to = target + "/" + name;
    struct stat st{};
    if (::lstat(from.c_str(), &st) != 0)
        return true; // this machine has none: the tests have none either
    if (S_ISLNK(st.st_mode)) {
        char link[256];
        const ssize_t n = ::readlink(from.c_str(), link, sizeof link - 1);
        if (n < 0)
            return failed(why, "readlink " + from);
        link[n] = '\0';
        return ::symlink(link, to.c_str()) == 0 || failed(why, "symlink " + to);
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(to.c_str(), 0755) != 0)
            return failed(why, "mkdir " + to);
    } else {
        const int fd = ::open(to.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            return failed(why, "create " + to);
        ::close(fd);
    }
    return ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0
        || failed(why, "bind " + from);
}

bool enter(QString &why)
{
    if (::geteuid() != 0) {
        why = QStringLiteral("a private /dev for COM links needs root");
        return false;
    }
    if (::unshare(CLONE_NEWNS) != 0)
        return failed(why, "unshare");
    // Nothing mounted from here on reaches the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed(why, "make / private");

    // The new /dev is built in a folder of its own, then moved over /dev.
    char staging[] = "/tmp/vr20-dev-XXXXXX";
    if (!::mkdtemp(staging))
        return failed(why, "mkdtemp");
    bool built = ::mount("tmpfs", staging, "tmpfs", MS_NOSUID, "mode=755") == 0
        || failed(why, "mount tmpfs");
    static const char *const entries[] = {"null", "zero", "full",  "random", "urandom", "tty",
                                          "pts",  "shm",  "fd",    "stdin",  "stdout",  "stderr"};
    for (const char *name : entries)
        built = built && copy_entry(staging, name, why);
    // The pseudo-terminal master must be the one inside the bound pts: a bound
    // /dev/ptmx node would not find its pts folder from the new /dev.
    built = built
        && (::symlink("pts/ptmx", (std::string(staging) + "/ptmx").c_str()) == 0
            || failed(why, "symlink ptmx"));
    built = built && (::mount(staging, "/dev", nullptr, MS_MOVE, nullptr) == 0 || failed(why, "move to /dev"));
    if (!built)
        ::umount2(staging, MNT_DETACH);
    ::rmdir(staging);
    if (!built)
        return false;

    // The serial port's lock files are named after the port (LCK..COM3):
    // they get a private folder too, or two tests' COM3 would collide.
    std::string mounted;
    for (const char *dir : {"/run/lock", "/var/lock"}) {
        char *real = ::realpath(dir, nullptr);
        if (!real)
            continue;
        const std::string path = real;
        std::free(real);
        if (path == mounted)
            continue; // /var/lock is usually a link to /run/lock
        if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
            return failed(why, "mount tmpfs on " + path);
        mounted = path;
    }
    return true;
}

struct PrivateDev {
    bool entered = false;
    QString problem;
};

const PrivateDev &private_dev()
{
    static const PrivateDev dev = [] {
        PrivateDev result;
        result.entered = enter(result.problem);
        return result;
    }();
    return dev;
}

} // namespace

bool can_link_com_ports()
{
    return private_dev().entered;
}

QString com_ports_problem()
{
    return private_dev().problem;
}

} // namespace harness
