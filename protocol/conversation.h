#pragma once

#include <optional>

#include "actions.h"

namespace protocol {

// One conversation with the box as a deterministic state machine: no I/O,
// no timers, no sleeping. Every conversation clears the port before it
// listens: nothing the box sent before the tool's first byte is an answer. Each event returns the actions the
// driver performs in order. Once the conversation has ended every event returns nothing, so a driver may feed
// it whatever still arrives.
//
// The driver feeds:
// - start() once;
// - on_reply() with every reply byte the box sends while it listens;
// - on_silence() when the watchdog runs out;
// - on_read() with the result of a read_byte action (nullopt: nothing came);
// - on_send_failed() when a byte sent with `wait` was not written in time;
// - on_message_closed() when the box of a message action has been closed;
// - on_line_lost() when the port failed (the far end hung up).
class Conversation
{
public:
    virtual ~Conversation() = default;

    Actions start() { return track(do_start()); }
    Actions on_reply(uint8_t byte);
    Actions on_silence() { return deaf() ? Actions{} : track(do_silence()); }
    Actions on_read(std::optional<uint8_t> byte);
    Actions on_send_failed() { return deaf() ? Actions{} : track(do_send_failed()); }
    Actions on_message_closed();
    Actions on_line_lost() { return deaf() ? Actions{} : track(do_line_lost()); }

    // An end action has been returned.
    bool ended() const { return has_ended; }
    bool watchdog_armed() const { return armed; }
    // A read_byte action waits for its result.
    bool awaiting_read() const { return read_pending; }
    // Message boxes shown and not yet closed.
    int open_messages() const { return messages_open; }
    // Waiting for the box without a watchdog, where the conversation has none.
    virtual bool waits_unwatched() const { return false; }
    // The last reply byte took the conversation a step on: it was answered
    // with more than a restarted watchdog or a log entry (moves_on), or it
    // was a start byte the conversation waited for. A driver that gives up
    // after a time without steps is not held up by a box that floods bytes
    // the conversation ignores.
    bool took_last_reply() const { return took_reply; }

protected:
    virtual Actions do_start() = 0;
    virtual Actions do_reply(uint8_t byte) = 0;
    virtual Actions do_silence() { return {}; }
    virtual Actions do_read(std::optional<uint8_t>) { return {}; }
    virtual Actions do_send_failed() { return {}; }
    virtual Actions do_message_closed() { return {}; }
    virtual Actions do_line_lost() = 0;

    // A reply byte answered with nothing still took the conversation on.
    void take_reply() { took_reply = true; }

    // Gives up: the watchdog (if armed) stops and `message` shows; from then on the
    // conversation hears nothing but the box's closing, which ends it.
    Actions fail(MessageId message);

private:
    Actions track(Actions actions);
    bool deaf() const { return has_ended || failed; }

    bool took_reply = false;
    bool has_ended = false;
    bool failed = false;
    bool armed = false;
    bool read_pending = false;
    int messages_open = 0;
};

} // namespace protocol
