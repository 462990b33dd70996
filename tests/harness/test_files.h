#pragma once

// Whole files in and out, for tests that hand files to programs.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace harness {

inline bool write_file(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// The file's bytes; empty when it cannot be read.
inline QByteArray read_file(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace harness
