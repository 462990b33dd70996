// The package builder against images made by objcopy and srec_cat, with the
// packages taken apart again by OpenSSL.
#include "package_fixture.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <sstream>

using namespace fixture;

namespace {

const QByteArray no_header = config_bytes(0, 0, 0, 0);
const QByteArray config_record = config_bytes(0x32, 0x67, 0x01, 0x00);

// A hand-made S1 line, for the lines no S-record tool writes.
QByteArray s1_line(uint16_t address, const QByteArray &data)
{
    QByteArray bytes;
    bytes += char(data.size() + 3);
    bytes += char(address >> 8);
    bytes += char(address & 0xFF);
    bytes += data;
    int sum = 0;
    for (char c : bytes)
        sum += uint8_t(c);
    bytes += char(0xFF - sum % 256);
    return "S1" + bytes.toHex().toUpper() + "\n";
}

// Lower-case hex digits, the record letter kept.
QByteArray lower_hex(const QByteArray &image)
{
    QByteArray out;
    for (const QByteArray &line : image.split('\n')) {
        if (!line.isEmpty())
            out += line.left(1) + line.mid(1).toLower() + '\n';
    }
    return out;
}

QByteArray s1_of(uint32_t address, const QByteArray &data)
{
    return lines_of(objcopy_image(address, data), "S1");
}

// A stream whose data cannot be read twice, like a pipe.
class OneWayBuf : public std::streambuf
{
public:
    explicit OneWayBuf(const QByteArray &data)
        : bytes(data)
    {
        setg(bytes.data(), bytes.data(), bytes.data() + bytes.size());
    }

private:
    QByteArray bytes;
};

} // namespace

class TstPackageBuilder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void conversion_data();
    void conversion();
    void one_record_at_e000();
    void check_bytes_data();
    void check_bytes();
    void full_image();
    void progress();
    void header_data();
    void header();
    void builder_reused();
    void write_error_stops_build();
    void unseekable_image();
    void package_file_data();
    void package_file();
    void special_files_data();
    void special_files();
    void place_byte_result_data();
    void place_byte_result();
    void scan_data();
    void scan();
};

void TstPackageBuilder::initTestCase()
{
    QLoggingCategory::setFilterRules("default.debug=false");
    for (const char *tool : {"objcopy", "srec_cat", "openssl"})
        QVERIFY2(have_tool(tool), qPrintable(QString("%1 is needed for the reference images").arg(tool)));
}

void TstPackageBuilder::conversion_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QList<PlainBlock>>("blocks");

    const QByteArray d32 = random_bytes(32, 1);
    const QByteArray a = random_bytes(16, 2), b = random_bytes(16, 3), c = random_bytes(16, 4);
    const QByteArray full = random_bytes(528, 5);
    const QByteArray long_record = random_bytes(252, 6);

    QTest::newRow("32 bytes at 0xE000 (objcopy)")
        << objcopy_image(0xE000, d32) << no_header << QList<PlainBlock>{page(0xE000, {{0, d32}})};
    QTest::newRow("32 bytes at 0xE000 (srec_cat)")
        << srec_cat_image({{0xE000, d32}}) << no_header << QList<PlainBlock>{page(0xE000, {{0, d32}})};
    QTest::newRow("0x8000 lands at 0xA000")
        << objcopy_image(0x8000, a) << no_header << QList<PlainBlock>{page(0xA000, {{0, a}})};
    QTest::newRow("0x9FF0 lands at 0xBFF0")
        << objcopy_image(0x9FF0, a) << no_header << QList<PlainBlock>{page(0xBE00, {{0x1F0, a}})};
    QTest::newRow("0xA000 stays") << objcopy_image(0xA000, a) << no_header
                                  << QList<PlainBlock>{page(0xA000, {{0, a}})};
    QTest::newRow("configuration page left out, record is the header")
        << srec_cat_image({{0x3100, config_record + random_bytes(12, 7)}, {0x3180, b}, {0xE000, a}})
        << config_record << QList<PlainBlock>{page(0xE000, {{0, a}})};
    QTest::newRow("record at 0x30F8 reaches into 0x3100")
        << framed(s1_of(0x30F8, a) + s1_of(0x3100, config_record)) << config_record
        << QList<PlainBlock>{page(0x3000, {{0xF8, a}})};
    QTest::newRow("page-crossing record at 0xE1F8")
        << objcopy_image(0xE1F8, a) << no_header
        << QList<PlainBlock>{page(0xE000, {{0x1F8, a.left(8)}}), page(0xE200, {{0, a.mid(8)}})};
    QTest::newRow("0xE000, 0xF000, 0xE010 give three blocks")
        << framed(s1_of(0xE000, a) + s1_of(0xF000, b) + s1_of(0xE010, c)) << no_header
        << QList<PlainBlock>{page(0xE000, {{0, a}}), page(0xF000, {{0, b}}), page(0xE000, {{0x10, c}})};
    QTest::newRow("a full page, then the next")
        << srec_cat_image({{0xE000, full}}) << no_header
        << QList<PlainBlock>{page(0xE000, {{0, full.left(512)}}), page(0xE200, {{0, full.mid(512)}})};
    QTest::newRow("no S1 data: one empty block at page 0")
        << srec_cat_image({{0xE000, QByteArray()}}) << no_header << QList<PlainBlock>{page(0)};
    QTest::newRow("only the configuration record")
        << objcopy_image(0x3100, config_record) << config_record << QList<PlainBlock>{page(0)};
    QByteArray unterminated = s1_of(0xE000, a) + s1_of(0xF000, b);
    unterminated.chop(1);
    QTest::newRow("last line without a line end is left out")
        << unterminated << no_header << QList<PlainBlock>{page(0xE000, {{0, a}})};
    QTest::newRow("lower-case hex") << lower_hex(objcopy_image(0xE000, d32)) << no_header
                                    << QList<PlainBlock>{page(0xE000, {{0, d32}})};
    QTest::newRow("CR LF line ends") << to_crlf(objcopy_image(0xE1F8, a)) << no_header
                                     << QList<PlainBlock>{page(0xE000, {{0x1F8, a.left(8)}}),
                                                          page(0xE200, {{0, a.mid(8)}})};
    QTest::newRow("page 0 gets its own block")
        << srec_cat_image({{0x0000, a}, {0xE000, b}}) << no_header
        << QList<PlainBlock>{page(0x0000, {{0, a}}), page(0xE000, {{0, b}})};
    QTest::newRow("page 0 after another page")
        << framed(s1_of(0xE000, b) + s1_of(0x0010, a) + s1_of(0x0200, c)) << no_header
        << QList<PlainBlock>{page(0xE000, {{0, b}}), page(0x0000, {{0x10, a}}), page(0x0200, {{0, c}})};
    QTest::newRow("record wrapping past 0xFFFF")
        << framed(s1_line(0xFFF8, a)) << no_header
        << QList<PlainBlock>{page(0xFE00, {{0x1F8, a.left(8)}}), page(0x0000, {{0, a.mid(8)}})};
    QTest::newRow("255-byte record cut at 99 characters")
        << srec_cat_image({{0xE000, long_record}, {0xF000, a}}, {"-Output_Block_Size=252"}) << no_header
        << QList<PlainBlock>{page(0xE000, {{0, long_record.left(45)}}), page(0xF000, {{0, a}})};
    QTest::newRow("S2 and S3 records carry nothing")
        << framed(lines_of(srec_cat_image({{0x12000, a}}), "S2")
                  + lines_of(srec_cat_image({{0x1000000, b}}, {"-address-length=4"}), "S3"))
        << no_header << QList<PlainBlock>{page(0)};
    QTest::newRow("S2 record beside S1 data")
        << framed(s1_of(0xE000, a) + lines_of(srec_cat_image({{0xE100, b}}, {"-address-length=3"}), "S2"))
        << no_header << QList<PlainBlock>{page(0xE000, {{0, a}})};
    // Characters that are not hexadecimal count as their own code.
    QTest::newRow("non-hexadecimal characters")
        << framed("S106E000GG0Gg0CC\n") << no_header
        << QList<PlainBlock>{page(0xE000, {{0, QByteArray::fromHex("b74770")}})};
    QTest::newRow("byte count larger than the line")
        << framed("S1FFE000010203AB\n") << no_header
        << QList<PlainBlock>{page(0xE000, {{0, QByteArray::fromHex("010203ab")}})};
    QTest::newRow("byte count smaller than the line")
        << framed("S105E0000102030411\n") << no_header
        << QList<PlainBlock>{page(0xE000, {{0, QByteArray::fromHex("0102")}})};
    QTest::newRow("lines too short for an address carry nothing")
        << framed("S1\nS105E0\n" + s1_of(0xF000, a)) << no_header
        << QList<PlainBlock>{page(0xF000, {{0, a}})};
    QTest::newRow("a record without data still chooses the page")
        << framed("S1030400F8\n" + s1_of(0xF000, a)) << no_header
        << QList<PlainBlock>{page(0x0400), page(0xF000, {{0, a}})};
}

void TstPackageBuilder::conversion()
{
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, header);
    QFETCH(QList<PlainBlock>, blocks);
    QVERIFY(!image.isEmpty());

    const Built built = build(image);
    QVERIFY(built.result.is_valid());
    QCOMPARE(built.result.blocks, long(blocks.size()));
    const Decoded d = decode(built.package);
    QVERIFY2(d.fault.isEmpty(), qPrintable(d.fault));
    QCOMPARE(d.header.toHex(), header.toHex());
    QString why;
    QVERIFY2(same_blocks(d.blocks, blocks, &why), qPrintable(why));
}

// The whole layout of the simplest package, byte by byte.
void TstPackageBuilder::one_record_at_e000()
{
    const QByteArray data = random_bytes(32, 11);
    const Built built = build(objcopy_image(0xE000, data));
    const QByteArray &p = built.package;
    QCOMPARE(p.size(), 4 + 546);
    QCOMPARE(p.left(4), no_header);
    QCOMPARE(uint8_t(p[4]), uint8_t(0xE0));
    QCOMPARE(uint8_t(p[5]), uint8_t(0x00));
    const QByteArray block = p.mid(4);
    QCOMPARE(block.mid(2, 16), openssl_ecb(data.left(16), false));
    QCOMPARE(block.mid(19, 16), data.mid(16));
    for (int k = 2; k < 32; ++k) {
        QCOMPARE(block.mid(2 + 17 * k, 16), QByteArray(16, char(0xFF)));
        QCOMPARE(uint8_t(block[18 + 17 * k]), uint8_t(0x10));
    }
}

void TstPackageBuilder::check_bytes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("check");
    QTest::newRow("sixteen 0x00") << QByteArray(16, '\0') << 0x00;
    QTest::newRow("0x00 to 0x0F") << ramp(16) << 0x88;
    QTest::newRow("sixteen 0xFF") << QByteArray(16, char(0xFF)) << 0x10;
    QTest::newRow("sum exactly 256") << QByteArray(1, char(0x80)) + QByteArray(1, char(0x80))
            + QByteArray(14, '\0') << 0x00;
}

// Line 1 is stored plain, so its check byte is the one of the data itself.
void TstPackageBuilder::check_bytes()
{
    QFETCH(QByteArray, line);
    QFETCH(int, check);
    const Built built = build(objcopy_image(0xE010, line));
    QCOMPARE(built.package.size(), 550);
    QCOMPARE(built.package.mid(4 + 19, 16), line);
    QCOMPARE(int(uint8_t(built.package[4 + 35])), check);
}

// Every page from 0x3200 to 0xFFFF filled: the block order follows the image,
// with 0x8000-0x9FFF moved onto 0xA000-0xBFFF.
void TstPackageBuilder::full_image()
{
    const uint32_t first = 0x3200;
    const QByteArray data = random_bytes(0x10000 - int(first), 21);
    const Built built = build(srec_cat_image({{first, data}}));
    const Decoded d = decode(built.package);
    QVERIFY2(d.fault.isEmpty(), qPrintable(d.fault));

    QList<PlainBlock> want;
    const auto add = [&](uint32_t from, uint32_t to, int shift) {
        for (uint32_t a = from; a < to; a += 512)
            want.append(page(uint16_t(a + shift), {{0, data.mid(int(a - first), 512)}}));
    };
    add(first, 0x8000, 0);
    add(0x8000, 0xA000, 0x2000);
    add(0xA000, 0x10000, 0);
    QCOMPARE(want.size(), 103);
    QString why;
    QVERIFY2(same_blocks(d.blocks, want, &why), qPrintable(why));
}

void TstPackageBuilder::progress()
{
    QByteArray image = framed(s1_of(0xE000, random_bytes(48, 31)));
    image += "S1130000"; // no line end: neither counted nor converted
    const Built built = build(image);
    QCOMPARE(built.result.lines, 5);
    QList<QPair<int, int>> want{{0, 5}};
    for (int j = 0; j < 5; ++j)
        want.append({j, 5});
    want.append({5, 5});
    QCOMPARE(built.progress, want);
}

void TstPackageBuilder::header_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("fallback");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("found");
    const QByteArray fallback = config_bytes(0xA1, 0xA2, 0xA3, 0xA4);
    QTest::newRow("the image's record wins")
        << objcopy_image(0x3100, config_record) << fallback << config_record << true;
    QTest::newRow("no record: the held configuration")
        << objcopy_image(0xE000, ramp(16)) << fallback << fallback << false;
    QTest::newRow("two-byte record replaces two bytes")
        << objcopy_image(0x3100, config_record.left(2)) << fallback << config_bytes(0x32, 0x67, 0xA3, 0xA4)
        << true;
    QTest::newRow("record at 0x3110 is not the record")
        << objcopy_image(0x3110, config_record) << fallback << fallback << false;
}

void TstPackageBuilder::header()
{
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, fallback);
    QFETCH(QByteArray, header);
    QFETCH(bool, found);
    FirmwareConfig held;
    std::memcpy(held.bytes, fallback.constData(), 4);
    const Built built = build(image, held);
    QCOMPARE(built.package.left(4).toHex(), header.toHex());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(built.result.header.bytes), 4).toHex(),
             header.toHex());
    QCOMPARE(built.result.config_found, found);
}

// A second build with the same builder starts from a reset block.
void TstPackageBuilder::builder_reused()
{
    const QByteArray image = objcopy_image(0x0000, ramp(16));
    std::string text(image.constData(), std::size_t(image.size()));
    PackageBuilder builder;
    QByteArray first, second;
    for (QByteArray *out : {&first, &second}) {
        std::istringstream in(text);
        const BuildResult r = builder.build(
            in,
            [out](const char *data, std::size_t size) {
                out->append(data, int(size));
                return true;
            },
            FirmwareConfig{});
        QVERIFY(r.is_valid());
    }
    QCOMPARE(second.toHex(), first.toHex());
}

void TstPackageBuilder::write_error_stops_build()
{
    const QByteArray image
        = framed(s1_of(0xE000, ramp(16)) + s1_of(0xF000, ramp(16)) + s1_of(0xD000, ramp(16)));
    for (int fail_at = 0; fail_at < 4; ++fail_at) {
        std::istringstream in(std::string(image.constData(), std::size_t(image.size())));
        int calls = 0;
        PackageBuilder builder;
        const BuildResult r = builder.build(
            in, [&](const char *, std::size_t) { return calls++ != fail_at; }, FirmwareConfig{});
        QCOMPARE(r.error, BuildError::package_write_error);
        QCOMPARE(calls, fail_at + 1);
    }
}

void TstPackageBuilder::unseekable_image()
{
    OneWayBuf buf(objcopy_image(0xE000, ramp(16)));
    std::istream in(&buf);
    PackageBuilder builder;
    const BuildResult r = builder.build(
        in, [](const char *, std::size_t) { return true; }, FirmwareConfig{});
    QCOMPARE(r.error, BuildError::image_read_error);
}

void TstPackageBuilder::package_file_data()
{
    QTest::addColumn<QString>("image"); // relative to a fresh folder
    QTest::addColumn<QString>("package");
    QTest::addColumn<int>("error");
    QTest::newRow("built") << "image.s19"
                           << "out.bin" << int(BuildError::none);
    QTest::newRow("image missing") << "missing.s19"
                                   << "out.bin" << int(BuildError::image_not_opened);
    QTest::newRow("image is a folder") << "folder"
                                       << "out.bin" << int(BuildError::image_not_opened);
    QTest::newRow("package folder missing") << "image.s19"
                                            << "nowhere/out.bin" << int(BuildError::package_not_opened);
    QTest::newRow("package is the image") << "image.s19"
                                          << "image.s19" << int(BuildError::package_not_opened);
    QTest::newRow("package is a folder") << "image.s19"
                                         << "folder" << int(BuildError::package_not_opened);
}

// The file-level build writes what the builder gives, or nothing at all:
// an earlier package at the path stays as it was.
void TstPackageBuilder::package_file()
{
    QFETCH(QString, image);
    QFETCH(QString, package);
    QFETCH(int, error);
    QTemporaryDir dir;
    const QByteArray text = objcopy_image(0x3100, config_record) + objcopy_image(0xE000, ramp(40));
    QFile f(dir.filePath("image.s19"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
    f.close();
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    const QString out = dir.filePath(package);
    const bool earlier = !QFileInfo(out).exists() && QFileInfo(QFileInfo(out).path()).isDir();
    if (earlier) {
        QFile old(out);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("earlier package");
    }

    const BuildResult r = build_package_file(QFile::encodeName(dir.filePath(image)), QFile::encodeName(out),
                                             FirmwareConfig{});
    QCOMPARE(int(r.error), error);
    if (error == int(BuildError::none)) {
        QFile written(out);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll().toHex(), build(text).package.toHex());
    } else if (earlier) {
        QFile kept(out);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("earlier package"));
    }
    QFile image_file(dir.filePath("image.s19"));
    QVERIFY(image_file.open(QIODevice::ReadOnly));
    QCOMPARE(image_file.readAll(), text);
    // No temporary file is left behind.
    const QStringList left = QDir(dir.path()).entryList(QDir::Files);
    QVERIFY2(left.size() <= 2, qPrintable(left.join(' ')));
}

void TstPackageBuilder::special_files_data()
{
    QTest::addColumn<int>("minor"); // of the memory devices (major 1)
    QTest::addColumn<int>("error");
    QTest::newRow("like /dev/null") << 3 << int(BuildError::none);
    QTest::newRow("like /dev/full") << 7 << int(BuildError::package_write_error);
}

// A device is written in place: it is never swapped for a regular file.
// The devices are made in a fresh folder, never the system's own.
void TstPackageBuilder::special_files()
{
    QFETCH(int, minor);
    QFETCH(int, error);
    if (geteuid() != 0)
        QSKIP("making device nodes needs root");
    QTemporaryDir dir;
    const QString image = dir.filePath("image.s19"), device = dir.filePath("device");
    QFile f(image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(objcopy_image(0xE000, random_bytes(9000, 51)));
    f.close();
    QVERIFY(::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, unsigned(minor))) == 0);

    const BuildResult r
        = build_package_file(QFile::encodeName(image), QFile::encodeName(device), FirmwareConfig{});
    QCOMPARE(int(r.error), error);
    struct stat st {
    };
    QVERIFY(::stat(QFile::encodeName(device).constData(), &st) == 0);
    QVERIFY(S_ISCHR(st.st_mode));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(), 2);
}

void TstPackageBuilder::place_byte_result_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("position"); // block byte written, -1 for none
    QTest::newRow("first byte") << 0xE000 << 0xE000 << 0 << 2;
    QTest::newRow("line 1, byte 0") << 0xE000 << 0xE010 << 0 << 19;
    QTest::newRow("line 0, byte 15") << 0xE000 << 0xE00F << 0 << 17;
    QTest::newRow("last byte of the page") << 0xE000 << 0xE1FF << 2 << 544;
    QTest::newRow("next page") << 0xE000 << 0xE200 << 1 << -1;
    QTest::newRow("below the page") << 0xE000 << 0xDFFF << 1 << -1;
    QTest::newRow("past 0xFFFF") << 0xFE00 << 0x0000 << 1 << -1;
}

void TstPackageBuilder::place_byte_result()
{
    QFETCH(int, page);
    QFETCH(int, address);
    QFETCH(int, result);
    QFETCH(int, position);
    PackageBlock block;
    reset_block(block);
    set_block_page(block, uint16_t(page));
    QCOMPARE(place_byte(block, uint16_t(address), 0x5A), result);
    for (int i = 2; i < int(package_block_size); ++i)
        QCOMPARE(int(block.bytes[i]), i == position ? 0x5A : 0xFF);
}

void TstPackageBuilder::scan_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("trailing");
    QTest::addColumn<int>("header_bytes");
    QTest::newRow("three blocks") << 4 + 546 * 3 << 3 << 0 << 4;
    QTest::newRow("three blocks and a piece") << 4 + 546 * 3 + 100 << 3 << 100 << 4;
    QTest::newRow("header only") << 4 << 0 << 0 << 4;
    QTest::newRow("short header") << 2 << 0 << 0 << 2;
    QTest::newRow("one byte short of a block") << 4 + 545 << 0 << 545 << 4;
}

void TstPackageBuilder::scan()
{
    QFETCH(int, size);
    QFETCH(int, blocks);
    QFETCH(int, trailing);
    QFETCH(int, header_bytes);
    const QByteArray image
        = framed(s1_of(0xE000, ramp(16)) + s1_of(0xF000, ramp(16)) + s1_of(0xD000, ramp(16)));
    QByteArray package = build(image).package + random_bytes(200, 41);
    package.truncate(size);
    // A wrong check byte in the last whole block.
    if (blocks > 0)
        package[4 + 546 * (blocks - 1) + 35] = char(package[4 + 546 * (blocks - 1) + 35] ^ 1);

    std::istringstream in(std::string(package.constData(), std::size_t(package.size())));
    QList<int> seen;
    QList<uint32_t> bad;
    FirmwareConfig header;
    header.bytes[2] = 0x77;
    const PackageScan s = scan_package(in, [&](long index, const PackageBlock &b) {
        seen.append(int(index));
        bad.append(bad_check_lines(b));
    });
    QCOMPARE(s.header_bytes, header_bytes);
    QCOMPARE(s.blocks, long(blocks));
    QCOMPARE(s.trailing_bytes, long(trailing));
    QCOMPARE(seen.size(), blocks);
    QCOMPARE(s.bad_check_blocks, blocks > 0 ? 1L : 0L);
    for (int i = 0; i < blocks; ++i)
        QCOMPARE(bad[i], i == blocks - 1 ? uint32_t(2) : uint32_t(0));

    std::istringstream again(std::string(package.constData(), std::size_t(package.size())));
    QCOMPARE(read_package_header(again, header), header_bytes);
    QCOMPARE(int(header.bytes[2]), header_bytes > 2 ? 0 : 0x77); // missing bytes keep their values
}

QTEST_GUILESS_MAIN(TstPackageBuilder)
#include "tst_package_builder.moc"
