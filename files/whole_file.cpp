#include "whole_file.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTextCodec>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString system_error(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

WholeRead failed(WholeRead::Outcome outcome, const QString &error)
{
    WholeRead read;
    read.outcome = outcome;
    read.error = error;
    return read;
}

bool write_all(int fd, const char *data, qint64 size, int &error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Produces a file into `fd`: why not, or empty.
QString produce_into(int fd, const std::function<bool(const FileSink &)> &produce)
{
    int error = 0;
    const FileSink sink = [fd, &error](const char *data, qint64 size) {
        return error == 0 && write_all(fd, data, size, error);
    };
    if (!produce(sink))
        return error != 0 ? system_error(error) : QStringLiteral("not produced whole");
    return QString();
}

FileCommit commit_failure(const QString &error)
{
    FileCommit commit;
    commit.error = error;
    return commit;
}

FileCommit write_in_place(const QByteArray &path, const std::function<bool(const FileSink &)> &produce)
{
    // Not waiting for a FIFO's reader: without one, the bytes would have
    // nowhere to go, and the program would hang.
    const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return commit_failure(errno == ENXIO ? QStringLiteral("a FIFO that nobody reads")
                                             : system_error(errno));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    QString why = produce_into(fd, produce);
    if (::close(fd) != 0 && why.isEmpty() && errno != EINTR)
        why = system_error(errno);
    return why.isEmpty() ? FileCommit{true, QString()} : commit_failure(why);
}

// The file a commit replaces: a symbolic link's target, else `path` itself.
bool final_name(const QByteArray &path, QByteArray &name, QString &error)
{
    struct stat st {
    };
    name = path;
    if (::lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return true;
    char *real = ::realpath(path.constData(), nullptr);
    if (!real) {
        error
            = QStringLiteral("a symbolic link to nothing that can be written (%1)").arg(system_error(errno));
        return false;
    }
    name = real;
    std::free(real);
    return true;
}

// A new, empty file beside `name`, created with the mode new files get.
int create_beside(const QByteArray &name, QByteArray &temp, int &error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = name + ".vr20-" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    error = errno;
    return -1;
}

} // namespace

QString argument_text(const char *argument)
{
    const QByteArray bytes(argument);
    QString text;
    QTextCodec::ConverterState state;
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    const QString whole = utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return whole;
    // Byte by byte: each valid sequence as its character, every other byte escaped.
    int i = 0;
    while (i < bytes.size()) {
        const auto lead = uchar(bytes[i]);
        const int length = lead < 0x80 ? 1
            : (lead >> 5) == 0x6       ? 2
            : (lead >> 4) == 0xE       ? 3
            : (lead >> 3) == 0x1E      ? 4
                                       : 0;
        if (length > 0 && i + length <= bytes.size()) {
            QTextCodec::ConverterState one;
            const QString ch = utf8->toUnicode(bytes.constData() + i, length, &one);
            if (one.invalidChars == 0 && one.remainingChars == 0) {
                text += ch;
                i += length;
                continue;
            }
        }
        text += QChar(ushort(0xDC00 + lead));
        ++i;
    }
    return text;
}

namespace {

// An escaped byte of argument_text: a low surrogate with no high one before it.
bool escaped_byte(const QString &text, int i)
{
    const ushort c = text[i].unicode();
    return c >= 0xDC80 && c <= 0xDCFF && (i == 0 || !text[i - 1].isHighSurrogate());
}

} // namespace

QByteArray native_path(const QString &path)
{
    QByteArray bytes;
    int from = 0;
    for (int i = 0; i < path.size(); ++i) {
        if (!escaped_byte(path, i))
            continue;
        bytes += path.mid(from, i - from).toUtf8();
        bytes += char(path[i].unicode() - 0xDC00);
        from = i + 1;
    }
    if (from == 0)
        return QFile::encodeName(path);
    return bytes + path.mid(from).toUtf8();
}

bool same_file(const QByteArray &a, const QByteArray &b)
{
    struct stat sa {
    }, sb{};
    return ::stat(a.constData(), &sa) == 0 && ::stat(b.constData(), &sb) == 0 && sa.st_dev == sb.st_dev
        && sa.st_ino == sb.st_ino;
}

WholeRead read_whole_fd(int fd, qint64 limit, const StopCheck &stop)
{
    struct stat st {
    };
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        return failed(WholeRead::Outcome::read_error, QStringLiteral("it is a folder"));
    WholeRead read;
    constexpr qint64 chunk = 64 * 1024;
    for (;;) {
        if (stop && stop())
            return failed(WholeRead::Outcome::stopped, QStringLiteral("stopped"));
        // One byte past the limit tells a file at the limit from a longer one.
        const qint64 wanted = std::min(chunk, limit + 1 - read.bytes.size());
        const int had = read.bytes.size();
        read.bytes.resize(had + int(wanted));
        const ssize_t n = ::read(fd, read.bytes.data() + had, size_t(wanted));
        read.bytes.resize(had + int(std::max<ssize_t>(n, 0)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failed(WholeRead::Outcome::read_error, system_error(errno));
        }
        if (n == 0)
            return read;
        if (read.bytes.size() > limit)
            return failed(WholeRead::Outcome::too_large,
                          QStringLiteral("larger than %1 bytes: no package, image or list is").arg(limit));
    }
}

WholeRead read_whole_file(const QByteArray &path, qint64 limit, const StopCheck &stop)
{
    int fd = -1;
    for (;;) {
        fd = ::open(path.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0)
            break;
        // Opening a FIFO waits for a writer: a signal may end the wait.
        if (errno != EINTR || (stop && stop()))
            return errno == EINTR ? failed(WholeRead::Outcome::stopped, QStringLiteral("stopped"))
                                  : failed(WholeRead::Outcome::cannot_open, system_error(errno));
    }
    WholeRead read = read_whole_fd(fd, limit, stop);
    ::close(fd);
    return read;
}

FileCommit commit_file(const QByteArray &path, const QByteArray &bytes)
{
    return commit_file(path,
                       [&bytes](const FileSink &sink) { return sink(bytes.constData(), bytes.size()); });
}

FileCommit commit_file(const QByteArray &path, const std::function<bool(const FileSink &)> &produce)
{
    struct stat st {
    };
    const bool exists = ::stat(path.constData(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        return commit_failure(QStringLiteral("it is a folder"));
    if (exists && !S_ISREG(st.st_mode))
        return write_in_place(path, produce);

    QByteArray name;
    QString why;
    if (!final_name(path, name, why))
        return commit_failure(why);
    int error = 0;
    QByteArray temp;
    const int fd = create_beside(name, temp, error);
    if (fd < 0)
        return commit_failure(system_error(error));
    // The replacement keeps the old file's permissions.
    if (exists && ::fchmod(fd, st.st_mode & 07777) != 0)
        why = system_error(errno);
    if (why.isEmpty())
        why = produce_into(fd, produce);
    // Forced to the disk before it replaces anything: a full disk may only
    // say so here.
    if (why.isEmpty() && ::fsync(fd) != 0)
        why = system_error(errno);
    if (::close(fd) != 0 && why.isEmpty())
        why = system_error(errno);
    if (why.isEmpty() && ::rename(temp.constData(), name.constData()) != 0)
        why = system_error(errno);
    if (!why.isEmpty()) {
        ::unlink(temp.constData());
        return commit_failure(why);
    }
    return {true, QString()};
}

QString output_problem(const QByteArray &path)
{
    struct stat st {
    };
    if (::stat(path.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return QStringLiteral("it is a folder");
        if (!S_ISREG(st.st_mode))
            return ::access(path.constData(), W_OK) == 0 ? QString() : system_error(errno);
        if (::access(path.constData(), W_OK) != 0)
            return system_error(errno);
    }
    // A file can be made beside it: the folder exists and takes new files.
    QByteArray name;
    QString why;
    if (!final_name(path, name, why))
        return why;
    int error = 0;
    QByteArray temp;
    const int fd = create_beside(name, temp, error);
    if (fd < 0)
        return system_error(error);
    ::close(fd);
    ::unlink(temp.constData());
    return QString();
}

bool open_log_file(std::fstream &stream, const QByteArray &path)
{
    stream.close();
    stream.clear();
    const int fd
        = ::open(path.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    struct stat st {
    };
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // The stream opens the very file the descriptor holds, whatever has
    // become of the name meanwhile.
    if (regular)
        stream.open("/proc/self/fd/" + std::to_string(fd), std::ios::out | std::ios::trunc);
    ::close(fd);
    if (!stream.is_open()) {
        stream.clear();
        return false;
    }
    return true;
}
