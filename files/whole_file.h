#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <iosfwd>

// Whole files in and out, for every program that reads or writes one: the
// window, vr20-box and vr20-pack. Paths are the system's bytes for a name
// (QFile::encodeName of a QString, or a command line's argument as given),
// so that a name that is not valid UTF-8 still names its file.

// A command-line argument as text that gives back its very bytes: valid
// UTF-8 reads as such, any other byte as the lone surrogate U+DC00 + byte.
QString argument_text(const char *argument);
// The system's bytes for a path: argument_text undone; QFile::encodeName for
// any other text.
QByteArray native_path(const QString &path);

// Whether two paths name one file (both must exist).
bool same_file(const QByteArray &a, const QByteArray &b);

// Far above any package (a 64 KiB flash gives about 70 KiB), S-record image
// or satellite list; an endless input (/dev/zero) ends here.
constexpr qint64 input_size_limit = 16 * 1024 * 1024;

struct WholeRead {
    enum class Outcome { read, cannot_open, too_large, read_error, stopped };
    Outcome outcome = Outcome::read;
    QByteArray bytes; // all of the file when read
    QString error; // why not, for a message

    bool ok() const { return outcome == Outcome::read; }
};

// Asked whenever a read was interrupted or came back: true gives up (stopped).
using StopCheck = std::function<bool()>;

// Reads the whole file at `path`, opened once (a FIFO can be opened only once
// for its data), keeping at most `limit` bytes: more gives too_large. A
// signal that interrupts a blocking open or read is answered by `stop`.
WholeRead read_whole_file(const QByteArray &path, qint64 limit = input_size_limit,
                          const StopCheck &stop = {});
// The same from an open descriptor (standard input), which stays open.
WholeRead read_whole_fd(int fd, qint64 limit = input_size_limit, const StopCheck &stop = {});

struct FileCommit {
    bool ok = false;
    QString error; // why not: the old file, if any, is as it was
};

// Puts `bytes` at `path` whole. A regular file (or none yet) is replaced by a
// new one written beside it, flushed to the disk and renamed over it, so a
// full disk or any other failure leaves the old file as it was; through a
// symbolic link the link's target is replaced. A target that exists and is
// no regular file (a FIFO, a terminal, /dev/stdout, a device) is written in
// place, never replaced; a device that refuses the bytes is a failure.
FileCommit commit_file(const QByteArray &path, const QByteArray &bytes);

// Takes a file's bytes in order; false when they could not be written.
using FileSink = std::function<bool(const char *data, qint64 size)>;
// The same, for a file made piece by piece: `produce` hands its bytes to the
// sink and returns false (the file is then not committed) when it fails.
FileCommit commit_file(const QByteArray &path, const std::function<bool(const FileSink &)> &produce);

// Why commit_file could not write at `path`, or empty: checked before long
// work (a transfer from the box) whose result would otherwise be lost.
QString output_problem(const QByteArray &path);

// Opens `path` for writing, emptied, without following a symbolic link and
// only as a regular file (never waiting for a FIFO's reader). False, with
// `stream` closed, otherwise.
bool open_log_file(std::fstream &stream, const QByteArray &path);
