#pragma once

#include <QList>
#include <QString>

#include <memory>
#include <optional>

// The serial ports a machine offers, as a small interface: the window and
// vr20-box list them through it, and tests fill one of their own.
struct PortEntry {
    enum class State { free, busy, denied };

    QString path; // "/dev/ttyUSB0"
    QString name; // "ttyUSB0"
    QString description; // the driver's or the adapter's description, may be empty
    QString usb_id; // "0403:6001" for a USB adapter, else empty
    bool usb = false; // a USB adapter (ttyUSB*, ttyACM*, a USB vendor id), not a built-in UART
    State state = State::free;

    bool operator==(const PortEntry &o) const;
};

// "free", "busy" or "denied".
const char *port_state_name(PortEntry::State state);

class PortListing
{
public:
    virtual ~PortListing() = default;
    // The serial ports, sorted by path.
    virtual QList<PortEntry> ports() const = 0;
};

// The ports the system lists. The state of each is found without
// reconfiguring its line: a plain non-blocking open that is closed at once.
// A port whose device is gone by the time it is probed (ENOENT, ENXIO,
// ENODEV) is left out.
class SystemPortListing : public PortListing
{
public:
    QList<PortEntry> ports() const override;
};

// The entry for one port from what the system says of it: usb_id
// "vvvv:pppp" (lower-case hex) only when both ids are known; usb for a
// ttyUSB* or ttyACM* name or when a USB vendor id is known.
PortEntry port_entry(const QString &path, const QString &name, const QString &description,
                     std::optional<quint16> vendor_id, std::optional<quint16> product_id,
                     PortEntry::State state);

// Where QSerialPort opens `name`, and so where the window does: a path
// ("/dev/ttyUSB0", "./tty0", "../tty0") as it stands, a bare name ("COM3",
// "pts/4") under /dev.
QString port_location(const QString &name);

// The entry for a port named by the user (a name or a path) rather than
// listed: its path is port_location(name), its name that path under /dev
// ("pts/4") or the whole path elsewhere; no description; usb by name as
// port_entry says; state free (it is not probed).
PortEntry named_port(const QString &name);

// The state of one device path, found the same way: free when the open
// succeeds; busy for EBUSY (a program holds it with TIOCEXCL, as the window
// and vr20-box do) and EIO (the device is hanging up or going away); denied
// for EACCES and EPERM, and for every other failure too (ENOENT, ENXIO,
// ENODEV, ...): it cannot be opened, and waiting will not change that.
// `error_number` (may be null) receives the open's errno, 0 on success, for
// callers that must tell these apart.
// The kernel lets a process with CAP_SYS_ADMIN (root) open a terminal held
// with TIOCEXCL, so for root a port held by another program reads free.
PortEntry::State probe_port_state(const QString &path, int *error_number = nullptr);
