#pragma once

#include <QByteArray>

#include <chrono>
#include <functional>

#include "conversation.h"

class BlockingLine;

// Drives one conversation over a blocking line in one thread: the actions
// the window performs, in the same order, with the same pauses and
// watchdog; a box that says nothing for `give_up` ends it.
class BoxDriver
{
public:
    struct Hooks {
        std::function<void(int value)> progress;
        std::function<void(int satellite, const QByteArray &record)> row;
        std::function<void(protocol::Status status, int value)> status;
        // A message the window would show in a box, with the number it names
        // (see protocol::message_text); the conversation goes on.
        std::function<void(protocol::MessageId message, int value)> message;
        // Called before every send: false stops the conversation there.
        std::function<bool()> may_send;
    };

    struct Result {
        enum class Kind {
            ended, // the conversation ended: see outcome and message
            gave_up, // the box said nothing for the give-up time
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

    // Performs `actions`; true when the conversation ended or was stopped
    // (then `result` says how).
    bool perform(protocol::Conversation &conversation, protocol::Actions actions);

    BlockingLine &line;
    std::chrono::milliseconds give_up;
    Hooks hooks;
    Result result;
    bool listening = false;
    bool watchdog_armed = false;
    Clock::time_point watchdog_due;
    Clock::time_point last_heard;
};
