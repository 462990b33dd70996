#pragma once

// The engine of the simulated box: what it holds and received, its faults,
// where it stands in the conversations, and what it still has to send. The
// box's thread (box.cpp) hands it each received byte and sends what it
// queues. Used inside the simulated box only: box_sim.h does not include it.

#include "box.h"
#include "box_conversations.h"

#include <deque>
#include <map>

namespace boxsim {

// Stray bytes to send some time after an answer.
struct StrayAfter {
    milliseconds delay{0};
    Bytes bytes;
};

// One thing the box thread sends (or does) in turn.
struct Emission {
    milliseconds delay{0}; // wait before it
    bool drain = false; // first wait until the tool has read what went before
    bool hang_up = false;
    bool stray = false; // no answer: not part of any conversation
    Bytes bytes; // one write
    std::optional<StrayAfter> then; // scheduled when this one has gone out
};

// `bytes`, each its own write: each after the first waits until the tool has
// read the one before, and then `gap` (the first too with `drain_first`).
std::vector<Emission> arrivals(const Bytes &bytes, milliseconds gap, bool drain_first = false);

struct Box::Engine {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    Settings settings;
    bool stop = false;

    // Data the box holds and scripts.
    Holdings held;

    // What the box received and counted.
    std::vector<std::pair<int, Record>> written;
    std::optional<std::array<uint8_t, header_size>> header;
    std::vector<ReceivedBlock> blocks;
    int accepted = 0;
    int rejected = 0;
    std::array<int, static_cast<std::size_t>(Conversation::update) + 1> completed{};

    struct FaultEntry {
        int id;
        Fault fault;
        int hits = 0;
    };
    std::vector<FaultEntry> faults;
    int next_fault_id = 1;

    // Where the box stands.
    State state;
    std::size_t consumed = 0; // received bytes handled
    Clock::time_point mute_until; // bytes arriving before it are dropped
    Clock::time_point prev_rx; // arrival of the last handled byte
    Clock::time_point last_sent;
    std::deque<Emission> out;
    std::multimap<Clock::time_point, Bytes> strays; // stray bytes by the time they are due
    bool sending = false;
    bool hung = false;

    // Takes one received byte: its answer, effects and faults.
    void handle(const LoggedByte &b);
    void apply(const Effects &effects);
    void queue_answer(const Bytes &answer, const Fault *fault, Clock::time_point received);
    void schedule_stray(Clock::time_point due, const Bytes &bytes) { strays.emplace(due, bytes); }
    // Puts the stray bytes due by `now` before anything else still to send.
    void release_strays(Clock::time_point now);
    FaultEntry *match(const Point &p);
};

} // namespace boxsim
