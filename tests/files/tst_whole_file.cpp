// Whole files in and out: a full disk, special files, endless inputs, links.
#include "file_size_limit.h"
#include "test_files.h"
#include "whole_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set by main(): the test runs in a mount namespace of its own, where it
// may mount a small tmpfs and fill it.
bool own_mounts = false;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

class TstWholeFile : public QObject
{
    Q_OBJECT

private slots:
    void commit_on_a_full_disk_data();
    void commit_on_a_full_disk();
    void special_targets_data();
    void special_targets();
    void commit_through_a_link();
    void reads_data();
    void reads();
    void log_never_follows_a_link();
    void arguments_keep_their_bytes_data();
    void arguments_keep_their_bytes();
};

void TstWholeFile::commit_on_a_full_disk_data()
{
    QTest::addColumn<bool>("earlier"); // a file to replace is there
    QTest::newRow("replacing a file") << true;
    QTest::newRow("a new file") << false;
}

// The bytes reach the disk before anything is replaced: a disk that fills
// up fails the commit and leaves the earlier file whole, with no leftovers.
void TstWholeFile::commit_on_a_full_disk()
{
    QFETCH(bool, earlier);
    QTemporaryDir dir;
    QString folder = dir.path();
    std::unique_ptr<harness::FileSizeLimit> limit;
    if (own_mounts) {
        folder = dir.filePath("small");
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::mount("tmpfs", native(folder).constData(), "tmpfs", 0, "size=64k") == 0);
    }
    const QString path = QDir(folder).filePath("list.csv");
    if (earlier)
        QVERIFY(harness::write_file(path, "old,1,2,3,\n"));
    if (own_mounts) {
        // Fill the disk to its last block.
        QFile filler(QDir(folder).filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'x')) > 0) { }
    } else {
        limit = std::make_unique<harness::FileSizeLimit>(64);
    }

    const FileCommit commit = commit_file(native(path), QByteArray(32 * 1024, 'n'));
    limit.reset();
    if (own_mounts)
        QFile::remove(QDir(folder).filePath("filler"));
    QVERIFY(!commit.ok);
    QVERIFY(!commit.error.isEmpty());
    QCOMPARE(QFile::exists(path), earlier);
    if (earlier)
        QCOMPARE(harness::read_file(path), QByteArray("old,1,2,3,\n"));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), earlier ? 1 : 0);
    if (own_mounts)
        QCOMPARE(::umount(native(folder).constData()), 0);
}

void TstWholeFile::special_targets_data()
{
    QTest::addColumn<bool>("reader_there");
    QTest::newRow("a FIFO with a reader") << true;
    QTest::newRow("a FIFO nobody reads: no wait") << false;
}

// What is no regular file is written in place, never replaced (devices:
// tst_package_builder, through the package builder).
void TstWholeFile::special_targets()
{
    QFETCH(bool, reader_there);
    QTemporaryDir dir;
    const QByteArray path = native(dir.filePath("target"));
    QVERIFY(::mkfifo(path.constData(), 0600) == 0);
    // The reader holds the FIFO open; what it gets waits in the pipe.
    const int reader = reader_there ? ::open(path.constData(), O_RDONLY | O_NONBLOCK) : -1;

    const FileCommit commit = commit_file(path, "bytes");
    QCOMPARE(commit.ok, reader_there);
    if (reader >= 0) {
        char got[16] = {};
        QCOMPARE(::read(reader, got, sizeof got), ssize_t(5));
        QCOMPARE(QByteArray(got), QByteArray("bytes"));
        ::close(reader);
    }
    struct stat st {
    };
    QVERIFY(::stat(path.constData(), &st) == 0);
    QVERIFY(S_ISFIFO(st.st_mode));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(), 1);
}

// Through a symbolic link, the file it names is replaced and the link stays.
void TstWholeFile::commit_through_a_link()
{
    QTemporaryDir dir;
    QVERIFY(harness::write_file(dir.filePath("real.csv"), "old"));
    QVERIFY(QFile::setPermissions(dir.filePath("real.csv"), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(QFile::link("real.csv", dir.filePath("link.csv")));
    QVERIFY(commit_file(native(dir.filePath("link.csv")), "new").ok);
    QVERIFY(QFileInfo(dir.filePath("link.csv")).isSymLink());
    QCOMPARE(harness::read_file(dir.filePath("real.csv")), QByteArray("new"));
    QCOMPARE(QFile::permissions(dir.filePath("real.csv")),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
}

void TstWholeFile::reads_data()
{
    QTest::addColumn<QString>("path"); // "FIFO": one fed by a writer
    QTest::addColumn<int>("outcome");
    QTest::newRow("endless input") << "/dev/zero" << int(WholeRead::Outcome::too_large);
    QTest::newRow("missing") << "missing" << int(WholeRead::Outcome::cannot_open);
    QTest::newRow("a folder") << "." << int(WholeRead::Outcome::read_error);
    QTest::newRow("a FIFO, opened once") << "FIFO" << int(WholeRead::Outcome::read);
    QTest::newRow("at the limit") << "limit" << int(WholeRead::Outcome::read);
}

void TstWholeFile::reads()
{
    QFETCH(QString, path);
    QFETCH(int, outcome);
    QTemporaryDir dir;
    constexpr qint64 limit = 100 * 1024;
    QByteArray expected;
    std::thread writer;
    if (path == "FIFO") {
        path = dir.filePath("fifo");
        QVERIFY(::mkfifo(native(path).constData(), 0600) == 0);
        expected = QByteArray(70000, 'f'); // more than a pipe holds: written while it is read
        writer = std::thread([&] {
            std::ofstream out(native(path).constData(), std::ios::binary);
            out.write(expected.constData(), expected.size());
        });
    } else if (path == "limit") {
        path = dir.filePath("full");
        expected = QByteArray(int(limit), 'l');
        QVERIFY(harness::write_file(path, expected));
    } else if (!path.startsWith('/')) {
        path = QDir(dir.path()).filePath(path);
    }
    const WholeRead read = read_whole_file(native(path), limit);
    if (writer.joinable())
        writer.join();
    QCOMPARE(int(read.outcome), outcome);
    QCOMPARE(read.ok(), read.error.isEmpty());
    if (read.ok())
        QCOMPARE(read.bytes, expected);
}

// The transfer log in the working directory is no way to overwrite another file.
void TstWholeFile::log_never_follows_a_link()
{
    QTemporaryDir dir;
    const QString victim = dir.filePath("victim.txt"), log = dir.filePath("data_transfer.log");
    QVERIFY(harness::write_file(victim, "keep me"));
    QVERIFY(QFile::link(victim, log));
    std::fstream stream;
    QVERIFY(!open_log_file(stream, native(log)));
    QVERIFY(!stream.is_open());
    QCOMPARE(harness::read_file(victim), QByteArray("keep me"));

    QVERIFY(QFile::remove(log));
    QVERIFY(harness::write_file(log, "an earlier log"));
    QVERIFY(open_log_file(stream, native(log)));
    stream << "KM";
    stream.close();
    QCOMPARE(harness::read_file(log), QByteArray("KM"));
}

void TstWholeFile::arguments_keep_their_bytes_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::newRow("Latin-1, not UTF-8") << QByteArray("caf\xe9.bin");
    QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9.bin");
    QTest::newRow("a character beyond 16 bits") << QByteArray("\xf0\x90\x82\x80.csv");
    QTest::newRow("a cut UTF-8 sequence") << QByteArray("a\xe2\x82.bin");
}

// A name that is not UTF-8 still opens its file.
void TstWholeFile::arguments_keep_their_bytes()
{
    QFETCH(QByteArray, argument);
    const QString text = argument_text(argument.constData());
    QCOMPARE(native_path(text), argument);
    QTemporaryDir dir;
    const QByteArray path = native(dir.path()) + '/' + argument;
    QVERIFY(commit_file(path, "x").ok);
    QCOMPARE(read_whole_file(native_path(QFile::decodeName(native(dir.path())) + '/' + text)).bytes,
             QByteArray("x"));
    // QTemporaryDir cannot name it to remove it.
    QCOMPARE(::unlink(path.constData()), 0);
}

int main(int argc, char *argv[])
{
    // Entered while the process has one thread: unshare refuses more.
    own_mounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QCoreApplication app(argc, argv);
    TstWholeFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_whole_file.moc"
