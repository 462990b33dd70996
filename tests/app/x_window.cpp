#include "x_window.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QByteArray property(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, type, 0, 1024), nullptr));
    if (!reply)
        return {};
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

} // namespace

XServer::XServer()
    : connection(xcb_connect(nullptr, nullptr), xcb_disconnect)
{ }

bool XServer::connected() const
{
    return xcb_connection_has_error(connection.get()) == 0;
}

std::optional<QSize> XServer::window_size(const QString &title, qint64 pid) const
{
    if (!connected())
        return std::nullopt;
    xcb_connection_t *c = connection.get();
    const xcb_atom_t pid_atom = atom(c, "_NET_WM_PID");
    const xcb_atom_t name_atom = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8_atom = atom(c, "UTF8_STRING");
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!tree)
        return std::nullopt;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        const xcb_window_t window = children[i];
        const QByteArray owner = property(c, window, pid_atom, XCB_ATOM_CARDINAL);
        uint32_t owner_pid = 0;
        if (owner.size() != sizeof owner_pid)
            continue;
        std::memcpy(&owner_pid, owner.constData(), sizeof owner_pid);
        if (owner_pid != pid || QString::fromUtf8(property(c, window, name_atom, utf8_atom)) != title)
            continue;
        const Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        const Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
        if (geometry)
            return QSize(geometry->width, geometry->height);
    }
    return std::nullopt;
}
