#pragma once

// The real window, its worker and a simulated box on a pseudo-terminal, with
// the package files an update needs.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include "box_sim.h"
#include "harness.h"
#include "package_block.h"
#include "velmora.h"

namespace update_test {

// A package as stored: the header, whole blocks and an optional trailing
// piece that is not a block.
struct TestPackage {
    FirmwareConfig header;
    std::vector<PackageBlock> blocks;
    QByteArray trailing;

    QByteArray file_bytes() const;
    // What a box that accepts everything receives: 'E', 'R' (once more for
    // each extra 'P'), the header, 'a', address and 544 line bytes per block,
    // then '['.
    boxsim::Bytes clean_session(int extra_p = 0) const;
};

// Blocks for consecutive pages from 0x4000 with random line data and valid
// check bytes; the same seed gives the same package.
TestPackage make_package(int blocks, int trailing_bytes = 0, unsigned seed = 1);

// Where two byte streams part, with the bytes around it; empty when equal.
QString first_difference(const boxsim::Bytes &actual, const boxsim::Bytes &expected);

// The 17 stored bytes of line `line` of a block.
boxsim::Bytes line_bytes(const PackageBlock &block, int line);

// Whether a session runs, as the window shows it: its Close button is
// disabled from Start to the end.
bool session_running(velmora &w);
// The window's update state that nothing on screen tells: whether the package
// stream is open, the byte count the label is to show, and the transfer log.
bool package_open(velmora &w);
int bytes_counted(velmora &w);
std::fstream &transfer_log(velmora &w);

class UpdateRig
{
public:
    // The box's default pace: the second byte of a pair ('T' then '^') comes
    // 20 ms after the tool has taken the first. The worker clears the port
    // after each byte it reads, so a byte right behind may be cleared with it
    // when the worker stalls (sanitizer builds, a busy machine).
    explicit UpdateRig(boxsim::Box::Settings settings = boxsim::Box::Settings{});
    ~UpdateRig();

    // The window is up, shows the Update tab and holds the box's port.
    bool ready() const { return attached; }

    QString write_package(const TestPackage &package, const QString &name = QStringLiteral("pkg.bin"));
    QString write_file(const QByteArray &bytes, const QString &name);
    // Chooses the file in the package dialog.
    void load(const QString &path);
    void press_start();
    void press_stop();
    // Waits until the session has ended (or the time is up).
    bool wait_session_end(int timeout_ms = 60000);

    QTemporaryDir dir;
    harness::OwnFolders folders{dir.path()};
    harness::ModalDriver driver; // before the window: it may warn while it is built
    boxsim::Box box;
    std::unique_ptr<velmora> window;
    std::unique_ptr<harness::FileChoices> files;

private:
    bool attached = false;
};

} // namespace update_test
