#pragma once

// The fault language of the simulated box: where a received byte falls in the
// conversations (Point), patterns over those places (Trigger), and what the
// box does instead of its answer where one matches (Fault).

#include "pty_peer.h"

#include <optional>

namespace boxsim {

// Where a received byte falls in the conversations.

enum class Conversation : uint8_t { none, limits_read, limits_write, list_read, list_write, update };
const char *conversation_name(Conversation c);

// What a received byte is, as the box takes it when it arrives.
enum class Step : uint8_t {
    command, // 'b', 'd', 'H', 'J', 'E': opens (or, 'H', continues) a conversation
    count, // limits read: the tool's count 1..4 (index = the count)
    limit_byte, // limits write: a limit byte (index = the requested index)
    number, // list read/write: a satellite number (list write: 200 too)
    ack, // list read: 0xCC after a record byte
    record_byte, // list write: a record byte (index 0..19)
    resend, // list write: 0xEF from the tool, a resend request
    confirm, // update: 'R' after 'P'
    header, // update: a header byte (index 0..3)
    block_start, // update: 'a' or '['
    address, // update: the page address high byte
    line_byte, // update: a line byte (index 0..16; 16 is the check byte)
    unexpected, // no meaning where it arrives
};

// The box's view of one received byte; faults are matched against it.
struct Point {
    Conversation conversation = Conversation::none;
    Step step = Step::unexpected;
    int nth = 0; // 1-based position in its conversation; the opening byte is 1
    int satellite = 0; // list read: the satellite whose record byte is answered;
                       // list write: the satellite of the number or record byte
    int index = -1; // list read: the record byte the box answers with (0..19,
                    // 20 for the last 0xCC); else as in Step
    int block = -1; // update: 0-based block ('a' of block b, its address, its lines)
    int line = -1; // update: line 0..31 of a LineByte
};

// A pattern over Point: unset fields match anything.
struct Trigger {
    std::optional<Conversation> conversation;
    std::optional<Step> step;
    std::optional<int> nth, satellite, index, block, line;

    bool matches(const Point &p) const;

    // The nth byte (1-based, the opening byte is 1) the box receives in a
    // conversation of that kind.
    static Trigger nth_byte(Conversation c, int nth);
    // List read: the byte (the satellite number, or a 0xCC) that the box
    // answers with record byte `record_byte` (0..19) of satellite `satellite`.
    static Trigger list_read_byte(int satellite, int record_byte);
    // List read: the 'H' that opens or continues the conversation (each
    // satellite begins with one); use with nth for a particular one.
    static Trigger list_read_request();
    // List read: the 0xCC after the last record byte of satellite k, which
    // the box does not answer; 0: of every satellite.
    static Trigger list_read_record_end(int satellite = 0);
    // Limits read: the tool's count 1..4 (3 is answered with the last limit
    // byte, EAST high; 4 ends the read unanswered).
    static Trigger limits_read_count(int count);
    // List write: satellite number k arriving (the box answers 'L').
    static Trigger list_write_number(int satellite);
    // List write: the 200 that ends it (unanswered).
    static Trigger list_write_end();
    // List write: record byte i of satellite k arriving (19: answered 'M').
    static Trigger list_write_record(int satellite, int record_byte = 19);
    // Update: header byte i (3: the one answered with the verdict).
    static Trigger update_header(int byte = 3);
    // Update: 'a' (or '[') asking for block b, 0-based.
    static Trigger update_block_start(int block);
    // Update: byte `line_byte` of line `line` of block `block` (16, the check
    // byte, is the one answered 'T' or 'U').
    static Trigger update_line(int block, int line, int line_byte = 16);
};

// A scripted fault: what the box does instead of (or, Stray, besides) its
// normal answer to a received byte that matches `at`. Faults are tried in the
// order they were added; the first that matches and has acts left acts,
// alone. A byte dropped by Silence has no effect at all: it does not count in
// `nth`, so the tool's resend of it arrives as the same point.
struct Fault {
    enum class Action : uint8_t {
        silence, // drop this byte and every byte received for `duration`
                 // after it, unanswered and without effect (negative: for ever)
        delay, // answer this byte only after `duration`; meanwhile the box is
               // busy and takes later bytes afterwards, in order
        instead, // send `bytes` (each its own arrival) instead of the answer;
                 // the conversation goes on as if the answer had been sent
        end, // send `bytes` instead of the answer and end the conversation
             // (e.g. ']' or 'Z' in the middle of an update)
        noise, // send `bytes` (each its own arrival) before the answer
        joined, // send the answer and `bytes` together in ONE write (an answer
                // of several bytes, such as 'T' then '^', goes out whole)
        resend, // update: answer the line's check byte with 'U' (the line is
                // rejected and asked for again), whatever its check byte
        hang_up, // close the box's side instead of answering
        stray, // answer as usual, then, `duration` after the answer (after
               // this byte where there is none), send `bytes`, each its own
               // write: the first at once, even if the tool has not read the
               // answer yet, the others `gap` apart like an answer's bytes.
               // Meanwhile the box takes and answers the tool's bytes as
               // usual; the stray bytes change nothing in its conversations
               // (nor its measure of the line's quiet)
    };

    Trigger at;
    Action action = Action::silence;
    milliseconds duration{0};
    Bytes bytes;
    int times = 1; // matching bytes it acts on; 0 = every one

    static constexpr milliseconds indefinitely{-1}; // not "forever": a Qt macro
    static Fault silence(Trigger at, milliseconds duration = indefinitely);
    static Fault delay(Trigger at, milliseconds duration);
    static Fault instead(Trigger at, Bytes bytes);
    static Fault end(Trigger at, Bytes bytes);
    static Fault noise(Trigger at, Bytes bytes);
    static Fault joined(Trigger at, Bytes extra = {});
    static Fault resend_line(Trigger at, int times = 1);
    static Fault hang_up(Trigger at);
    static Fault stray(Trigger at, Bytes bytes, milliseconds delay);
};

} // namespace boxsim
