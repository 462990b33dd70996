#include "update_rig.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTest>

#include <random>

#include "serial_port_handle.h"

struct UpdateRigTag;
template <>
struct VelmoraAccess<UpdateRigTag> {
    static bool package_open(velmora &w) { return w.loaded_package.has_value(); }
    static int byte_count(velmora &w) { return w.update_label_count; }
    static std::fstream &log_file(velmora &w) { return w.log_file; }
};
using Access = VelmoraAccess<UpdateRigTag>;

namespace update_test {

bool session_running(velmora &w)
{
    return !w.ui.pushButton_update_close->isEnabled();
}
bool package_open(velmora &w)
{
    return Access::package_open(w);
}
int bytes_counted(velmora &w)
{
    return Access::byte_count(w);
}
std::fstream &transfer_log(velmora &w)
{
    return Access::log_file(w);
}

QString first_difference(const boxsim::Bytes &actual, const boxsim::Bytes &expected)
{
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        ++i;
    if (i == actual.size() && i == expected.size())
        return QString();
    auto around = [i](const boxsim::Bytes &bytes) {
        QStringList text;
        for (std::size_t k = i >= 4 ? i - 4 : 0; k < std::min(bytes.size(), i + 4); ++k) {
            const QString hex = QStringLiteral("%1").arg(bytes[k], 2, 16, QLatin1Char('0'));
            text << (k == i ? QLatin1Char('[') + hex + QLatin1Char(']') : hex);
        }
        return text.join(QLatin1Char(' '));
    };
    return QStringLiteral("at byte %1 of %2 (expected %3): got %4, expected %5")
        .arg(i)
        .arg(actual.size())
        .arg(expected.size())
        .arg(around(actual), around(expected));
}

QByteArray TestPackage::file_bytes() const
{
    QByteArray bytes(reinterpret_cast<const char *>(header.bytes), int(package_header_size));
    for (const PackageBlock &block : blocks)
        bytes.append(reinterpret_cast<const char *>(block.bytes), int(package_block_size));
    return bytes + trailing;
}

boxsim::Bytes TestPackage::clean_session(int extra_p) const
{
    boxsim::Bytes line{'E'};
    line.insert(line.end(), size_t(extra_p) + 1, 'R');
    line.insert(line.end(), std::begin(header.bytes), std::end(header.bytes));
    for (const PackageBlock &block : blocks) {
        line.push_back('a');
        line.push_back(block.bytes[0]);
        line.insert(line.end(), block.bytes + 2, block.bytes + package_block_size);
    }
    line.push_back('[');
    return line;
}

TestPackage make_package(int blocks, int trailing_bytes, unsigned seed)
{
    std::mt19937 random(seed);
    auto next_byte = [&] { return uint8_t(random() & 0xFF); };
    TestPackage package;
    package.header = FirmwareConfig{{0x32, 0x67, 0x01, 0x00}};
    for (int b = 0; b < blocks; ++b) {
        PackageBlock block;
        set_block_page(block, uint16_t(0x4000 + 0x200 * b));
        for (std::size_t k = 0; k < block_lines; ++k) {
            for (std::size_t i = 0; i < line_data_bytes; ++i)
                block.bytes[block_line_pos(k, i)] = next_byte();
            block.bytes[block_line_pos(k, line_data_bytes)] = check_byte(block.bytes + block_line_pos(k));
        }
        package.blocks.push_back(block);
    }
    for (int i = 0; i < trailing_bytes; ++i)
        package.trailing.append(char(next_byte()));
    return package;
}

boxsim::Bytes line_bytes(const PackageBlock &block, int line)
{
    const uint8_t *first = block.bytes + block_line_pos(std::size_t(line));
    return boxsim::Bytes(first, first + stored_line_bytes);
}

UpdateRig::UpdateRig(boxsim::Box::Settings settings)
    : box(settings)
{
    window = std::make_unique<velmora>();
    files = std::make_unique<harness::FileChoices>(*window);
    window->show();
    window->ui.tabWidget->setCurrentIndex(1);
    attached = QTest::qWaitForWindowExposed(window.get()) && dir.isValid()
        && harness::attach_port(*window, QString::fromStdString(box.slave_path()));
    // The start-up probe may have warned that no COM port exists.
    driver.clear();
}

UpdateRig::~UpdateRig()
{
    files.reset();
    window.reset();
}

QString UpdateRig::write_package(const TestPackage &package, const QString &name)
{
    return write_file(package.file_bytes(), name);
}

QString UpdateRig::write_file(const QByteArray &bytes, const QString &name)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

void UpdateRig::load(const QString &path)
{
    files->queue(path);
    window->ui.pushButton_bin_update->click();
}

void UpdateRig::press_start()
{
    window->ui.pushButton_update_start->click();
}

void UpdateRig::press_stop()
{
    window->ui.pushButton_update_stop->click();
}

bool UpdateRig::wait_session_end(int timeout_ms)
{
    // A plain event loop: waiting in short sleeps would hold every reply back
    // until the next wake-up.
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!session_running(*window) || clock.elapsed() > timeout_ms)
            loop.quit();
    });
    poll.start(5);
    if (session_running(*window))
        loop.exec();
    return !session_running(*window);
}

} // namespace update_test
