#include "actions.h"

#include <algorithm>

namespace protocol {

QString status_text(Status status, int value)
{
    const QString started = QStringLiteral("Bootloader Started...");
    switch (status) {
    case Status::entering_bootloader:
        return QStringLiteral("Getting into Bootloader Mode...");
    case Status::bootloader_started:
        return started;
    case Status::bytes_loaded:
        // No space at either join: "Bootloader Started...17Bytes Loaded".
        return started + QString::number(value) + QStringLiteral("Bytes Loaded");
    case Status::update_completed:
        return QStringLiteral("Update completed!");
    case Status::update_failed:
        return QStringLiteral("Update process failed!");
    }
    return QString();
}

Action Action::send(uint8_t byte, bool wait)
{
    Action a = of(Kind::send);
    a.byte = byte;
    a.wait = wait;
    return a;
}

Action Action::pause(milliseconds duration)
{
    return of(Kind::pause, int(duration.count()));
}

Action Action::read_byte(milliseconds limit)
{
    return of(Kind::read_byte, int(limit.count()));
}

Action Action::arm_watchdog(milliseconds limit)
{
    return of(Kind::arm_watchdog, int(limit.count()));
}

Action Action::progress(int value)
{
    return of(Kind::progress, value);
}

Action Action::row_ready(int satellite, const uint8_t *record, int size)
{
    Action a = of(Kind::row_ready, satellite);
    a.data = QByteArray(reinterpret_cast<const char *>(record), size);
    return a;
}

Action Action::log(const QByteArray &text)
{
    Action a = of(Kind::log);
    a.data = text;
    return a;
}

Action Action::show_status(Status status, int value)
{
    Action a = of(Kind::status, value);
    a.status = status;
    return a;
}

Action Action::show(MessageId message)
{
    Action a = of(Kind::message);
    a.message = message;
    return a;
}

Action Action::end(Outcome outcome, MessageId message)
{
    Action a = of(Kind::end);
    a.outcome = outcome;
    a.message = message;
    return a;
}

bool Action::operator==(const Action &o) const
{
    return kind == o.kind && byte == o.byte && wait == o.wait && value == o.value && status == o.status
        && message == o.message && outcome == o.outcome && data == o.data;
}

bool moves_on(const Actions &actions)
{
    return std::any_of(actions.begin(), actions.end(), [](const Action &a) {
        return a.kind != Action::Kind::arm_watchdog && a.kind != Action::Kind::log;
    });
}

Actions operator+(Actions first, const Actions &then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

QString describe(const Action &a)
{
    const auto hex = [](uint8_t b) { return QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0')); };
    switch (a.kind) {
    case Action::Kind::clear_port:
        return QStringLiteral("clear");
    case Action::Kind::listen:
        return QStringLiteral("listen");
    case Action::Kind::send:
        return QStringLiteral("send ") + hex(a.byte) + (a.wait ? QStringLiteral(" wait") : QString());
    case Action::Kind::pause:
        return QStringLiteral("pause %1").arg(a.value);
    case Action::Kind::read_byte:
        return QStringLiteral("read %1").arg(a.value);
    case Action::Kind::arm_watchdog:
        return QStringLiteral("watchdog %1").arg(a.value);
    case Action::Kind::stop_watchdog:
        return QStringLiteral("watchdog stop");
    case Action::Kind::progress:
        return QStringLiteral("progress %1").arg(a.value);
    case Action::Kind::row_ready:
        return QStringLiteral("row %1 %2").arg(a.value).arg(QString::fromLatin1(a.data.toHex()));
    case Action::Kind::log:
        return QStringLiteral("log ") + QString::fromLatin1(a.data.toHex());
    case Action::Kind::status:
        return QStringLiteral("status ") + status_text(a.status, a.value);
    case Action::Kind::message:
        return QStringLiteral("message ") + QLatin1String(message_name(a.message));
    case Action::Kind::end:
        return QStringLiteral("end ") + (a.outcome == Outcome::success ? "success" : "failure")
            + (a.message == MessageId::none ? QString() : QStringLiteral(" ") + message_name(a.message));
    }
    return QString();
}

QStringList describe(const Actions &actions)
{
    QStringList texts;
    for (const Action &a : actions)
        texts << describe(a);
    return texts;
}

} // namespace protocol
