// check_package against packages made here, damaged one way at a time.
#include "package_check.h"
#include "package_fixture.h"

#include <QLoggingCategory>
#include <QtTest>

#include <sstream>
#include <streambuf>

using namespace fixture;

namespace {

const QByteArray config_record = config_bytes(0x32, 0x67, 0x01, 0x00);

// A block of `page` with lines of seeded bytes, each closed by the byte that
// brings the line's 17 bytes to 0 modulo 256, found here by trying each value.
QByteArray sealed_block(uint16_t page, quint32 seed)
{
    QByteArray block;
    block.append(char(page >> 8)).append(char(page & 0xFF));
    const QByteArray data = random_bytes(int(page_size), seed);
    for (int k = 0; k < int(block_lines); ++k) {
        const QByteArray line = data.mid(k * int(line_data_bytes), int(line_data_bytes));
        uint8_t sum = 0;
        for (const char c : line)
            sum = uint8_t(sum + uint8_t(c));
        uint8_t closing = 0;
        while (uint8_t(sum + closing) != 0)
            ++closing;
        block += line;
        block += char(closing);
    }
    return block;
}

// Two blocks: pages 0xE000 and 0xE200.
QByteArray sound_package()
{
    return config_record + sealed_block(0xE000, 1) + sealed_block(0xE200, 2);
}

int block_at(int index)
{
    return int(package_header_size) + index * int(package_block_size);
}

// Flips one bit of data byte i of line k of a block: that line's check fails.
void spoil_line(QByteArray &package, int block, int line, int i = 3)
{
    const int pos = block_at(block) + int(block_line_pos(std::size_t(line), std::size_t(i)));
    package[pos] = char(package[pos] ^ 0x40);
}

void set_page(QByteArray &package, int block, uint16_t page)
{
    package[block_at(block)] = char(page >> 8);
    package[block_at(block) + 1] = char(page & 0xFF);
}

PackageCheck check_bytes(const QByteArray &package)
{
    std::istringstream in(std::string(package.constData(), std::size_t(package.size())));
    return check_package(in);
}

QStringList to_list(const std::vector<std::string> &texts)
{
    QStringList list;
    for (const std::string &t : texts)
        list << QString::fromStdString(t);
    return list;
}

// Hands out its bytes, then fails as a broken device would.
class FailingBuf : public std::streambuf
{
public:
    explicit FailingBuf(const QByteArray &data)
        : bytes(data)
    {
        setg(bytes.data(), bytes.data(), bytes.data() + bytes.size());
    }

protected:
    int_type underflow() override { throw std::ios_base::failure("device gone"); }

private:
    QByteArray bytes;
};

} // namespace

class TstPackageCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faults_data();
    void faults();
    void read_error_is_not_sound();
    void repeated_pages_data();
    void repeated_pages();
};

void TstPackageCheck::initTestCase()
{
    QLoggingCategory::setFilterRules("default.debug=false");
    QCOMPARE(sound_package().size(), block_at(2));
}

void TstPackageCheck::faults_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<int>("header_bytes");
    QTest::addColumn<QList<int>>("pages");
    QTest::addColumn<QList<uint>>("bad_lines");
    QTest::addColumn<QStringList>("faults");

    const QByteArray sound = sound_package();
    const QList<int> sound_pages{0xE000, 0xE200};
    const QList<uint> all_hold{0, 0};

    QTest::newRow("sound") << sound << 4 << sound_pages << all_hold << QStringList();

    QTest::newRow("empty file") << QByteArray() << 0 << QList<int>() << QList<uint>()
                                << QStringList{"shorter than the 4-byte header"};
    // Three header bytes are a short header only: "no blocks" belongs to a whole header.
    QTest::newRow("short header") << sound.left(3) << 3 << QList<int>() << QList<uint>()
                                  << QStringList{"shorter than the 4-byte header"};

    QByteArray odd_page = sound;
    set_page(odd_page, 1, 0xE210); // the check bytes do not cover the address
    QTest::newRow("page address not a multiple of 512")
        << odd_page << 4 << QList<int>{0xE000, 0xE210} << all_hold
        << QStringList{"block 1: page address is not a multiple of 512"};

    QByteArray page_256 = sound;
    set_page(page_256, 0, 0xE100);
    QTest::newRow("page address a multiple of 256 only")
        << page_256 << 4 << QList<int>{0xE100, 0xE200} << all_hold
        << QStringList{"block 0: page address is not a multiple of 512"};

    QByteArray bad_checks = sound;
    spoil_line(bad_checks, 0, 0);
    spoil_line(bad_checks, 0, 31, line_data_bytes); // the check byte itself
    spoil_line(bad_checks, 1, 5);
    QTest::newRow("check bytes wrong in two blocks")
        << bad_checks << 4 << sound_pages << QList<uint>{0x80000001u, 1u << 5}
        << QStringList{"check bytes wrong in 2 blocks"};

    QTest::newRow("trailing piece") << sound + random_bytes(100, 5) << 4 << sound_pages << all_hold
                                    << QStringList{"a trailing piece of 100 bytes that is not a whole block"};
    QTest::newRow("trailing piece one byte short of a block")
        << sound + random_bytes(int(package_block_size) - 1, 6) << 4 << sound_pages << all_hold
        << QStringList{"a trailing piece of 545 bytes that is not a whole block"};

    QTest::newRow("no blocks") << config_record << 4 << QList<int>() << QList<uint>()
                               << QStringList{"no blocks"};
    QTest::newRow("no blocks, only a piece")
        << config_record + random_bytes(10, 7) << 4 << QList<int>() << QList<uint>()
        << QStringList{"a trailing piece of 10 bytes that is not a whole block", "no blocks"};

    QByteArray unknown_product = sound;
    unknown_product[3] = 0x05;
    QTest::newRow("unknown product code") << unknown_product << 4 << sound_pages << all_hold
                                          << QStringList{"unknown product code 0x05 in the header"};
    // Product code 0 is the one known; MCU code 0 has no name, and page 0 is one the builder makes.
    QTest::newRow("550 zero bytes") << QByteArray(550, '\0') << 4 << QList<int>{0} << QList<uint>{0}
                                    << QStringList{"unknown MCU code 0x00 in the header"};
    for (const uint16_t page : {uint16_t(0x8000), uint16_t(0x9E00)}) {
        QByteArray moved = sound;
        set_page(moved, 1, page);
        const QString hex
            = QStringLiteral("0x%1").arg(page, 4, 16, QLatin1Char('0')).toUpper().replace("0X", "0x");
        QTest::addRow("page %s, which the builder moves", qPrintable(hex))
            << moved << 4 << QList<int>{0xE000, page} << all_hold
            << QStringList{"block 1: page " + hex
                           + " lies in 0x8000-0x9FFF, which the builder moves to 0xA000-0xBFFF"};
    }
    QByteArray twice = sound;
    set_page(twice, 1, 0xE000);
    QTest::newRow("a page twice is no fault")
        << twice << 4 << QList<int>{0xE000, 0xE000} << all_hold << QStringList();

    QByteArray several = odd_page;
    set_page(several, 0, 0x0001);
    spoil_line(several, 1, 7);
    QTest::newRow("several faults in order")
        << several + QByteArray(20, '\xFF') << 4 << QList<int>{0x0001, 0xE210} << QList<uint>{0, 1u << 7}
        << QStringList{"block 0: page address is not a multiple of 512",
                       "block 1: page address is not a multiple of 512", "check bytes wrong in 1 blocks",
                       "a trailing piece of 20 bytes that is not a whole block"};
}

void TstPackageCheck::faults()
{
    QFETCH(QByteArray, package);
    QFETCH(int, header_bytes);
    QFETCH(QList<int>, pages);
    QFETCH(QList<uint>, bad_lines);
    QFETCH(QStringList, faults);

    const PackageCheck check = check_bytes(package);
    QVERIFY(!check.read_error);
    QCOMPARE(check.scan.header_bytes, header_bytes);
    if (header_bytes == int(package_header_size))
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(check.scan.header.bytes), 4), package.left(4));
    QList<int> got_pages;
    QList<uint> got_bad;
    for (const PackageCheck::Block &b : check.blocks) {
        got_pages << b.page;
        got_bad << b.bad_lines;
    }
    QCOMPARE(got_pages, pages);
    QCOMPARE(got_bad, bad_lines);
    QCOMPARE(check.scan.blocks, long(pages.size()));
    QCOMPARE(to_list(check.faults), faults);
    QCOMPARE(check.sound(), faults.isEmpty());
}

// A stream that breaks after the first block: what was read is listed, and
// the package is not sound even though no fault was seen in it.
void TstPackageCheck::read_error_is_not_sound()
{
    FailingBuf buf(sound_package().left(block_at(1)));
    std::istream in(&buf);
    const PackageCheck check = check_package(in);
    QVERIFY(check.read_error);
    QCOMPARE(check.blocks.size(), std::size_t(1));
    QVERIFY(check.faults.empty());
    QVERIFY(!check.sound());
}

void TstPackageCheck::repeated_pages_data()
{
    QTest::addColumn<QList<int>>("pages");
    QTest::addColumn<QStringList>("warnings");
    const QString unknown
        = QStringLiteral(": whether the bootloader keeps the first block's bytes is not known");
    QTest::newRow("each page once") << QList<int>{0xE000, 0xE200, 0} << QStringList();
    QTest::newRow("records that come back to a page")
        << QList<int>{0xE000, 0xF000, 0xE000} << QStringList{"page 0xE000 appears in blocks 0 2" + unknown};
    QTest::newRow("two pages, one three times")
        << QList<int>{0xF000, 0xE000, 0xF000, 0xE000, 0xF000}
        << QStringList{"page 0xE000 appears in blocks 1 3" + unknown,
                       "page 0xF000 appears in blocks 0 2 4" + unknown};
}

void TstPackageCheck::repeated_pages()
{
    QFETCH(QList<int>, pages);
    QFETCH(QStringList, warnings);
    std::vector<uint16_t> list;
    for (const int page : pages)
        list.push_back(uint16_t(page));
    QCOMPARE(to_list(::repeated_pages(list)), warnings);
    // The package check warns of the same pages.
    QByteArray package = sound_package().left(block_at(1));
    for (int b = 1; b < pages.size(); ++b)
        package += package.mid(block_at(0), int(package_block_size));
    for (int b = 0; b < pages.size(); ++b)
        set_page(package, b, uint16_t(pages[b]));
    QCOMPARE(to_list(check_bytes(package).warnings), warnings);
}

QTEST_GUILESS_MAIN(TstPackageCheck)
#include "tst_package_check.moc"
