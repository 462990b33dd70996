// The window's package builder slots, driven through their (hidden) buttons:
// the dialogs, the labels, the warnings, the progress bar and the package
// written.
#include <QDir>
#include <QLabel>
#include <QLoggingCategory>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <memory>
#include <sys/resource.h>

#include "harness.h"
#include "message_log.h"
#include "package_fixture.h"
#include "velmora.h"

struct PackageSlotsTag;
template <>
struct VelmoraAccess<PackageSlotsTag> {
    static FirmwareConfig &config(velmora &w) { return w.fw_config; }
    static bool image_open(velmora &w) { return w.s19_file->is_open(); }
};
using WindowState = VelmoraAccess<PackageSlotsTag>;

using namespace fixture;

namespace {

// The image's and the package's debug messages (their categories are off
// otherwise).
const QString debug_rules = QStringLiteral("vr20.srecord.debug=true\nvr20.package.debug=true");

const QByteArray config_record = config_bytes(0x32, 0x67, 0x01, 0x00);

QByteArray bytes_of(const FirmwareConfig &c)
{
    return QByteArray(reinterpret_cast<const char *>(c.bytes), 4);
}
FirmwareConfig config_of(const QByteArray &b)
{
    FirmwareConfig c;
    std::memcpy(c.bytes, b.constData(), 4);
    return c;
}

QByteArray read_file(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct WindowRig {
    QTemporaryDir dir;
    harness::OwnFolders folders{dir.path()};
    harness::ModalDriver driver; // before the window: it may warn while it is built
    std::unique_ptr<velmora> window = std::make_unique<velmora>();
    std::unique_ptr<harness::FileChoices> files = std::make_unique<harness::FileChoices>(*window);

    WindowRig()
    {
        driver.clear(); // the port probe's own warning, if any
    }
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return QString();
        return path;
    }
    void choose_image(const QString &path)
    {
        files->queue(path);
        window->ui.pushButton_s19->click();
    }
    void choose_package(const QString &path)
    {
        files->queue(path);
        window->ui.pushButton_bin->click();
    }
    void start() { window->ui.pushButton_package_start->click(); }
    QStringList labels() const
    {
        return {window->ui.label_model->text(), window->ui.label_mcu->text(), window->ui.label_date->text(),
                window->ui.label_ver->text()};
    }
};

} // namespace

class TstPackageSlots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tab_stays_removed();
    void select_image_data();
    void select_image();
    void select_image_logs();
    void image_dialog_cancelled();
    void image_not_opened();
    void select_package_path();
    void build_data();
    void build();
    void build_refused_data();
    void build_refused();
    void header_from_image_not_loaded_package();
    void writes_to_chosen_package_path();
    void progress_bar();
    void second_start_ignored_while_building();
    void write_error_reported();
};

void TstPackageSlots::initTestCase()
{
    Q_INIT_RESOURCE(velmora);
    QVERIFY(have_tool("objcopy"));
    QVERIFY(have_tool("openssl"));
}

void TstPackageSlots::tab_stays_removed()
{
    WindowRig r;
    QCOMPARE(r.window->ui.tabWidget->count(), 2);
    QCOMPARE(r.window->ui.tabWidget->indexOf(r.window->ui.tab_2), -1);
}

void TstPackageSlots::select_image_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("held"); // fw_config before
    QTest::addColumn<QByteArray>("after"); // fw_config after
    QTest::addColumn<QStringList>("labels");
    const QByteArray data = objcopy_image(0xE000, ramp(32));
    QTest::newRow("record at 0x3100")
        << objcopy_image(0x3100, config_record) + data << config_bytes(0, 0, 0, 0) << config_record
        << QStringList{"Quorinel VR20", "MC9S08PT60", "2015/3/7", "3"};
    QTest::newRow("no record: the held configuration is shown again")
        << data << config_bytes(0x1C, 0x3F, 0x01, 0x01) << config_bytes(0x1C, 0x3F, 0x01, 0x01)
        << QStringList{"", "MC9S08PT60", "2025/1/31", "1"};
    QTest::newRow("two-byte record replaces two bytes")
        << objcopy_image(0x3100, config_record.left(2)) << config_bytes(0xFF, 0xFF, 0x02, 0x05)
        << config_bytes(0x32, 0x67, 0x02, 0x05) << QStringList{"", "", "2015/3/7", "3"};
    QTest::newRow("0x3110 is not the record")
        << objcopy_image(0x3110, config_record) << config_bytes(0, 0, 0, 0) << config_bytes(0, 0, 0, 0)
        << QStringList{"Quorinel VR20", "", "2013/0/0", "0"};
}

void TstPackageSlots::select_image()
{
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, held);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, labels);
    WindowRig r;
    // Labels from an earlier image with a known MCU: a code without text clears them.
    r.window->ui.label_mcu->setText("MC9S08PT60");
    r.window->ui.label_model->setText("earlier");
    WindowState::config(*r.window) = config_of(held);
    const QString path = r.write("image.s19", image);

    r.choose_image(path);
    QVERIFY(r.driver.boxes().isEmpty());
    QCOMPARE(r.files->asked(), QStringList{R"x(open "Open Files" in .. for "Text Files(*.s19)")x"});

    QCOMPARE(r.window->ui.lineEdit_s19->text(), path);
    QCOMPARE(bytes_of(WindowState::config(*r.window)).toHex(), after.toHex());
    QCOMPARE(r.labels(), labels);
    QVERIFY(!WindowState::image_open(*r.window));
}

void TstPackageSlots::select_image_logs()
{
    WindowRig r;
    const QString path
        = r.write("image.s19", "S00600004844521B\nS107300001020304BE\nS1073100326701002D\nS9030000FC\n");
    harness::MessageLog log(debug_rules);
    r.choose_image(path);
    QCOMPARE(
        log.debug_texts(),
        QStringList({"Line: S107300001020304BE", "ADDR = 0x3000", "ADDR = 0x3100", "Line: S1073100326701002D",
                     "Number: 7", "config[0][1][2][3] = 0x32, 0x67, 0x1, 0x0"}));
}

void TstPackageSlots::image_dialog_cancelled()
{
    WindowRig r;
    const QString path = r.write("image.s19", objcopy_image(0x3100, config_record));
    r.choose_image(path);
    r.choose_image(QString());
    QVERIFY(r.driver.boxes().isEmpty());
    QCOMPARE(r.window->ui.lineEdit_s19->text(), path);
    QCOMPARE(r.labels(), (QStringList{"Quorinel VR20", "MC9S08PT60", "2015/3/7", "3"}));
    // With no image chosen a build is refused.
    r.choose_package(r.dir.filePath("p.bin"));
    r.start();
    QCOMPARE(r.driver.texts(), QStringList{"S file and Bin file are all empty!"});
    QVERIFY(!QFileInfo::exists(r.dir.filePath("p.bin")));
}

void TstPackageSlots::image_not_opened()
{
    WindowRig r;
    r.window->ui.label_date->setText("earlier");
    const QString missing = r.dir.filePath("missing.s19");
    r.choose_image(missing);
    QCOMPARE(r.driver.texts(), QStringList{"Fail to open S19 file!"});
    const harness::ShownBox box = r.driver.boxes().first();
    QCOMPARE(box.title, QStringLiteral("Warning"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
    QVERIFY(box.parentless);
    QCOMPARE(r.window->ui.lineEdit_s19->text(), missing);
    QCOMPARE(r.window->ui.label_date->text(), QStringLiteral("earlier"));
    // The image chosen is the missing one: a build tries it.
    r.driver.clear();
    r.choose_package(r.dir.filePath("p.bin"));
    r.start();
    QCOMPARE(r.driver.texts(), QStringList{"Fail to open S file!"});

    r.driver.clear();
    r.choose_image(r.dir.path()); // a folder
    QCOMPARE(r.driver.texts(), QStringList{"Fail to open S19 file!"});
    QVERIFY(!WindowState::image_open(*r.window));
}

void TstPackageSlots::select_package_path()
{
    WindowRig r;
    r.choose_image(r.write("image.s19", objcopy_image(0xE000, ramp(16))));
    const QString path = r.dir.filePath("out.bin");
    r.choose_package(path);
    QCOMPARE(r.files->asked().size(), 2);
    QCOMPARE(r.files->asked().last(),
             QString(R"x(save "Save Files" in .. for "Text Files(*.bin)", parentless)x"));
    QCOMPARE(r.window->ui.lineEdit_bin->text(), path);

    // A cancelled choice leaves no package path, whatever the field shows.
    r.choose_package(QString());
    QCOMPARE(r.window->ui.lineEdit_bin->text(), path);
    QVERIFY(r.driver.boxes().isEmpty());
    r.start();
    QCOMPARE(r.driver.texts(), QStringList{"S file and Bin file are all empty!"});
    QVERIFY(!QFileInfo::exists(path));
}

void TstPackageSlots::build_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QStringList>("debug");
    QTest::newRow("configuration and a page-crossing record") << objcopy_image(0x3100, config_record)
            + objcopy_image(0xE1F8, ramp(16)) << 2 << QStringList{"ADDR = 0xe00", "ADDR = 0xe20"};
    QTest::newRow("no S1 data") << QByteArray("S00600004844521B\nS9030000FC\n") << 1
                                << QStringList{"ADDR = 0x00"};
    QTest::newRow("0x8000 at 0xA000") << objcopy_image(0x8000, ramp(16)) << 1 << QStringList{"ADDR = 0xa00"};
}

void TstPackageSlots::build()
{
    QFETCH(QByteArray, image);
    QFETCH(int, blocks);
    QFETCH(QStringList, debug);
    WindowRig r;
    const QString out = r.dir.filePath("out.bin");
    r.choose_image(r.write("image.s19", image));
    r.choose_package(out);
    QStringList messages;
    {
        harness::MessageLog log(debug_rules);
        r.start();
        messages = log.debug_texts();
    }
    QCOMPARE(messages, debug);
    QVERIFY(r.driver.boxes().isEmpty());
    const QByteArray package = read_file(out);
    QCOMPARE(package.size(), 4 + 546 * blocks);
    QCOMPARE(package.toHex(), fixture::build(image).package.toHex());
}

void TstPackageSlots::build_refused_data()
{
    QTest::addColumn<bool>("choose_image");
    QTest::addColumn<bool>("image_exists");
    QTest::addColumn<QString>("package"); // relative; empty: none chosen
    QTest::addColumn<QString>("warning");
    QTest::newRow("nothing chosen") << false << true << QString() << "S file and Bin file are all empty!";
    QTest::newRow("no package chosen") << true << true << QString() << "S file and Bin file are all empty!";
    QTest::newRow("no image chosen") << false << true << "out.bin"
                                     << "S file and Bin file are all empty!";
    QTest::newRow("image gone") << true << false << "out.bin"
                                << "Fail to open S file!";
    QTest::newRow("package folder missing") << true << true << "nowhere/out.bin"
                                            << "Fail to open Bin file!";
}

// A refused or failed build writes nothing: the package is opened only
// after the image opened.
void TstPackageSlots::build_refused()
{
    QFETCH(bool, choose_image);
    QFETCH(bool, image_exists);
    QFETCH(QString, package);
    QFETCH(QString, warning);
    WindowRig r;
    const QString image = r.write("image.s19", objcopy_image(0xE000, ramp(16)));
    if (choose_image)
        r.choose_image(image);
    if (!image_exists)
        QVERIFY(QFile::remove(image));
    if (!package.isEmpty())
        r.choose_package(r.dir.filePath(package));
    r.driver.clear();
    r.window->ui.progressBar_package->setValue(0);
    r.start();
    QCOMPARE(r.driver.texts(), QStringList{warning});
    QCOMPARE(r.driver.boxes().first().title, QStringLiteral("Warning"));
    QVERIFY(r.driver.boxes().first().parentless);
    QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files),
             image_exists ? QStringList{"image.s19"} : QStringList{});
}

// A package chosen on the Update tab replaces fw_config; the build still
// takes the header from its image.
void TstPackageSlots::header_from_image_not_loaded_package()
{
    WindowRig r;
    const QString out = r.dir.filePath("out.bin");
    r.choose_image(
        r.write("image.s19", objcopy_image(0x3100, config_record) + objcopy_image(0xE000, ramp(16))));
    r.choose_package(out);
    WindowState::config(*r.window) = config_of(config_bytes(0xFF, 0xFF, 0x02, 0x07));
    r.start();
    QCOMPARE(read_file(out).left(4).toHex(), config_record.toHex());
}

// The shared dialog path may be taken by another dialog in between.
void TstPackageSlots::writes_to_chosen_package_path()
{
    WindowRig r;
    const QString out = r.dir.filePath("out.bin");
    r.choose_image(r.write("image.s19", objcopy_image(0xE000, ramp(16))));
    r.choose_package(out);
    // The Update tab's package dialog chooses another file after it.
    const QByteArray other_bytes = config_bytes(0x32, 0x67, 0x01, 0x00);
    const QString other = r.write("other.bin", other_bytes);
    r.files->queue(other);
    r.window->ui.pushButton_bin_update->click();
    QCOMPARE(r.window->ui.lineEdit_update->text(), other);
    r.start();
    QVERIFY(r.driver.boxes().isEmpty());
    QCOMPARE(read_file(out).size(), 550);
    QCOMPARE(read_file(other), other_bytes);
}

void TstPackageSlots::progress_bar()
{
    WindowRig r;
    QByteArray image = objcopy_image(0xE000, random_bytes(160, 3)); // S0, 10 x S1, S9
    image += "S1130000"; // no line end: neither counted nor converted
    r.choose_image(r.write("image.s19", image));
    r.choose_package(r.dir.filePath("out.bin"));
    QList<int> values;
    QProgressBar *bar = r.window->ui.progressBar_package;
    bar->setValue(5); // so that the first 0 shows as a change
    connect(bar, &QProgressBar::valueChanged, this, [&values](int v) { values.append(v); });
    r.start();
    QCOMPARE(bar->maximum(), 12);
    QCOMPARE(bar->value(), 12);
    QList<int> want;
    for (int v = 0; v <= 12; ++v)
        want.append(v);
    QCOMPARE(values, want);
}

// Start pressed again while a build processes events does not start a
// second build into the same file.
void TstPackageSlots::second_start_ignored_while_building()
{
    WindowRig r;
    const QString out = r.dir.filePath("out.bin");
    const QByteArray image = objcopy_image(0x3200, random_bytes(4096, 5));
    r.choose_image(r.write("image.s19", image));
    r.choose_package(out);
    int pressed = 0;
    connect(r.window->ui.progressBar_package, &QProgressBar::valueChanged, this, [&](int v) {
        if (v == 10 && pressed++ == 0)
            QTimer::singleShot(0, r.window->ui.pushButton_package_start, &QPushButton::click);
    });
    harness::MessageLog log(debug_rules);
    r.start();
    QCOMPARE(pressed, 1);
    QCOMPARE(log.debug_texts().filter("ADDR").size(), 8); // one build of 8 blocks
    QVERIFY(r.driver.boxes().isEmpty());
    QCOMPARE(read_file(out).toHex(), fixture::build(image).package.toHex());
    // Afterwards Start builds again (the reference build above logged too).
    const int logged = log.debug_texts().filter("ADDR").size();
    r.start();
    QCOMPARE(log.debug_texts().filter("ADDR").size() - logged, 8);
}

// Files may grow to 8 KiB only (SIGXFSZ ignored, so writes fail with EFBIG):
// the build reports it and the earlier package stays.
void TstPackageSlots::write_error_reported()
{
    WindowRig r;
    const QString out = r.write("out.bin", "earlier package");
    r.choose_image(r.write("image.s19", objcopy_image(0x3200, random_bytes(0x4000, 7))));
    r.choose_package(out);

    struct rlimit saved {
    };
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    struct rlimit small = saved;
    small.rlim_cur = 8192;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    r.start();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    QCOMPARE(r.driver.texts(), QStringList{"Fail to write Bin file!"});
    QCOMPARE(r.driver.boxes().first().title, QStringLiteral("Warning"));
    QCOMPARE(read_file(out), QByteArray("earlier package"));
    QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files).size(), 2);
}

QTEST_MAIN(TstPackageSlots)
#include "tst_package_slots.moc"
