#pragma once

#include <QDateTime>
#include <QString>

#include <vector>

#include "sat_list.h"

// Backups of the satellite table, as "Save to file" writes it: one after
// every read from the box ("...-read.csv"), one just before every write to
// the box ("...-write.csv"). The newest of each kind are kept.
enum class BackupKind { read, write };

constexpr int backups_kept = 50;

struct BackupResult {
    bool ok = false;
    QString path; // the file written
    QString error; // why it was not
};

// The user's backup folder: the application data folder's "backups".
QString backup_folder();

// Writes `rows` to `folder` (made if missing) under a name stamped with
// `when` (to the millisecond), then removes all but the newest `keep` backups
// of that kind by modification time, never the one just written. Never
// touches other files.
BackupResult save_backup(const QString &folder, BackupKind kind, const std::vector<SatRow> &rows,
                         const QDateTime &when, int keep = backups_kept);
