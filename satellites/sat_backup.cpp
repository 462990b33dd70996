#include "sat_backup.h"

#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

QString suffix(BackupKind kind)
{
    return kind == BackupKind::read ? QStringLiteral("-read.csv") : QStringLiteral("-write.csv");
}

} // namespace

bool commit_bytes(QSaveFile &file, const QByteArray &bytes)
{
    // Not committed, the new file is dropped when `file` goes.
    return file.write(bytes) == bytes.size() && file.flush() && file.commit();
}

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
    QSaveFile file(result.path);
    if (!file.open(QIODevice::WriteOnly) || !commit_bytes(file, format_csv(rows))) {
        result.error = file.errorString();
        return result;
    }
    result.ok = true;

    // Stamped names sort by time: the oldest go first.
    const QStringList kept = dir.entryList({QStringLiteral("*") + suffix(kind)}, QDir::Files, QDir::Name);
    for (int i = 0; i + keep < kept.size(); ++i)
        dir.remove(kept[i]);
    return result;
}
