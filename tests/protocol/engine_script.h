#pragma once

// Drives a conversation through a script of events, as a driver would, and
// collects the actions it returns.
#include "conversation.h"

#include <QByteArray>
#include <QMetaType>
#include <QStringList>

#include <optional>
#include <vector>

namespace script {

struct Event {
    enum class Kind : uint8_t { start, reply, silence, read, send_failed, closed, lost };
    Kind kind;
    std::optional<uint8_t> byte;
};

class Script
{
public:
    Script &start() { return add(Event::Kind::start); }
    Script &reply(uint8_t byte) { return add(Event::Kind::reply, byte); }
    // Each byte of `bytes` as one reply.
    Script &replies(const QByteArray &bytes)
    {
        for (const char b : bytes)
            reply(uint8_t(b));
        return *this;
    }
    Script &replies(int count, uint8_t byte)
    {
        for (int i = 0; i < count; ++i)
            reply(byte);
        return *this;
    }
    Script &silence() { return add(Event::Kind::silence); }
    Script &read(std::optional<uint8_t> byte) { return add(Event::Kind::read, byte); }
    Script &send_failed() { return add(Event::Kind::send_failed); }
    Script &closed() { return add(Event::Kind::closed); }
    Script &lost() { return add(Event::Kind::lost); }
    Script &then(const Script &more)
    {
        events.insert(events.end(), more.events.begin(), more.events.end());
        return *this;
    }

    std::vector<Event> events;

private:
    Script &add(Event::Kind kind, std::optional<uint8_t> byte = std::nullopt)
    {
        events.push_back({kind, byte});
        return *this;
    }
};

inline protocol::Actions feed(protocol::Conversation &c, const Event &e)
{
    switch (e.kind) {
    case Event::Kind::start:
        return c.start();
    case Event::Kind::reply:
        return c.on_reply(*e.byte);
    case Event::Kind::silence:
        return c.on_silence();
    case Event::Kind::read:
        return c.on_read(e.byte);
    case Event::Kind::send_failed:
        return c.on_send_failed();
    case Event::Kind::closed:
        return c.on_message_closed();
    case Event::Kind::lost:
        return c.on_line_lost();
    }
    return {};
}

// All actions of all events, in order.
inline protocol::Actions run(protocol::Conversation &c, const Script &s)
{
    protocol::Actions all;
    for (const Event &e : s.events) {
        const protocol::Actions some = feed(c, e);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

inline QStringList texts(protocol::Conversation &c, const Script &s)
{
    return protocol::describe(run(c, s));
}

inline protocol::Actions of_kind(const protocol::Actions &actions, protocol::Action::Kind kind)
{
    protocol::Actions some;
    for (const protocol::Action &a : actions)
        if (a.kind == kind)
            some.push_back(a);
    return some;
}

// The bytes sent, in order.
inline QByteArray sent(const protocol::Actions &actions)
{
    QByteArray bytes;
    for (const protocol::Action &a : of_kind(actions, protocol::Action::Kind::send))
        bytes.append(char(a.byte));
    return bytes;
}

inline QStringList texts_of(const protocol::Actions &actions, protocol::Action::Kind kind)
{
    return protocol::describe(of_kind(actions, kind));
}

// "send 0x48 wait" for each byte.
inline QStringList sends(const QByteArray &bytes, bool wait = true)
{
    QStringList list;
    for (const char b : bytes)
        list << protocol::describe(protocol::Action::send(uint8_t(b), wait));
    return list;
}

inline QStringList repeat(int count, const QString &text)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << text;
    return list;
}

inline QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

} // namespace script

Q_DECLARE_METATYPE(script::Script)
