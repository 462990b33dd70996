#include "box_engine.h"

#include <algorithm>

namespace boxsim {

namespace {

// How long the box's thread waits for a received byte before it looks at
// what it has to send again.
constexpr milliseconds read_slice{20};
// How often the box looks whether the tool has read a byte yet.
constexpr milliseconds drain_poll{1};
// How often the waits of the tests look at their condition.
constexpr milliseconds wait_poll{5};

// Runs `f` on the engine under its lock and gives what it returns.
template <typename E, typename F>
auto locked(E &engine, F f)
{
    std::lock_guard<std::mutex> guard(engine.lock);
    return f(engine);
}

} // namespace

Box::Box()
    : Box(Settings{})
{ }

Box::Box(Settings settings)
    : pty(std::make_unique<PtyPeer>()),
      engine(std::make_unique<Engine>())
{
    engine->settings = settings;
    thread = std::thread([this] { run(); });
}

Box::~Box()
{
    locked(*engine, [](Engine &e) { e.stop = true; });
    engine->changed.notify_all();
    pty->stop();
    thread.join();
}

void Box::run()
{
    Engine &e = *engine;
    // Waits `d` unless the box is being stopped; false when it is.
    auto pause = [&e](milliseconds d) {
        std::unique_lock<std::mutex> guard(e.lock);
        return !e.changed.wait_for(guard, d, [&] { return e.stop; });
    };
    for (;;) {
        std::optional<Emission> next;
        std::size_t consumed;
        // Read the tool's bytes meanwhile: a stray byte waits for its time
        // without holding up the conversation.
        Clock::time_point read_until = Clock::now() + read_slice;
        {
            std::lock_guard<std::mutex> guard(e.lock);
            if (e.stop)
                return;
            e.release_strays(Clock::now());
            if (!e.strays.empty())
                read_until = std::min(read_until, e.strays.begin()->first);
            if (!e.out.empty()) {
                next = e.out.front();
                e.out.pop_front();
                e.sending = true;
            }
            consumed = e.consumed;
        }
        if (next) {
            bool go = pause(next->delay);
            if (go && next->drain) {
                // The tool keeps only the first byte of an arrival: let it take
                // the previous byte before this one comes.
                const Clock::time_point limit = Clock::now() + settings().drain_limit;
                bool waited = false;
                while (go && pty->unread_by_tool() > 0 && Clock::now() < limit) {
                    waited = true;
                    go = pause(drain_poll);
                }
                if (go && waited)
                    go = pause(settings().gap);
            }
            if (!go)
                return;
            if (next->hang_up)
                pty->hang_up();
            else
                pty->send(next->bytes);
            {
                std::lock_guard<std::mutex> guard(e.lock);
                const Clock::time_point sent = Clock::now();
                e.sending = false;
                if (!next->stray)
                    e.last_sent = sent;
                if (next->then)
                    e.schedule_stray(sent + next->then->delay, next->then->bytes);
                if (next->hang_up) {
                    e.hung = true;
                    e.out.clear();
                    e.strays.clear();
                }
            }
            e.changed.notify_all();
            continue;
        }
        const std::optional<LoggedByte> b = pty->wait_byte(consumed, read_until);
        if (!b)
            continue;
        {
            std::lock_guard<std::mutex> guard(e.lock);
            ++e.consumed;
            e.handle(*b);
        }
        e.changed.notify_all();
    }
}

Box::Settings Box::settings() const
{
    return locked(*engine, [](Engine &e) { return e.settings; });
}

void Box::set_settings(const Settings &s)
{
    locked(*engine, [&](Engine &e) { e.settings = s; });
}

void Box::reset()
{
    locked(*engine, [](Engine &e) {
        e.state = State{};
        e.mute_until = Clock::time_point{};
        e.out.clear();
        e.strays.clear();
    });
}

void Box::set_limits(int16_t west, int16_t east)
{
    const auto w = static_cast<uint16_t>(west);
    const auto e = static_cast<uint16_t>(east);
    set_limit_bytes({static_cast<uint8_t>(w & 0xFF), static_cast<uint8_t>(w >> 8),
                     static_cast<uint8_t>(e & 0xFF), static_cast<uint8_t>(e >> 8)});
}

void Box::set_limit_bytes(const std::array<uint8_t, limit_byte_count> &bytes)
{
    locked(*engine, [&](Engine &e) { e.held.limits = bytes; });
}

std::array<uint8_t, limit_byte_count> Box::limit_bytes() const
{
    return locked(*engine, [](Engine &e) { return e.held.limits; });
}

int16_t Box::west_limit() const
{
    const auto l = limit_bytes();
    return static_cast<int16_t>(l[0] | (l[1] << 8));
}

int16_t Box::east_limit() const
{
    const auto l = limit_bytes();
    return static_cast<int16_t>(l[2] | (l[3] << 8));
}

void Box::set_write_requests(const Bytes &indices, uint8_t end_byte)
{
    locked(*engine, [&](Engine &e) {
        e.held.write_requests = indices;
        e.held.write_end = std::max<uint8_t>(end_byte, limit_byte_count);
    });
}

void Box::set_record(int satellite, const Record &r)
{
    if (satellite < 1 || satellite > satellite_slots)
        return;
    locked(*engine, [&](Engine &e) { e.held.records[static_cast<std::size_t>(satellite - 1)] = r; });
}

void Box::set_records(const std::vector<Record> &records)
{
    locked(*engine, [&](Engine &e) {
        for (std::size_t i = 0; i < e.held.records.size(); ++i)
            e.held.records[i] = i < records.size() ? records[i] : Record{};
    });
}

Record Box::record(int satellite) const
{
    if (satellite < 1 || satellite > satellite_slots)
        return Record{};
    return locked(*engine,
                  [&](Engine &e) { return e.held.records[static_cast<std::size_t>(satellite - 1)]; });
}

std::optional<Record> Box::written_record(int satellite) const
{
    return locked(*engine, [&](Engine &e) -> std::optional<Record> {
        const auto &w = e.written;
        const auto it
            = std::find_if(w.rbegin(), w.rend(), [&](const auto &r) { return r.first == satellite; });
        if (it == w.rend())
            return std::nullopt;
        return it->second;
    });
}

std::vector<std::pair<int, Record>> Box::written_records() const
{
    return locked(*engine, [](Engine &e) { return e.written; });
}

void Box::set_header_verdict(uint8_t verdict)
{
    locked(*engine, [&](Engine &e) { e.held.header_verdict = verdict; });
}

void Box::set_final_verdict(uint8_t verdict)
{
    locked(*engine, [&](Engine &e) { e.held.final_verdict = verdict; });
}

void Box::set_extra_p(int count)
{
    locked(*engine, [&](Engine &e) { e.held.extra_p = std::max(count, 0); });
}

std::optional<std::array<uint8_t, header_size>> Box::received_header() const
{
    return locked(*engine, [](Engine &e) { return e.header; });
}

std::vector<ReceivedBlock> Box::received_blocks() const
{
    return locked(*engine, [](Engine &e) { return e.blocks; });
}

int Box::lines_accepted() const
{
    return locked(*engine, [](Engine &e) { return e.accepted; });
}

int Box::lines_rejected() const
{
    return locked(*engine, [](Engine &e) { return e.rejected; });
}

int Box::add_fault(const Fault &fault)
{
    return locked(*engine, [&](Engine &e) {
        const int id = e.next_fault_id++;
        e.faults.push_back({id, fault, 0});
        return id;
    });
}

void Box::clear_faults()
{
    locked(*engine, [](Engine &e) {
        e.faults.clear();
        e.mute_until = Clock::time_point{};
    });
}

int Box::fault_hits(int id) const
{
    return locked(*engine, [&](Engine &e) {
        for (const auto &f : e.faults) {
            if (f.id == id)
                return f.hits;
        }
        return 0;
    });
}

void Box::inject(const Bytes &bytes, bool one_write)
{
    if (bytes.empty())
        return;
    locked(*engine, [&](Engine &e) {
        if (one_write) {
            Emission one;
            one.bytes = bytes;
            one.drain = true;
            e.out.push_back(one);
        } else {
            const std::vector<Emission> es = arrivals(bytes, e.settings.gap, true);
            e.out.insert(e.out.end(), es.begin(), es.end());
        }
    });
    engine->changed.notify_all();
}

Conversation Box::conversation() const
{
    return locked(*engine, [](Engine &e) {
        return e.state.phase == Phase::update_done ? Conversation::none : e.state.conversation;
    });
}

int Box::completed(Conversation c) const
{
    return locked(*engine, [c](Engine &e) { return e.completed[static_cast<std::size_t>(c)]; });
}

bool Box::wait_completed(Conversation c, int count, milliseconds timeout) const
{
    return wait_until([&] { return completed(c) >= count; }, timeout);
}

bool Box::wait_until(const std::function<bool()> &pred, milliseconds timeout) const
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> guard(engine->lock);
        engine->changed.wait_for(guard, wait_poll);
    }
}

bool Box::wait_idle(milliseconds quiet, milliseconds timeout) const
{
    return wait_until(
        [&] {
            const auto [settled, consumed] = locked(*engine, [](Engine &e) {
                return std::make_pair(e.out.empty() && e.strays.empty() && !e.sending, e.consumed);
            });
            return settled && consumed == pty->received_count()
                && Clock::now() - pty->last_activity() >= quiet;
        },
        timeout);
}

bool Box::hung_up() const
{
    return locked(*engine, [](Engine &e) { return e.hung; });
}

} // namespace boxsim
