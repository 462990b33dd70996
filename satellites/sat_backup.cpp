#include "sat_backup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

#include "whole_file.h"

namespace {

QString suffix(BackupKind kind)
{
    return kind == BackupKind::read ? QStringLiteral("-read.csv") : QStringLiteral("-write.csv");
}

} // namespace

QString backup_folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/backups");
}

BackupResult save_backup(const QString &folder, BackupKind kind, const std::vector<SatRow> &rows,
                         const QDateTime &when, int keep)
{
    BackupResult result;
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        result.error = QStringLiteral("cannot make the folder %1").arg(folder);
        return result;
    }
    result.path = dir.filePath(when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz")) + suffix(kind));
    const FileCommit commit = commit_file(QFile::encodeName(result.path), format_csv(rows));
    if (!commit.ok) {
        result.error = commit.error;
        return result;
    }
    result.ok = true;

    // Newest first by modification time, not by name: a clock set back or
    // files stamped in the future must not take the new backup's place.
    // Equal times fall back on the stamped names.
    const QString written = QFileInfo(result.path).fileName();
    QFileInfoList backups = dir.entryInfoList({QStringLiteral("*") + suffix(kind)}, QDir::Files);
    std::sort(backups.begin(), backups.end(), [](const QFileInfo &a, const QFileInfo &b) {
        const QDateTime ta = a.lastModified(), tb = b.lastModified();
        return ta != tb ? ta > tb : a.fileName() > b.fileName();
    });
    int others_kept = std::max(keep, 1) - 1;
    for (const QFileInfo &backup : backups) {
        if (backup.fileName() == written)
            continue;
        if (others_kept > 0)
            --others_kept;
        else
            dir.remove(backup.fileName());
    }
    return result;
}
