// vr20-pack as a user runs it: exit status, messages, the package it writes
// and what `info` prints.
#include "test_files.h"
#include "../packaging/package_fixture.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fixture;

namespace {

const QString tool_path = QStringLiteral(VR20_BINARY_DIR "/vr20-pack");
const QByteArray config_record = config_bytes(0x32, 0x67, 0x01, 0x00);

using harness::read_file;
using harness::write_file;

QByteArray sound_image()
{
    return objcopy_image(0x3100, config_record) + objcopy_image(0xE1F0, ramp(48));
}

} // namespace

class TstVr20Pack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void build_data();
    void build();
    void info_data();
    void info();
    void info_output();
    void write_error_leaves_no_file();
    void fifos();
};

void TstVr20Pack::initTestCase()
{
    QLoggingCategory::setFilterRules("default.debug=false");
    QVERIFY2(QFileInfo(tool_path).isExecutable(), qPrintable(tool_path + " is not built"));
    QVERIFY(have_tool("objcopy"));
}

void TstVr20Pack::build_data()
{
    QTest::addColumn<QStringList>("args"); // IMAGE and PACKAGE stand for the paths
    QTest::addColumn<QByteArray>("image"); // written to IMAGE unless empty
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // expected in stderr (or stdout for --help)
    QTest::addColumn<bool>("written");

    const QByteArray sound = sound_image();
    QByteArray bad_checksum = sound;
    bad_checksum.replace("S1073100326701002D", "S1073100326701002E");
    const QByteArray long_line = "S1FF3100" + QByteArray(506, '0') + "\n" + objcopy_image(0xE000, ramp(16));
    const QByteArray s2 = "S2080000E00001020311\n" + objcopy_image(0xE000, ramp(16));
    QByteArray unterminated = lines_of(sound, "S1");
    unterminated.chop(1);

    QTest::newRow("--help") << QStringList{"--help"} << QByteArray() << 0 << "Usage: vr20-pack build"
                            << false;
    QTest::newRow("no arguments") << QStringList{} << QByteArray() << 2 << "no command given" << false;
    QTest::newRow("unknown command") << QStringList{"pack", "IMAGE"} << QByteArray() << 2 << "unknown command"
                                     << false;
    QTest::newRow("unknown option") << QStringList{"build", "--fast", "IMAGE", "PACKAGE"} << sound << 2
                                    << "unknown option --fast" << false;
    QTest::newRow("build without package path")
        << QStringList{"build", "IMAGE"} << sound << 2 << "build takes an image and a package path" << false;
    QTest::newRow("sound image") << QStringList{"build", "IMAGE", "PACKAGE"} << sound << 0 << "" << true;
    QTest::newRow("image missing") << QStringList{"build", "IMAGE", "PACKAGE"} << QByteArray() << 1
                                   << "No such file or directory" << false;
    QTest::newRow("image is a folder")
        << QStringList{"build", ".", "PACKAGE"} << QByteArray() << 1 << "it is a folder" << false;
    QTest::newRow("package folder missing")
        << QStringList{"build", "IMAGE", "nowhere/p.bin"} << sound << 1 << "cannot create" << false;
    QTest::newRow("package path is the image")
        << QStringList{"build", "IMAGE", "IMAGE"} << sound << 2 << "it is the image itself" << false;
    QTest::newRow("not an S-record file") << QStringList{"build", "IMAGE", "PACKAGE"} << random_bytes(300, 3)
                                          << 3 << "not an S-record image" << false;
    QTest::newRow("bad checksum") << QStringList{"build", "IMAGE", "PACKAGE"} << bad_checksum << 3
                                  << "line 2: checksum does not match" << false;
    QTest::newRow("bad checksum, forced")
        << QStringList{"build", "--force", "IMAGE", "PACKAGE"} << bad_checksum << 0
        << "warning: line 2: checksum does not match" << true;
    // What the loader's builder handles in a defined way is built as it
    // builds it, with a warning.
    QTest::newRow("line longer than 99 characters")
        << QStringList{"build", "IMAGE", "PACKAGE"} << long_line << 0
        << "warning: 1 lines longer than 99 characters" << true;
    QTest::newRow("S2 data record") << QStringList{"build", "IMAGE", "PACKAGE"} << s2 << 0
                                    << "warning: 1 S2/S3 data records" << true;
    QTest::newRow("last data line without line end")
        << QStringList{"build", "IMAGE", "PACKAGE"} << unterminated << 0
        << "warning: the last line has no line end" << true;
    QTest::newRow("no configuration record")
        << QStringList{"build", "IMAGE", "PACKAGE"} << objcopy_image(0xE000, ramp(16)) << 0
        << "no configuration record at 0x3100" << true;
    QTest::newRow("no S1 data") << QStringList{"build", "IMAGE", "PACKAGE"}
                                << objcopy_image(0x3100, config_record) << 0 << "no S1 data" << true;
    QTest::newRow("records that come back to a page")
        << QStringList{"build", "IMAGE", "PACKAGE"}
        << framed(lines_of(objcopy_image(0xE000, ramp(16)), "S1")
                  + lines_of(objcopy_image(0xF000, ramp(16)), "S1")
                  + lines_of(objcopy_image(0xE010, ramp(16)), "S1"))
        << 0 << "warning: page 0xE000 appears in blocks 0 2" << true;
}

// A package is written exactly when the build succeeds, and then it holds the
// bytes the window's builder gives.
void TstVr20Pack::build()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, image);
    QFETCH(int, status);
    QFETCH(QString, message);
    QFETCH(bool, written);
    QTemporaryDir dir;
    const QString image_path = dir.filePath("image.s19"), package_path = dir.filePath("package.bin");
    if (!image.isEmpty())
        QVERIFY(write_file(image_path, image));
    for (QString &a : args) {
        if (a == "IMAGE")
            a = image_path;
        else if (a == "PACKAGE")
            a = package_path;
        else if (!a.startsWith('-') && a.contains('/'))
            a = dir.filePath(a);
    }
    const ToolRun run = run_tool(tool_path, args);
    QCOMPARE(run.exit_code, status);
    const QByteArray shown = run.err + run.out;
    QVERIFY2(shown.contains(message.toUtf8()), shown.constData());
    if (status != 0 && status != 2 && !message.isEmpty())
        QVERIFY2(run.err.contains(message.toUtf8()), "errors go to stderr");
    QCOMPARE(QFileInfo::exists(package_path), written);
    if (!image.isEmpty())
        QCOMPARE(read_file(image_path), image);
    if (written)
        QCOMPARE(read_file(package_path).toHex(), fixture::build(image).package.toHex());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), (image.isEmpty() ? 0 : 1) + (written ? 1 : 0));
}

void TstVr20Pack::info_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QByteArray sound = fixture::build(sound_image()).package;
    QByteArray bad_check = sound;
    bad_check[4 + 546 + 35] = char(bad_check[4 + 546 + 35] ^ 0x40);
    QByteArray odd_page = sound;
    odd_page[5] = 0x10; // the check bytes do not cover the address

    QTest::newRow("sound") << sound << 0 << "Check bytes: all hold"
                           << "";
    QTest::newRow("wrong check byte")
        << bad_check << 3 << "Block 1: page 0xE200, check bytes wrong in lines 1"
        << "check bytes wrong in 1 blocks";
    QTest::newRow("trailing piece") << sound + random_bytes(100, 5) << 3 << "Trailing piece: 100 bytes"
                                    << "trailing piece of 100 bytes";
    QTest::newRow("page address not a multiple of 512") << odd_page << 3 << "Block 0: page 0xE010"
                                                        << "not a multiple of 512";
    QTest::newRow("header only") << config_record << 3 << "Blocks: 0"
                                 << "no blocks";
    QTest::newRow("short header") << config_record.left(2) << 3 << "Header: incomplete (2 of 4 bytes)"
                                  << "shorter than the 4-byte header";
    QTest::newRow("empty file") << QByteArray() << 3 << "Header: incomplete (0 of 4 bytes)"
                                << "shorter than the 4-byte header";
}

void TstVr20Pack::info()
{
    QFETCH(QByteArray, package);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir dir;
    const QString path = dir.filePath("p.bin");
    QVERIFY(write_file(path, package));
    const ToolRun run = run_tool(tool_path, {"info", path});
    QCOMPARE(run.exit_code, status);
    QVERIFY2(run.out.contains(out.toUtf8()), run.out.constData());
    QVERIFY2(run.err.contains(err.toUtf8()), run.err.constData());
    if (status == 0)
        QVERIFY2(run.err.isEmpty(), run.err.constData());

    QCOMPARE(run_tool(tool_path, {"info", dir.filePath("missing.bin")}).exit_code, 1);
    QCOMPARE(run_tool(tool_path, {"info", path, "more"}).exit_code, 2);
}

// Blocks follow in file order; a header without names shows its codes.
void TstVr20Pack::info_output()
{
    QTemporaryDir dir;
    const QByteArray image = framed(
        lines_of(objcopy_image(0x3100, config_bytes(0x1C, 0x3F, 0x02, 0x05)), "S1")
        + lines_of(objcopy_image(0xE1F8, ramp(16)), "S1") + lines_of(objcopy_image(0x8000, ramp(16)), "S1"));
    QVERIFY(write_file(dir.filePath("i.s19"), image));
    QCOMPARE(run_tool(tool_path, {"build", dir.filePath("i.s19"), dir.filePath("p.bin")}).exit_code, 0);
    const ToolRun run = run_tool(tool_path, {"info", dir.filePath("p.bin")});
    // Codes no box has: listed, and the package is not fit to send.
    QCOMPARE(run.exit_code, 3);
    QVERIFY2(run.err.contains("unknown product code 0x05 in the header\n"), run.err.constData());
    QVERIFY2(run.err.contains("unknown MCU code 0x02 in the header\n"), run.err.constData());
    QCOMPARE(QString::fromUtf8(run.out),
             QString("Header: 1C 3F 02 05\n"
                     "Model: (unknown product code 0x05)\n"
                     "MCU: (unknown MCU code 0x02)\n"
                     "Date: 2025/1/31\n"
                     "Version: 1\n"
                     "Blocks: 3\n"
                     "Block 0: page 0xE000, check bytes hold\n"
                     "Block 1: page 0xE200, check bytes hold\n"
                     "Block 2: page 0xA000, check bytes hold\n"
                     "Check bytes: all hold\n"
                     "Trailing piece: none\n"));
}

// A package that cannot be written whole is not left behind, and an earlier
// one at the same path stays as it was.
void TstVr20Pack::write_error_leaves_no_file()
{
    QVERIFY(have_tool("bash"));
    QTemporaryDir dir;
    const QByteArray image = srec_cat_image({{0x3200, random_bytes(0x10000 - 0x3200, 9)}});
    QVERIFY(!image.isEmpty());
    QVERIFY(write_file(dir.filePath("full.s19"), image));
    QVERIFY(write_file(dir.filePath("p.bin"), "earlier package"));
    // Files may grow to 8 KiB only; SIGXFSZ ignored, so the write fails with EFBIG.
    const ToolRun run = run_tool("bash",
                                 {"-c", "ulimit -f 8; trap '' XFSZ; exec \"$0\" build \"$1\" \"$2\"",
                                  tool_path, dir.filePath("full.s19"), dir.filePath("p.bin")});
    QCOMPARE(run.exit_code, 1);
    QVERIFY2(run.err.contains("cannot write"), run.err.constData());
    QCOMPARE(read_file(dir.filePath("p.bin")), QByteArray("earlier package"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

// The image from a FIFO (opened once) and the package into one (written in
// place, never replaced by a regular file).
void TstVr20Pack::fifos()
{
    QTemporaryDir dir;
    const QByteArray image_fifo = QFile::encodeName(dir.filePath("image.fifo"));
    const QByteArray package_fifo = QFile::encodeName(dir.filePath("package.fifo"));
    QVERIFY(::mkfifo(image_fifo.constData(), 0600) == 0 && ::mkfifo(package_fifo.constData(), 0600) == 0);
    const QByteArray image = sound_image();
    // The package's reader is there first; what it gets waits in the pipe.
    const int reader = ::open(package_fifo.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    // The image's writer waits for the tool to open it; a tool that never
    // does leaves it after the deadline rather than hanging the test.
    std::thread writer([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int fd = -1;
        while ((fd = ::open(image_fifo.constData(), O_WRONLY | O_NONBLOCK)) < 0
               && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (fd < 0)
            return;
        ::fcntl(fd, F_SETFL, 0);
        ::write(fd, image.constData(), size_t(image.size()));
        ::close(fd);
    });
    const ToolRun run
        = run_tool(tool_path, {"build", dir.filePath("image.fifo"), dir.filePath("package.fifo")});
    writer.join();
    QCOMPARE(run.exit_code, 0);
    QByteArray package(8192, '\0');
    const ssize_t got = ::read(reader, package.data(), size_t(package.size()));
    ::close(reader);
    package.resize(int(std::max<ssize_t>(got, 0)));
    QCOMPARE(package.toHex(), fixture::build(image).package.toHex());
    QCOMPARE(QFileInfo(dir.filePath("package.fifo")).isFile(), false);
}

QTEST_GUILESS_MAIN(TstVr20Pack)
#include "tst_vr20_pack.moc"
