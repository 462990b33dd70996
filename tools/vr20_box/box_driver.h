#pragma once

#include <QByteArray>

#include <chrono>
#include <functional>

#include "action_runner.h"

class BlockingLine;

// Drives one conversation over a blocking line in one thread, through the
// runner the window uses too: the same actions in the same order, with the
// same pauses and watchdog; a box that takes no step for `give_up` (says
// nothing, or nothing the conversation takes) ends it.
class BoxDriver : private protocol::FrontEnd
{
public:
    struct Hooks {
        std::function<void(int value)> progress;
        std::function<void(int satellite, const QByteArray &record)> row;
        std::function<void(protocol::Status status, int value)> status;
        // A message the window would show in a box; the conversation goes on.
        std::function<void(protocol::MessageId message)> message;
        // Called before every send: false stops the conversation there.
        std::function<bool()> may_send;
    };

    struct Result {
        enum class Kind {
            ended, // the conversation ended: see outcome and message
            gave_up, // the box took the conversation no step on for the give-up time
            stopped, // a stop request came
            line_lost, // the box hung up, or the adapter is gone
        };
        Kind kind = Kind::ended;
        protocol::Outcome outcome = protocol::Outcome::failure;
        // The end's message, else the last message shown before the end.
        protocol::MessageId message = protocol::MessageId::none;
    };

    BoxDriver(BlockingLine &line, std::chrono::milliseconds give_up, Hooks hooks);

    Result run(protocol::Conversation &conversation);

private:
    using Clock = std::chrono::steady_clock;

    // Takes the runner's halt into `result`; true when the conversation is over.
    bool halted(protocol::ActionRunner::Halt halt);

    void clear() override;
    void listen() override { }
    protocol::LineResult send(uint8_t byte, bool wait) override;
    protocol::LineResult pause(std::chrono::milliseconds duration) override;
    protocol::LineResult read_byte(std::chrono::milliseconds limit, uint8_t &byte) override;
    void arm_watchdog(std::chrono::milliseconds limit) override;
    void stop_watchdog() override { watchdog_armed = false; }
    void progress(int value) override;
    void row(int satellite, const QByteArray &record) override;
    // The window's transfer log; the command line reports on stderr instead.
    void log(const QByteArray &) override { }
    void status(protocol::Status status, int value) override;
    void message(const protocol::Action &action) override;
    void end(const protocol::Action &action) override;

    BlockingLine &line;
    std::chrono::milliseconds give_up;
    Hooks hooks;
    Result result;
    protocol::ActionRunner runner{*this};
    bool watchdog_armed = false;
    Clock::time_point watchdog_due;
    Clock::time_point last_step; // the last byte the conversation took
};
