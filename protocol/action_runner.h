#pragma once

#include <deque>

#include "conversation.h"

namespace protocol {

// How a step on the line went.
enum class LineResult : uint8_t {
    ok,
    timed_out, // a send not written in time, a read with nothing in time
    stopped, // a stop request came (interrupt)
    line_lost, // the box hung up, or the adapter is gone
};

// What happened on the line while no action was performed, for the running
// conversation. `stamp` lets the front end tell whether it still applies when
// it is fed late (see FrontEnd::still_current).
struct LineEvent {
    enum class Kind : uint8_t { reply, silence, line_lost };
    Kind kind = Kind::reply;
    uint8_t byte = 0;
    uint32_t stamp = 0;

    static LineEvent reply(uint8_t byte, uint32_t stamp = 0) { return {Kind::reply, byte, stamp}; }
    static LineEvent silence(uint32_t stamp = 0) { return {Kind::silence, 0, stamp}; }
    static LineEvent lost() { return {Kind::line_lost, 0, 0}; }
};

// What a front end (the window, the command line) does for the runner: the
// port, the watchdog and what the technician sees.
class FrontEnd
{
public:
    virtual ~FrontEnd() = default;

    virtual void clear() = 0;
    virtual void listen() = 0;
    // ok, timed_out (not written in time), stopped or line_lost.
    virtual LineResult send(uint8_t byte, bool wait) = 0;
    // ok or stopped.
    virtual LineResult pause(milliseconds duration) = 0;
    // ok with `byte` set, timed_out, stopped or line_lost.
    virtual LineResult read_byte(milliseconds limit, uint8_t &byte) = 0;
    virtual void arm_watchdog(milliseconds limit) = 0;
    virtual void stop_watchdog() = 0;
    virtual void progress(int value) = 0;
    virtual void row(int satellite, const QByteArray &record) = 0;
    virtual void log(const QByteArray &text) = 0;
    virtual void status(Status status, int value) = 0;
    // Shows the message of `action` and returns once it is closed. Events
    // that come meanwhile reach the conversation at once.
    virtual void message(const Action &action) = 0;
    // The conversation is over; the runner has already let it go.
    virtual void end(const Action &action) = 0;
    // Whether an event held back while actions were performed still applies.
    virtual bool still_current(const LineEvent &) const { return true; }
};

// Performs a conversation's actions through a front end, by one set of rules:
// - actions run in order; what an action's own event gives (a read's
//   result, a failed send, a closed message) comes before the rest;
// - nothing runs after the end, nor after the conversation is let go;
// - events fed while actions are performed wait, and are fed afterwards in
//   the order they came, or dropped when they no longer apply.
class ActionRunner
{
public:
    // Why performing stopped short.
    enum class Halt : uint8_t { none, ended, stopped, line_lost };

    explicit ActionRunner(FrontEnd &front);

    // Makes `conversation` the running one and performs its start.
    Halt start(Conversation &conversation);
    // A reply, a silence or a lost line for the running conversation.
    Halt feed(const LineEvent &event);
    // Lets the running conversation go: nothing held back or still to be
    // performed reaches it any more.
    void drop();

    bool running() const { return conversation != nullptr; }
    bool listening() const { return is_listening; }
    bool performing() const { return is_performing; }

private:
    Halt perform(Actions actions);
    Actions deliver(const LineEvent &event);

    FrontEnd &front;
    Conversation *conversation = nullptr;
    unsigned generation = 0; // bumped whenever a conversation starts or is let go
    bool is_listening = false;
    bool is_performing = false;
    std::deque<LineEvent> held;
};

} // namespace protocol
