#pragma once

// What the X server itself holds of a window, rather than what the toolkit
// believes of it: its size in the server's own pixels, as xwininfo reads it.

#include <QProcess>
#include <QRegularExpression>
#include <QSize>
#include <QStringList>

#include <optional>

// The size of the window xwininfo finds by `which` ({"-id", ID} or {"-name",
// TITLE}) on the display DISPLAY names; nothing while there is none.
inline std::optional<QSize> x_window_size(const QStringList &which)
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), which);
    if (!xwininfo.waitForFinished() || xwininfo.exitCode() != 0)
        return std::nullopt;
    const QString out = QString::fromLocal8Bit(xwininfo.readAllStandardOutput());
    const QRegularExpressionMatch width = QRegularExpression(QStringLiteral("Width: (\\d+)")).match(out);
    const QRegularExpressionMatch height = QRegularExpression(QStringLiteral("Height: (\\d+)")).match(out);
    if (!width.hasMatch() || !height.hasMatch())
        return std::nullopt;
    return QSize(width.captured(1).toInt(), height.captured(1).toInt());
}
