#pragma once

#include <QString>
#include <QStringList>

class PortListing;

namespace vr20box {

// What the program's exit status says.
enum Exit : int {
    done = 0,
    file_error = 1, // a file could not be read or written, or a package is broken
    usage = 2,
    port_error = 3, // the port is missing, busy, or not permitted
    no_answer = 4, // no 'P', or silent past --timeout
    refused = 5, // the box refused or reported a failure ('V', 'W', 'X', 'Z', ']')
    transfer_broke = 6, // hang-up, unplugged adapter, the 16th 'U', an unexpected byte
    differs = 7, // list write --verify, list diff: the lists differ
    interrupted = 130,
};

// The port to use. `option` is --port's value (empty: not given): a path
// ("/dev/ttyUSB0") as it stands, a bare name ("COM3", "ttyUSB0") under /dev,
// as the window opens it. Without it, the one USB adapter attached; never a
// guess among several, never a built-in UART.
struct PortChoice {
    QString path; // empty when none could be chosen
    QString note; // said on stderr when the port was chosen for the user
    QString error; // why none was chosen, with the ports listed
};
PortChoice choose_port(const QString &option, const PortListing &listing);

// The whole program: `args` without the program name.
int run(const QStringList &args, const PortListing &listing);

} // namespace vr20box
