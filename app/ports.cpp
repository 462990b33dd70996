#include "ports.h"

#include <QSet>

#include <cerrno>

QList<PortEntry> port_rows(const QStringList &fixed, const QList<PortEntry> &listed,
                           const QList<PortEntry> &kept)
{
    QSet<QString> taken;
    for (const QString &name : fixed)
        taken.insert(port_location(name));
    QList<PortEntry> rows;
    for (const QList<PortEntry> *entries : {&listed, &kept})
        for (const PortEntry &entry : *entries) {
            if (taken.contains(entry.path))
                continue;
            taken.insert(entry.path);
            rows.append(entry);
        }
    return rows;
}

QString port_tooltip(const PortEntry &entry)
{
    return entry.description.isEmpty() ? entry.path : entry.description + QLatin1Char('\n') + entry.path;
}

QString port_failure_detail(int error_number)
{
    if (error_number == 0)
        return QStringLiteral("The port opens, but it cannot be set up as a serial line.");
    QString detail = qt_error_string(error_number);
    switch (error_number) {
    case EACCES:
    case EPERM:
        // Debian gives serial ports to the group "dialout"; a new group
        // membership counts from the next login.
        detail += QStringLiteral("\n\nSerial ports belong to the group \"dialout\". Add your user to it:\n"
                                 "    sudo usermod -aG dialout $USER\n"
                                 "then log out and log in again.");
        break;
    case EBUSY:
        detail += QStringLiteral("\n\nAnother program holds the port. Close it, then choose the port again.");
        break;
    default:
        break;
    }
    return detail;
}
