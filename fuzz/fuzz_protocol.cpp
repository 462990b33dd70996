// Arbitrary bytes as one conversation with a box that answers anything.
//
// Byte 0 picks the engine: 0 limit read, 1 limit write (WEST and EAST from the
// next four bytes, low byte first), 2 list read, 3 list write (both after as
// many whole satellites as the next byte says, 199 for any value from 199 on,
// so that the list's end is within reach), 4 update (1..3 blocks by the next
// byte). Each later byte is an event (see next_event): most are a reply byte
// as they stand, the top values stand for the replies the engine's box uses,
// and `escape` names the other events by the byte after it. After each event
// the invariants every driver relies on are checked; a violation aborts.
#include "list_read.h"
#include "list_write.h"
#include "soft_limit_exchange.h"
#include "soft_limits.h"
#include "update_session.h"

#include <QByteArray>
#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

using namespace protocol;

namespace {

struct Quiet {
    Quiet() { QLoggingCategory::setFilterRules("vr20.*=false"); }
} quiet;

[[noreturn]] void violation(const char *what, const Actions &actions = {})
{
    std::fprintf(stderr, "protocol invariant violated: %s\n", what);
    for (const QString &text : describe(actions))
        std::fprintf(stderr, "  %s\n", qPrintable(text));
    std::abort();
}

constexpr uint8_t escape = 0xFA;
constexpr int engines = 5;
constexpr int max_blocks = 3;
const FirmwareConfig header{{0xE0, 0xE1, 0xE2, 0xE3}};

// The list write's record of satellite k.
QByteArray record_bytes(int k)
{
    QByteArray bytes(sat_record_size, 0);
    for (int i = 0; i < sat_record_size; ++i)
        bytes[i] = char(k * 7 + i * 13);
    return bytes;
}

// Block b: page byte 0x10 + b; its line bytes lie in 0x80 + 0x20 * b ..
// 0x9F + 0x20 * b, so a line byte shows which block it came from.
PackageBlock block(int b)
{
    PackageBlock pb;
    reset_block(pb);
    set_block_page(pb, uint16_t((0x10 + b) << 8));
    for (std::size_t i = 2; i < package_block_size; ++i)
        pb.bytes[i] = uint8_t(0x80 + 0x20 * b + i % 0x20);
    return pb;
}

bool is_line_byte_of(uint8_t byte, int b)
{
    return (byte & 0xE0) == 0x80 + 0x20 * b;
}

struct Event {
    enum class Kind : uint8_t { start, reply, silence, read, send_failed, closed, lost } kind;
    std::optional<uint8_t> byte;
};

class Checker
{
public:
    virtual ~Checker() = default;
    virtual Conversation &conversation() = 0;
    // The bytes sent for one event, and the conversation's own rules.
    virtual void check(const Event &e, const Actions &actions, const QByteArray &sent) = 0;

    void feed(const Event &e)
    {
        Conversation &c = conversation();
        const bool was_ended = c.ended();
        const bool was_reading = c.awaiting_read();
        const int messages_before = c.open_messages();
        Actions actions;
        switch (e.kind) {
        case Event::Kind::start:
            actions = c.start();
            break;
        case Event::Kind::reply:
            actions = c.on_reply(*e.byte);
            break;
        case Event::Kind::silence:
            actions = c.on_silence();
            break;
        case Event::Kind::read:
            actions = c.on_read(e.byte);
            break;
        case Event::Kind::send_failed:
            actions = c.on_send_failed();
            break;
        case Event::Kind::closed:
            actions = c.on_message_closed();
            break;
        case Event::Kind::lost:
            actions = c.on_line_lost();
            break;
        }

        if (was_ended && !actions.empty())
            violation("actions after the end", actions);
        if (e.kind == Event::Kind::read && !was_reading && !actions.empty())
            violation("a read result answered without a read", actions);
        if (e.kind == Event::Kind::closed && messages_before == 0 && !actions.empty())
            violation("a box closed that was never shown", actions);
        QByteArray sent;
        for (std::size_t i = 0; i < actions.size(); ++i) {
            const Action &a = actions[i];
            if (a.kind == Action::Kind::end) {
                if (++ends > 1)
                    violation("a second end", actions);
                if (i + 1 != actions.size())
                    violation("actions after the end action", actions);
            }
            if (a.kind == Action::Kind::send)
                sent += char(a.byte);
        }
        check(e, actions, sent);
        if (!(c.ended() || c.watchdog_armed() || c.waits_unwatched() || c.awaiting_read()
              || c.open_messages() > 0))
            violation("neither ended, nor watched, nor waiting for a read or a box", actions);
    }

protected:
    static void require(bool ok, const char *what, const Actions &actions)
    {
        if (!ok)
            violation(what, actions);
    }
    static void progress_within(const Actions &actions, int highest)
    {
        for (const Action &a : actions)
            if (a.kind == Action::Kind::progress)
                require(a.value >= 0 && a.value <= highest, "progress out of range", actions);
    }
    static bool has(const Actions &actions, Action::Kind kind)
    {
        for (const Action &a : actions)
            if (a.kind == kind)
                return true;
        return false;
    }

private:
    int ends = 0;
};

class LimitReadChecker : public Checker
{
public:
    Conversation &conversation() override { return read; }
    void check(const Event &e, const Actions &actions, const QByteArray &sent) override
    {
        if (e.kind == Event::Kind::start) {
            require(sent == "b", "the read starts with 'b'", actions);
            return;
        }
        require(!has(actions, Action::Kind::arm_watchdog), "a limit read has no watchdog", actions);
        if (sent.isEmpty())
            return;
        require(e.kind == Event::Kind::reply && sent.size() == 1 && sent[0] == char(++count) && count <= 4,
                "only the counts 1..4 in turn", actions);
    }

private:
    SoftLimitRead read;
    int count = 0;
};

class LimitWriteChecker : public Checker
{
public:
    LimitWriteChecker(int16_t west, int16_t east)
        : write(west, east),
          valid(soft_limits::validate(west, east) == soft_limits::Check::ok),
          wire(soft_limits::encode(west, east))
    { }
    Conversation &conversation() override { return write; }
    void check(const Event &e, const Actions &actions, const QByteArray &sent) override
    {
        require(!has(actions, Action::Kind::arm_watchdog), "a limit write has no watchdog", actions);
        if (sent.isEmpty())
            return;
        require(valid, "refused limits are never sent", actions);
        if (e.kind == Event::Kind::start) {
            require(sent == "d", "the write starts with 'd'", actions);
            return;
        }
        require(e.kind == Event::Kind::reply && *e.byte < 4 && sent.size() == 1
                    && uint8_t(sent[0]) == wire[*e.byte],
                "only the limit byte asked for", actions);
    }

private:
    SoftLimitWrite write;
    bool valid;
    std::array<uint8_t, 4> wire;
};

class ListReadChecker : public Checker
{
public:
    Conversation &conversation() override { return read; }
    void check(const Event &, const Actions &actions, const QByteArray &sent) override
    {
        const int k = read.satellite();
        require(k >= 0 && k <= sat_count, "satellite out of 0..199", actions);
        for (const char byte : sent)
            require(byte == 'H' || uint8_t(byte) == 0xCC || (uint8_t(byte) == k && k >= 1),
                    "only 'H', 0xCC and the current number 1..199", actions);
        for (const Action &a : actions)
            if (a.kind == Action::Kind::row_ready)
                require(a.value == k && k >= 1, "a row only for the current satellite 1..199", actions);
            else if (a.kind == Action::Kind::end && a.message == MessageId::list_read_satellite_error)
                require(a.value >= 1 && a.value <= sat_count, "an error names a satellite 1..199", actions);
        progress_within(actions, 100);
    }

private:
    ListRead read;
};

class ListWriteChecker : public Checker
{
public:
    ListWriteChecker()
        : write([](int k) {
              if (k < 1 || k > sat_count)
                  violation("a record asked for a satellite outside 1..199");
              SatRecord r;
              const QByteArray bytes = record_bytes(k);
              std::copy(bytes.begin(), bytes.end(), r.bytes);
              return r;
          })
    { }
    Conversation &conversation() override { return write; }
    void check(const Event &e, const Actions &actions, const QByteArray &sent) override
    {
        const int k = write.satellite();
        require(k >= 0 && k <= ListWrite::end_number, "satellite out of 0..200", actions);
        progress_within(actions, 100);
        if (sent.isEmpty())
            return;
        switch (e.kind) {
        case Event::Kind::start:
            require(sent == "J", "the write starts with 'J'", actions);
            return;
        case Event::Kind::silence:
            require(sent == "\xEF", "a silence sends 0xEF", actions);
            return;
        case Event::Kind::reply:
            if (*e.byte == 'M') {
                require(sent.size() == 1 && uint8_t(sent[0]) == k && k >= 1, "'M' gets the next number",
                        actions);
                return;
            }
            if (*e.byte == 'L') {
                require(k >= 1 && k <= sat_count && sent == record_bytes(k),
                        "'L' gets the current record in order", actions);
                return;
            }
            break;
        default:
            break;
        }
        violation("a byte the write does not send", actions);
    }

private:
    ListWrite write;
};

class UpdateChecker : public Checker
{
public:
    explicit UpdateChecker(int count)
        : session(header, make_blocks(count)),
          count(count)
    { }
    Conversation &conversation() override { return session; }
    void check(const Event &e, const Actions &actions, const QByteArray &sent) override
    {
        progress_within(actions, count);
        const int before = started;
        started = session.blocks_started();
        require(started >= 0 && started <= count, "blocks started out of range", actions);
        for (const Action &a : actions)
            if (a.kind == Action::Kind::status && a.status == Status::bytes_loaded)
                require(a.value == session.bytes_loaded() && a.value == loaded + 1,
                        "one line byte counted per '^'", actions);
        loaded = session.bytes_loaded();
        if (sent.isEmpty())
            return;
        const auto only = [&](bool ok) { require(ok, "a byte the session does not send", actions); };
        switch (e.kind) {
        case Event::Kind::start:
            only(sent == "E");
            return;
        case Event::Kind::read:
            only(sent == "R");
            last = 'R';
            return;
        case Event::Kind::silence:
            only(sent.size() == 1 && uint8_t(sent[0]) == last);
            return;
        case Event::Kind::reply:
            break;
        default:
            only(false);
        }
        const uint8_t first = uint8_t(sent[0]);
        switch (*e.byte) {
        case 'P':
            only(sent == "R");
            break;
        case 'Q':
            only(sent == QByteArray(reinterpret_cast<const char *>(header.bytes), 4));
            break;
        case 'Y':
            // 'a' while blocks are left, each starting the next; then '['.
            only(before < count ? sent == "a" && started == before + 1 : sent == "[" && started == before);
            break;
        case '_':
            only(sent.size() == 1 && first == (started == 0 ? 0x00 : 0x10 + started - 1));
            break;
        case '^':
            only(sent.size() == 1 && started >= 1 && is_line_byte_of(first, started - 1));
            break;
        default:
            only(false);
        }
        last = uint8_t(sent.back());
    }

private:
    static std::vector<PackageBlock> make_blocks(int count)
    {
        std::vector<PackageBlock> blocks;
        for (int b = 0; b < count; ++b)
            blocks.push_back(block(b));
        return blocks;
    }

    UpdateSession session;
    int count;
    int started = 0;
    int loaded = 0;
    uint8_t last = 0; // what the watchdog sends again: 'R' until the session answers the box
};

class Input
{
public:
    Input(const uint8_t *data, std::size_t size)
        : data(data),
          size(size)
    { }
    std::optional<uint8_t> next()
    {
        if (pos >= size)
            return std::nullopt;
        return data[pos++];
    }
    uint8_t next_or_zero() { return next().value_or(0); }

private:
    const uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;
};

constexpr uint8_t first_token = 0xE0;

// One event from the input; nullopt at its end. `replies` are the bytes the
// engine's box speaks: a byte from first_token up is one of them.
std::optional<Event> next_event(Input &in, const QByteArray &replies)
{
    const std::optional<uint8_t> byte = in.next();
    if (!byte)
        return std::nullopt;
    if (*byte < first_token)
        return Event{Event::Kind::reply, byte};
    if (*byte != escape)
        return Event{Event::Kind::reply, uint8_t(replies[(*byte - first_token) % replies.size()])};
    switch (in.next_or_zero() % 8) {
    case 0:
        return Event{Event::Kind::silence, std::nullopt};
    case 1:
        return Event{Event::Kind::read, in.next_or_zero()};
    case 2:
        return Event{Event::Kind::read, std::nullopt};
    case 3:
        return Event{Event::Kind::send_failed, std::nullopt};
    case 4:
        return Event{Event::Kind::closed, std::nullopt};
    case 5:
        return Event{Event::Kind::lost, std::nullopt};
    default:
        // Any byte as it stands, the top values included.
        return Event{Event::Kind::reply, in.next_or_zero()};
    }
}

Event reply(uint8_t byte)
{
    return {Event::Kind::reply, byte};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    std::unique_ptr<Checker> checker;
    int skip = 0;
    QByteArray replies;
    switch (in.next_or_zero() % engines) {
    case 0:
        checker = std::make_unique<LimitReadChecker>();
        replies = "c";
        break;
    case 1: {
        const auto value = [&in] {
            const uint8_t low = in.next_or_zero();
            return soft_limits::decode(low, in.next_or_zero());
        };
        const int16_t west = value();
        checker = std::make_unique<LimitWriteChecker>(west, value());
        replies = QByteArray("e\x00\x01\x02\x03\x04", 6);
        break;
    }
    case 2:
        checker = std::make_unique<ListReadChecker>();
        skip = std::min<int>(in.next_or_zero(), sat_count);
        replies = "I\xEF";
        break;
    case 3:
        checker = std::make_unique<ListWriteChecker>();
        skip = std::min<int>(in.next_or_zero(), sat_count);
        replies = "KLM";
        break;
    default:
        checker = std::make_unique<UpdateChecker>(1 + in.next_or_zero() % max_blocks);
        replies = "PQRSTUVWXYZ[\\]^_";
        break;
    }

    checker->feed({Event::Kind::start, std::nullopt});
    // Whole satellites first, so that the ends of the lists are within reach.
    if (dynamic_cast<ListReadChecker *>(checker.get())) {
        for (int k = 1; k <= skip; ++k) {
            checker->feed(reply('I'));
            for (int i = 0; i < sat_record_size; ++i)
                checker->feed(reply(uint8_t(k + i) == 0xEF ? 0 : uint8_t(k + i)));
        }
    } else if (dynamic_cast<ListWriteChecker *>(checker.get())) {
        checker->feed(reply('K'));
        for (int k = 1; k <= skip; ++k) {
            checker->feed(reply('M'));
            checker->feed(reply('L'));
        }
    }
    while (const std::optional<Event> e = next_event(in, replies))
        checker->feed(*e);
    return 0;
}
