#pragma once

// What the X server itself holds of a window, rather than what the toolkit
// believes of it: its size in the server's own pixels.

#include <QSize>
#include <QString>

#include <optional>

// The size of the mapped top-level window of process `pid` titled `title`, on
// the display DISPLAY names; nothing while there is none.
std::optional<QSize> x_window_size(const QString &title, qint64 pid);
