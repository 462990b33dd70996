// Backups of the satellite table: what they hold, their names, and pruning.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "file_size_limit.h"
#include "sat_backup.h"

namespace {

std::vector<SatRow> table_with(const QString &first_name)
{
    std::vector<SatRow> rows(sat_count);
    rows[0] = {first_name, "192", "45", "-45"};
    rows[49] = {"Empty slot", " ", " ", " "};
    return rows;
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QDateTime start(QDate(2026, 12, 7), QTime(21, 0, 0));

} // namespace

class TstSatBackup : public QObject
{
    Q_OBJECT

private slots:
    void holds_what_save_to_file_writes()
    {
        QTemporaryDir dir;
        const auto rows = table_with(QStringLiteral("Sat 1"));
        const BackupResult r = save_backup(dir.filePath("backups"), BackupKind::read, rows, start);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(QFileInfo(r.path).fileName(), QStringLiteral("2026-12-07_21-00-00-000-read.csv"));
        QCOMPARE(contents(r.path), format_csv(rows));
        QVERIFY(contents(r.path).startsWith("Sat 1,192,45,-45,\n"));
        QCOMPARE(contents(r.path).count('\n'), sat_count);
    }

    void keeps_the_newest_of_each_kind_data()
    {
        QTest::addColumn<int>("written");
        QTest::addColumn<int>("keep");
        QTest::newRow("fewer than kept") << 3 << 5;
        QTest::newRow("as many as kept") << 5 << 5;
        QTest::newRow("the default, two over") << backups_kept + 2 << backups_kept;
    }

    void keeps_the_newest_of_each_kind()
    {
        QFETCH(int, written);
        QFETCH(int, keep);
        QTemporaryDir dir;
        const QString folder = dir.filePath("backups");
        QDir().mkpath(folder);
        QFile other(QDir(folder).filePath("notes.txt"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.close();
        save_backup(folder, BackupKind::write, table_with("w"), start.addDays(-1), keep);
        for (int i = 0; i < written; ++i)
            QVERIFY(
                save_backup(folder, BackupKind::read, table_with(QString::number(i)), start.addSecs(i), keep)
                    .ok);

        const QStringList reads = QDir(folder).entryList({"*-read.csv"}, QDir::Files, QDir::Name);
        QCOMPARE(reads.size(), std::min(written, keep));
        // The newest stay: the last one written is there, the first only if nothing went.
        QVERIFY(
            contents(QDir(folder).filePath(reads.last())).startsWith(QByteArray::number(written - 1) + ","));
        QCOMPARE(reads.first() == QStringLiteral("2026-12-07_21-00-00-000-read.csv"), written <= keep);
        // The other kind and other files are left alone.
        QCOMPARE(QDir(folder).entryList({"*-write.csv"}, QDir::Files).size(), 1);
        QVERIFY(QFile::exists(QDir(folder).filePath("notes.txt")));
    }

    // Backups stamped in the future (a clock set back since) never push out
    // the one just written.
    void the_new_backup_stays()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("backups");
        for (int i = 0; i < backups_kept; ++i)
            QVERIFY(save_backup(folder, BackupKind::read, table_with("future"), start.addYears(50).addSecs(i))
                        .ok);
        const BackupResult r = save_backup(folder, BackupKind::read, table_with("now"), start);
        QVERIFY(r.ok);
        QVERIFY(contents(r.path).startsWith("now,"));
        QCOMPARE(QDir(folder).entryList({"*-read.csv"}, QDir::Files).size(), backups_kept);
    }

    void a_folder_that_cannot_be_written()
    {
        QTemporaryDir dir;
        // A file where the folder should be.
        QFile blocker(dir.filePath("backups"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const BackupResult r
            = save_backup(dir.filePath("backups"), BackupKind::write, table_with("x"), start);
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
    }

    // The table's text sits in QSaveFile's buffer until the commit: a disk
    // that fills up then must still fail the backup, and leave no file.
    void a_disk_that_fills_up()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("backups");
        QVERIFY(QDir().mkpath(folder));
        BackupResult r;
        {
            harness::FileSizeLimit full(64);
            r = save_backup(folder, BackupKind::read, table_with("x"), start);
        }
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TstSatBackup)
#include "tst_sat_backup.moc"
