#pragma once

// The rows of the window's two port boxes after the fifteen COM names, and
// what the window says when a port does not open. Free of widgets, so that
// tests can run them by table.

#include <QList>
#include <QString>
#include <QStringList>

#include "port_listing.h"

// The rows that follow `fixed` (the COM names, opened as port_location()
// says): the listed ports in the listing's order, then each of `kept` (a port
// the user chose that the listing does not hold) that is not among them. A
// port is one row: an entry whose location is already a row is left out.
QList<PortEntry> port_rows(const QStringList &fixed, const QList<PortEntry> &listed,
                           const QList<PortEntry> &kept);

// A row's tooltip: the description, if any, over the path.
QString port_tooltip(const PortEntry &entry);

// The detailed text of "Cannot Open or Find the Port!" for an open that
// failed with `error_number` (an errno value; 0 when a plain open of the path
// succeeds, so that only the serial line's set-up failed): the system's
// reason and, where there is one, what the user can do about it.
QString port_failure_detail(int error_number);
