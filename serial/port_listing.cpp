#include "port_listing.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

bool PortEntry::operator==(const PortEntry &o) const
{
    return path == o.path && name == o.name && description == o.description && usb_id == o.usb_id
        && usb == o.usb && state == o.state;
}

const char *port_state_name(PortEntry::State state)
{
    switch (state) {
    case PortEntry::State::free:
        return "free";
    case PortEntry::State::busy:
        return "busy";
    case PortEntry::State::denied:
        return "denied";
    }
    return "unknown";
}

PortEntry port_entry(const QString &path, const QString &name, const QString &description,
                     std::optional<quint16> vendor_id, std::optional<quint16> product_id,
                     PortEntry::State state)
{
    PortEntry entry;
    entry.path = path;
    entry.name = name;
    entry.description = description;
    if (vendor_id && product_id)
        entry.usb_id = QString::asprintf("%04x:%04x", unsigned(*vendor_id), unsigned(*product_id));
    entry.usb = name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"))
        || vendor_id.has_value();
    entry.state = state;
    return entry;
}

QString port_location(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../")))
        return name;
    return QLatin1String("/dev/") + name;
}

PortEntry named_port(const QString &name)
{
    const QString path = port_location(name);
    const QLatin1String dev("/dev/");
    const QString shown = path.startsWith(dev) ? path.mid(dev.size()) : path;
    return port_entry(path, shown, QString(), std::nullopt, std::nullopt, PortEntry::State::free);
}

PortEntry::State probe_port_state(const QString &path, int *error_number)
{
    const QByteArray native = path.toLocal8Bit();
    int fd;
    do
        fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    const int error = fd < 0 ? errno : 0;
    if (error_number)
        *error_number = error;
    if (fd >= 0) {
        ::close(fd);
        return PortEntry::State::free;
    }
    switch (error) {
    case EBUSY:
    case EIO:
        return PortEntry::State::busy;
    default:
        return PortEntry::State::denied;
    }
}

QList<PortEntry> SystemPortListing::ports() const
{
    QList<PortEntry> entries;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        int error = 0;
        const PortEntry::State state = probe_port_state(info.systemLocation(), &error);
        // A node without a device behind it (the adapter was pulled out
        // meanwhile) is no port.
        if (error == ENOENT || error == ENXIO || error == ENODEV)
            continue;
        entries.append(port_entry(
            info.systemLocation(), info.portName(), info.description(),
            info.hasVendorIdentifier() ? std::optional<quint16>(info.vendorIdentifier()) : std::nullopt,
            info.hasProductIdentifier() ? std::optional<quint16>(info.productIdentifier()) : std::nullopt,
            state));
    }
    std::sort(entries.begin(), entries.end(),
              [](const PortEntry &a, const PortEntry &b) { return a.path < b.path; });
    return entries;
}
