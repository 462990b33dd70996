#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <vector>

#include "messages.h"

namespace protocol {

using std::chrono::milliseconds;

// Silence after which a conversation with a watchdog asks again.
constexpr milliseconds reply_watchdog{2000};

enum class Outcome : uint8_t { success, failure };

// Texts of the update's status label.
enum class Status : uint8_t {
    entering_bootloader, // "Getting into Bootloader Mode..."
    bootloader_started, // "Bootloader Started..."
    bytes_loaded, // "Bootloader Started..." N "Bytes Loaded" (value = N)
    update_completed, // "Update completed!"
    update_failed, // "Update process failed!"
};
QString status_text(Status status, int value = 0);

// One thing a driver does for a conversation. Plain values, cheap to copy.
struct Action {
    enum class Kind : uint8_t {
        clear_port, // discard received and unsent bytes
        listen, // start taking the box's reply bytes (arm the reply route)
        send, // `byte`; `wait`: wait until it has been written
        pause, // `value` ms
        read_byte, // a blocking read of one byte, at most `value` ms; its result goes to on_read()
        arm_watchdog, // (re)start the silence watchdog with `value` ms
        stop_watchdog,
        progress, // the flow's progress bar shows `value`
        row_ready, // satellite `value` (1..199) arrived whole: its record is `data` (20 bytes)
        log, // `data` goes to the transfer log
        status, // the status label shows `status_text(status, value)`
        message, // show `message`; the conversation goes on and hears on_message_closed()
        end, // the conversation is over with `outcome`; `message` (if any) is shown after
             // the port and the flow's connections have been released
    };

    Kind kind = Kind::clear_port;
    uint8_t byte = 0;
    bool wait = false;
    int value = 0;
    Status status = Status::entering_bootloader;
    MessageId message = MessageId::none;
    Outcome outcome = Outcome::success;
    QByteArray data;

    static Action clear_port() { return of(Kind::clear_port); }
    static Action listen() { return of(Kind::listen); }
    static Action send(uint8_t byte, bool wait);
    static Action pause(milliseconds duration);
    static Action read_byte(milliseconds limit);
    static Action arm_watchdog(milliseconds limit = reply_watchdog);
    static Action stop_watchdog() { return of(Kind::stop_watchdog); }
    static Action progress(int value);
    static Action row_ready(int satellite, const uint8_t *record, int size);
    static Action log(const QByteArray &text);
    static Action show_status(Status status, int value = 0);
    static Action show(MessageId message);
    static Action end(Outcome outcome, MessageId message = MessageId::none);

    bool operator==(const Action &o) const;
    bool operator!=(const Action &o) const { return !(*this == o); }

private:
    static Action of(Kind kind, int value = 0)
    {
        Action a;
        a.kind = kind;
        a.value = value;
        return a;
    }
};

using Actions = std::vector<Action>;

// Whether a reply's actions take the conversation a step on: anything beyond
// restarting the watchdog and logging. A box that floods bytes the
// conversation ignores makes no step.
bool moves_on(const Actions &actions);

// `first`, then `then`.
Actions operator+(Actions first, const Actions &then);

// A readable form for tests and traces: "send 0x48 wait", "pause 200",
// "watchdog 2000", "row 3 <hex>", "end failure list_transfer_error", ...
QString describe(const Action &action);
QStringList describe(const Actions &actions);

} // namespace protocol
