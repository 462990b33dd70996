#pragma once

// What the X server itself holds of a window, rather than what the toolkit
// believes of it: its size in the server's own pixels.

#include <QSize>
#include <QString>

#include <memory>
#include <optional>

struct xcb_connection_t;

// A connection of its own to the display DISPLAY names. While it is open the
// server has a client, so it does not reset between the programs a test
// starts one after another (a server resetting refuses their connections).
class XServer
{
public:
    XServer();
    bool connected() const;

    // The size of the mapped top-level window of process `pid` titled
    // `title`; nothing while there is none.
    std::optional<QSize> window_size(const QString &title, qint64 pid) const;

private:
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t *)> connection;
};
