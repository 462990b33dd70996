// Takes the README's two pictures of the real window: the Satellite Setting
// tab after a list read from the simulated box, and the Update tab with a
// package loaded. scripts/screenshots.sh runs it under Xvfb, at 96 dpi and at
// 192 dpi for screens at twice the density.
//
// Usage: vr20-screenshots FOLDER   (writes satellite-setting.png and update.png;
//                                   at a scale other than 1, say 2, with "@2x"
//                                   before ".png")

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "box.h"
#include "desktop_scale.h"
#include "form_font.h"
#include "harness.h"
#include "package_builder.h"
#include "velmora.h"

namespace {

constexpr int list_read_limit_ms = 180000; // the read takes about 40 s
constexpr int settle_ms = 300; // lets the window paint before a grab
constexpr uint8_t line_error_byte = 0xEF; // the box's error byte: no record may hold it

const char list_read_ok[] = "Satellite data read successfully!";

// One slot of the box's list; an empty name is an empty slot.
struct Slot {
    const char *name;
    int16_t position;
    int8_t vertical;
    int8_t horizontal;
};

// A motorised dish in central Europe, east to west, with a few empty slots
// among them; the slots after these stay empty.
const Slot satellite_list[] = {
    {"Orbit 28.2E", 4280, 31, 12},
    {"Orbit 23.5E", 4045, 29, 9},
    {"Orbit 19.2E", 3830, 27, 6},
    {"Orbit 16E", 3670, 26, 4},
    {"Orbit 13E", 3520, 25, 3},
    {"Orbit 9E", 3320, 24, 1},
    {"Orbit 7E", 3220, 24, 0},
    {"Orbit 4.8E", 3110, 23, -1},
    {"", 0, 0, 0},
    {"Orbit 0.8W", 2830, 22, -3},
    {"Orbit 4W", 2670, 22, -4},
    {"Orbit 5W", 2620, 21, -5},
    {"Orbit 7W", 2520, 21, -6},
    {"", 0, 0, 0},
    {"Orbit 8W", 2470, 20, -7},
    {"Orbit 30W", 1370, 14, -22},
    {"Orbit 45W", 620, 9, -31},
    {"", 0, 0, 0},
    {"Orbit 33E", 4520, 33, 15},
    {"Orbit 39E", 4820, 34, 19},
    {"Orbit 42E", 4970, 35, 21},
};

// The firmware the package is built from: a configuration record and a few
// pages of code.
constexpr int firmware_year = 2024, firmware_month = 5, firmware_day = 17, firmware_version = 3;
constexpr uint16_t code_start = 0xC000;
constexpr int code_pages = 3;
constexpr uint16_t vector_page = 0xFE00;

void fail(const QString &why)
{
    std::fprintf(stderr, "vr20-screenshots: %s\n", qPrintable(why));
    std::exit(1);
}

void say(const QString &what)
{
    std::printf("%s\n", qPrintable(what));
    std::fflush(stdout);
}

FirmwareConfig firmware_config()
{
    FirmwareConfig config;
    config.bytes[0] = uint8_t(firmware_month << 4 | (firmware_year - 2013));
    config.bytes[1] = uint8_t(firmware_version << 5 | firmware_day);
    config.bytes[2] = 1; // the MCU
    config.bytes[3] = 0; // the product
    return config;
}

// One S-record of `type`: count, address, data and the ones' complement
// checksum.
QByteArray s_record(char type, uint16_t address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size() + 3));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(data);
    uint8_t sum = 0;
    for (const char c : bytes)
        sum = uint8_t(sum + uint8_t(c));
    bytes.append(char(~sum));
    return QByteArray("S") + type + bytes.toHex().toUpper() + "\n";
}

// An S-record image: the configuration record at 0x3100, code pages from
// code_start, and the vector page.
QByteArray firmware_image()
{
    const FirmwareConfig config = firmware_config();
    QByteArray image = s_record('0', 0, "vr20-firmware");
    image
        += s_record('1', config_record_address, QByteArray(reinterpret_cast<const char *>(config.bytes), 4));
    const auto add_page = [&image](uint16_t page, uint32_t seed) {
        for (int offset = 0; offset < int(page_size); offset += int(line_data_bytes)) {
            QByteArray line;
            for (int i = 0; i < int(line_data_bytes); ++i) {
                seed = seed * 1103515245u + 12345u;
                line.append(char(seed >> 16));
            }
            image += s_record('1', uint16_t(page + offset), line);
        }
    };
    for (int p = 0; p < code_pages; ++p)
        add_page(uint16_t(code_start + p * page_size), 17u + uint32_t(p));
    add_page(vector_page, 99u);
    image += "S9030000FC\n";
    return image;
}

void check_record(const boxsim::Record &record, int slot)
{
    for (const uint8_t byte : record)
        if (byte == line_error_byte)
            fail(QStringLiteral("slot %1 holds the error byte 0xEF").arg(slot));
}

// Paints the window and saves it as `path`.
void grab(velmora &window, const QString &path)
{
    QTest::qWait(settle_ms);
    const QPixmap picture = window.grab();
    if (!picture.save(path, "PNG"))
        fail(QStringLiteral("cannot write %1").arg(path));
    say(QStringLiteral("%1: %2 x %3").arg(path).arg(picture.width()).arg(picture.height()));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("Usage: vr20-screenshots FOLDER\n", stderr);
        return 2;
    }
    // Everything the run leaves (the transfer log, backups, the package) goes
    // to a folder of its own, named the same at every run so that the path
    // the Update tab shows does not change.
    const QString work = QDir::temp().filePath(QStringLiteral("vr20-screenshots"));
    QDir(work).removeRecursively();
    if (!QDir().mkpath(work))
        fail(QStringLiteral("cannot make %1").arg(work));
    qputenv("XDG_DATA_HOME", QFile::encodeName(work + QStringLiteral("/data")));

    Q_INIT_RESOURCE(velmora);
    follow_desktop_scale(); // as vr20-loader starts
    {
        QApplication app(argc, argv);
        const QString folder = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
        if (!QFileInfo(folder).isDir())
            fail(QStringLiteral("%1 is not a folder").arg(folder));
        QDir::setCurrent(work);

        // The application font as vr20-loader makes it.
        if (!QFileInfo::exists(QString::fromLatin1(form_font_file)))
            fail(QStringLiteral("%1 is missing (fonts-wine)").arg(form_font_file));
        const QString family = use_form_font();
        const qreal scale = QGuiApplication::primaryScreen()->devicePixelRatio();
        // The pictures for denser screens are told apart as browsers expect.
        const QString suffix
            = qFuzzyCompare(scale, 1.0) ? QStringLiteral(".png") : QStringLiteral("@%1x.png").arg(scale);
        say(QStringLiteral("platform %1, scale %2, font %3 %4 pt")
                .arg(QGuiApplication::platformName())
                .arg(scale)
                .arg(family)
                .arg(QApplication::font().pointSize()));

        boxsim::Box box;
        int slot = 0;
        for (const Slot &s : satellite_list) {
            ++slot;
            const boxsim::Record record = boxsim::box_record(s.name, s.position, s.vertical, s.horizontal);
            check_record(record, slot);
            box.set_record(slot, record);
        }
        for (++slot; slot <= boxsim::satellite_slots; ++slot)
            box.set_record(slot, boxsim::box_record("", 0, 0, 0));

        harness::ModalDriver driver; // before the window: a port that does not open warns
        auto window = std::make_unique<velmora>(std::make_shared<SystemPortListing>(),
                                                QString::fromStdString(box.slave_path()));
        harness::FileChoices files(*window);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            fail(QStringLiteral("the window was not shown"));
        if (!driver.boxes().isEmpty())
            fail(QStringLiteral("the window warned: %1").arg(driver.texts().join(QStringLiteral(" | "))));

        // Satellite Setting: one list read.
        window->ui.tabWidget->setCurrentWidget(window->ui.tab_3);
        say(QStringLiteral("reading the list from the simulated box on %1 ...")
                .arg(QString::fromStdString(box.slave_path())));
        window->ui.pushButton_sat_read->click();
        if (!driver.wait_for_boxes(1, list_read_limit_ms))
            fail(QStringLiteral("the list read did not end"));
        if (driver.texts() != QStringList{QString::fromLatin1(list_read_ok)})
            fail(QStringLiteral("the list read ended with: %1")
                     .arg(driver.texts().join(QStringLiteral(" | "))));
        say(QStringLiteral("list read: \"%1\" answered").arg(driver.texts().constFirst()));
        const QTableWidgetItem *first = window->ui.sat_setting->item(0, 0);
        if (!first || first->text() != QString::fromLatin1(satellite_list[0].name))
            fail(QStringLiteral("the table's first row is not the box's first satellite"));
        window->ui.sat_setting->scrollToTop();
        grab(*window, folder + QStringLiteral("/satellite-setting") + suffix);

        // Update: one package loaded through "...".
        const QString image_path = work + QStringLiteral("/vr20-firmware.s19");
        const QString package_path = work + QStringLiteral("/vr20-firmware.bin");
        {
            const QByteArray text = firmware_image();
            std::istringstream lines(text.toStdString());
            if (check_image(lines).faulty_lines != 0)
                fail(QStringLiteral("the firmware image has faulty lines"));
            QFile image(image_path);
            if (!image.open(QIODevice::WriteOnly) || image.write(text) != text.size())
                fail(QStringLiteral("cannot write %1").arg(image_path));
        }
        const BuildResult built = build_package_file(QFile::encodeName(image_path),
                                                     QFile::encodeName(package_path), FirmwareConfig{});
        const qint64 package_size = QFileInfo(package_path).size();
        if (!built.is_valid() || !built.config_found || built.blocks != code_pages + 1
            || package_size != qint64(package_header_size + built.blocks * package_block_size))
            fail(QStringLiteral("the package was not built as expected"));
        say(QStringLiteral("package %1: header and %2 blocks, %3 bytes")
                .arg(package_path)
                .arg(built.blocks)
                .arg(package_size));

        window->ui.tabWidget->setCurrentWidget(window->ui.tab);
        driver.clear();
        files.queue(package_path);
        window->ui.pushButton_bin_update->click();
        if (files.asked().size() != 1 || !driver.boxes().isEmpty())
            fail(QStringLiteral("the package was not loaded"));
        const FirmwareConfigText expected = decode_fw_config(firmware_config());
        const QStringList shown{window->ui.label_model_u->text(), window->ui.label_mcu_u->text(),
                                window->ui.label_date_u->text(), window->ui.label_ver_u->text()};
        if (shown != QStringList{expected.model, expected.mcu, expected.date, expected.version})
            fail(QStringLiteral("the Update tab shows %1").arg(shown.join(QStringLiteral(", "))));
        say(QStringLiteral("package loaded: %1").arg(shown.join(QStringLiteral(", "))));
        grab(*window, folder + QStringLiteral("/update") + suffix);

        window.reset();
    }
    Q_CLEANUP_RESOURCE(velmora);
    QDir(work).removeRecursively();
    return 0;
}
