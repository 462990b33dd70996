#include "box_sim.h"

#include <algorithm>
#include <deque>
#include <map>

namespace boxsim {

// ---------------------------------------------------------------------------
// Names, triggers, faults, records

const char *conversation_name(Conversation c)
{
    switch (c) {
    case Conversation::None:
        return "none";
    case Conversation::LimitsRead:
        return "limits-read";
    case Conversation::LimitsWrite:
        return "limits-write";
    case Conversation::ListRead:
        return "list-read";
    case Conversation::ListWrite:
        return "list-write";
    case Conversation::Update:
        return "update";
    }
    return "?";
}

bool Trigger::matches(const Point &p) const
{
    auto fits = [](const auto &want, const auto &have) { return !want || *want == have; };
    return fits(conversation, p.conversation) && fits(step, p.step) && fits(nth, p.nth)
        && fits(satellite, p.satellite) && fits(index, p.index) && fits(block, p.block) && fits(line, p.line);
}

namespace {
constexpr int kListWriteEnd = 200;

using Opt = std::optional<int>;
Trigger make_trigger(Conversation c, std::optional<Step> step, Opt satellite = {}, Opt index = {},
                     Opt block = {}, Opt line = {})
{
    Trigger t;
    t.conversation = c;
    t.step = step;
    t.satellite = satellite;
    t.index = index;
    t.block = block;
    t.line = line;
    return t;
}
} // namespace

Trigger Trigger::nth_byte(Conversation c, int n)
{
    Trigger t = make_trigger(c, std::nullopt);
    t.nth = n;
    return t;
}

Trigger Trigger::list_read_byte(int satellite, int record_byte)
{
    return make_trigger(Conversation::ListRead, std::nullopt, satellite, record_byte);
}

Trigger Trigger::list_read_request()
{
    return make_trigger(Conversation::ListRead, Step::Command);
}

Trigger Trigger::list_read_record_end(int satellite)
{
    return make_trigger(Conversation::ListRead, Step::Ack, satellite > 0 ? Opt(satellite) : Opt(),
                        static_cast<int>(kRecordSize));
}

Trigger Trigger::limits_read_count(int count)
{
    return make_trigger(Conversation::LimitsRead, Step::Count, {}, count);
}

Trigger Trigger::list_write_number(int satellite)
{
    return make_trigger(Conversation::ListWrite, Step::Number, satellite);
}

Trigger Trigger::list_write_end()
{
    return list_write_number(kListWriteEnd);
}

Trigger Trigger::list_write_record(int satellite, int record_byte)
{
    return make_trigger(Conversation::ListWrite, Step::RecordByte, satellite, record_byte);
}

Trigger Trigger::update_header(int byte)
{
    return make_trigger(Conversation::Update, Step::Header, {}, byte);
}

Trigger Trigger::update_block_start(int block)
{
    return make_trigger(Conversation::Update, Step::BlockStart, {}, {}, block);
}

Trigger Trigger::update_line(int block, int line, int line_byte)
{
    return make_trigger(Conversation::Update, Step::LineByte, {}, line_byte, block, line);
}

namespace {
Fault make_fault(Trigger at, Fault::Action action, milliseconds duration = milliseconds{0}, Bytes bytes = {},
                 int times = 1)
{
    Fault f;
    f.at = std::move(at);
    f.action = action;
    f.duration = duration;
    f.bytes = std::move(bytes);
    f.times = times;
    return f;
}
} // namespace

Fault Fault::silence(Trigger at, milliseconds duration)
{
    return make_fault(std::move(at), Action::Silence, duration);
}
Fault Fault::delay(Trigger at, milliseconds duration)
{
    return make_fault(std::move(at), Action::Delay, duration);
}
Fault Fault::instead(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::Instead, milliseconds{0}, std::move(bytes));
}
Fault Fault::end(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::End, milliseconds{0}, std::move(bytes));
}
Fault Fault::noise(Trigger at, Bytes bytes)
{
    return make_fault(std::move(at), Action::Noise, milliseconds{0}, std::move(bytes));
}
Fault Fault::joined(Trigger at, Bytes extra)
{
    return make_fault(std::move(at), Action::Joined, milliseconds{0}, std::move(extra));
}
Fault Fault::resend_line(Trigger at, int times)
{
    return make_fault(std::move(at), Action::Resend, milliseconds{0}, {}, times);
}
Fault Fault::hang_up(Trigger at)
{
    return make_fault(std::move(at), Action::HangUp);
}
Fault Fault::stray(Trigger at, Bytes bytes, milliseconds delay)
{
    return make_fault(std::move(at), Action::Stray, delay, std::move(bytes));
}

Record box_record(const std::string &name, int16_t position, int8_t vertical, int8_t horizontal)
{
    Record r{};
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 16), r.begin());
    const auto pos = static_cast<uint16_t>(position);
    r[16] = static_cast<uint8_t>(pos >> 8);
    r[17] = static_cast<uint8_t>(pos & 0xFF);
    r[18] = static_cast<uint8_t>(horizontal);
    r[19] = static_cast<uint8_t>(vertical);
    return r;
}

ToolRecordFields decode_tool_record(const Record &r)
{
    ToolRecordFields f;
    const auto name_end = std::find(r.begin(), r.begin() + 16, uint8_t{0});
    f.name.assign(r.begin(), name_end);
    f.position = static_cast<int16_t>(r[16] | (r[17] << 8));
    f.horizontal = static_cast<int8_t>(r[18]);
    f.vertical = static_cast<int8_t>(r[19]);
    return f;
}

std::vector<Record> default_records()
{
    std::vector<Record> records;
    records.reserve(kSatellites);
    for (int k = 1; k <= kSatellites; ++k)
        records.push_back(box_record("Sat " + std::to_string(k), static_cast<int16_t>(10 * k),
                                     static_cast<int8_t>(k % 90), static_cast<int8_t>(k % 33 - 16)));
    return records;
}

// ---------------------------------------------------------------------------
// The conversations

namespace {

constexpr uint8_t kErrorByte = 0xEF; // list read: error; list write: resend request
constexpr uint8_t kAck = 0xCC;

enum class Phase : uint8_t {
    Rest,
    LimitsCounts, // 'c' and a limit byte sent; counts awaited
    LimitsBytes, // an index request sent; its limit byte awaited
    ListAwaitRequest, // list read between satellites, or after 0xEF: 'H' goes on
    ListAwaitNumber, // 'I' sent
    ListRecord, // record byte `pos` of `sat` sent; 0xCC awaited
    WriteAwaitNumber, // 'M' sent
    WriteRecord, // 'L' sent; `pos` record bytes in
    UpdAwaitR, // 'P' sent
    UpdHeader, // 'Q' sent; `pos` header bytes in
    UpdAwaitBlock, // 'Y' sent
    UpdAwaitAddress, // '_' sent
    UpdLine, // line `line` of the block; `pos` bytes of it in
    UpdDone, // final verdict sent; '[' again gets it again
};

// Where the box stands in the conversations. Small enough to copy per byte,
// so that a byte can be looked at before the box commits to it.
struct Proto {
    Conversation conv = Conversation::None;
    Phase phase = Phase::Rest;
    int nth = 0;
    std::size_t req_pos = 0;
    int sat = 0;
    int pos = 0;
    int line = 0;
    int p_left = 0;
    int blocks_started = 0;
    uint8_t address = 0;
    Record rec{};
    std::array<uint8_t, kHeaderSize> header{};
    std::array<uint8_t, kBlockLineBytes> block{};
};

struct Effects {
    std::optional<std::pair<int, uint8_t>> limit; // index, value
    std::optional<std::pair<int, Record>> record; // list write
    std::optional<std::array<uint8_t, kHeaderSize>> header;
    std::optional<ReceivedBlock> block;
    bool line_accepted = false;
    bool line_rejected = false;
    bool new_update = false;
    std::optional<Conversation> completed;
};

struct Outcome {
    Proto next;
    Point point;
    Bytes answer; // each byte its own arrival, `gap` apart
    Effects fx;
};

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
std::vector<Emission> arrivals(const Bytes &bytes, milliseconds gap, bool drain_first = false)
{
    std::vector<Emission> out(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[i].bytes = {bytes[i]};
        out[i].drain = i > 0 || drain_first;
        out[i].delay = i > 0 ? gap : milliseconds{0};
    }
    return out;
}

bool is_satellite(uint8_t b)
{
    return b >= 1 && b <= kSatellites;
}

bool checksum_ok(const uint8_t *line)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < kLineBytes; ++i)
        sum += line[i];
    return (sum & 0xFF) == 0;
}

} // namespace

struct Box::Engine {
    mutable std::mutex m;
    mutable std::condition_variable changed;
    Settings settings;
    bool stop = false;

    // Data the box holds and scripts.
    std::array<uint8_t, 4> limits{0x18, 0xFC, 0xE8, 0x03}; // WEST -1000, EAST 1000
    Bytes write_requests{0, 1, 2, 3};
    uint8_t write_end = 4;
    std::vector<Record> records = default_records();
    std::vector<std::pair<int, Record>> written;
    uint8_t header_verdict = 'Y';
    uint8_t final_verdict = 'S';
    int extra_p = 0;
    std::optional<std::array<uint8_t, kHeaderSize>> header;
    std::vector<ReceivedBlock> blocks;
    int accepted = 0;
    int rejected = 0;
    std::array<int, 6> completed{};

    struct FaultEntry {
        int id;
        Fault fault;
        int hits = 0;
    };
    std::vector<FaultEntry> faults;
    int next_fault_id = 1;

    // Where the box stands.
    Proto proto;
    std::size_t consumed = 0; // received bytes handled
    Clock::time_point mute_until; // bytes arriving before it are dropped
    Clock::time_point prev_rx; // arrival of the last handled byte
    Clock::time_point last_sent;
    std::deque<Emission> out;
    std::multimap<Clock::time_point, Bytes> strays; // stray bytes by the time they are due
    bool sending = false;
    bool hung = false;

    Outcome step(const Proto &cur, uint8_t b, milliseconds quiet, bool force_resend) const;
    void handle(const LoggedByte &b);
    void apply(const Effects &fx);
    void queue_answer(const Bytes &answer, const Fault *fault, Clock::time_point received);
    void schedule_stray(Clock::time_point due, const Bytes &bytes) { strays.emplace(due, bytes); }
    // Puts the stray bytes due by `now` before anything else still to send.
    void release_strays(Clock::time_point now);
    FaultEntry *match(const Point &p);
};

Outcome Box::Engine::step(const Proto &cur, uint8_t b, milliseconds quiet, bool force_resend) const
{
    Outcome o;
    o.next = cur;
    Proto &s = o.next;
    Point &p = o.point;
    Bytes &answer = o.answer;

    auto complete = [&](Conversation c) {
        o.fx.completed = c;
        s = Proto{};
    };

    // The tool answers a box byte within milliseconds, while its resends and
    // new flows come after its 2000 ms watchdog or a button press. So where
    // the box awaits data, a command byte after a long quiet is a command.
    // Not in an update, whose watchdog resends line bytes of any value.
    const bool awaits_data = cur.phase == Phase::LimitsBytes || cur.phase == Phase::ListAwaitNumber
        || cur.phase == Phase::ListRecord || cur.phase == Phase::WriteAwaitNumber
        || cur.phase == Phase::WriteRecord;
    const bool may_open = cur.phase == Phase::Rest || cur.phase == Phase::LimitsCounts
        || cur.phase == Phase::ListAwaitRequest || cur.phase == Phase::UpdDone
        || (awaits_data && quiet >= settings.resend_quiet);
    Conversation opens = Conversation::None;
    if (may_open) {
        switch (b) {
        case 'b':
            opens = Conversation::LimitsRead;
            break;
        case 'd':
            opens = Conversation::LimitsWrite;
            break;
        case 'H':
            if (cur.conv != Conversation::ListRead)
                opens = Conversation::ListRead;
            break;
        case 'J':
            opens = Conversation::ListWrite;
            break;
        case 'E':
            opens = Conversation::Update;
            break;
        default:
            break;
        }
    }

    if (opens != Conversation::None) {
        s = Proto{};
        s.conv = opens;
        s.nth = 1;
        p.conversation = opens;
        p.step = Step::Command;
        p.nth = 1;
        switch (opens) {
        case Conversation::LimitsRead:
            s.phase = Phase::LimitsCounts;
            answer = {'c', limits[0]};
            break;
        case Conversation::LimitsWrite:
            if (write_requests.empty()) {
                answer = {'e', write_end};
                complete(opens);
            } else {
                s.phase = Phase::LimitsBytes;
                answer = {'e', write_requests[0]};
            }
            break;
        case Conversation::ListRead:
            s.phase = Phase::ListAwaitNumber;
            answer = {'I'};
            break;
        case Conversation::ListWrite:
            s.phase = Phase::WriteAwaitNumber;
            answer = {'K', 'M'};
            break;
        case Conversation::Update:
            s.phase = Phase::UpdAwaitR;
            s.p_left = extra_p;
            o.fx.new_update = true;
            answer = {'P'};
            break;
        case Conversation::None:
            break;
        }
        return o;
    }

    if (cur.phase == Phase::Rest)
        return o; // a byte with no meaning at rest: ignored

    s.nth = cur.nth + 1;
    p.conversation = cur.conv;
    p.nth = s.nth;
    p.step = Step::Unexpected;

    if (may_open && b == 'H' && cur.conv == Conversation::ListRead) {
        // The next satellite's request, or the tool's start again after its
        // time-out: the record under way is given up.
        p.step = Step::Command;
        s.phase = Phase::ListAwaitNumber;
        answer = {'I'};
        return o;
    }

    switch (cur.phase) {
    case Phase::Rest:
        break;

    case Phase::LimitsCounts:
        if (b >= 1 && b <= 4) {
            p.step = Step::Count;
            p.index = b;
            if (b < 4)
                answer = {limits[b]};
            else
                complete(Conversation::LimitsRead);
        }
        break;

    case Phase::LimitsBytes: {
        p.step = Step::LimitByte;
        const uint8_t index = cur.req_pos < write_requests.size() ? write_requests[cur.req_pos] : write_end;
        p.index = index;
        if (index < limits.size())
            o.fx.limit = std::make_pair(int{index}, b);
        s.req_pos = cur.req_pos + 1;
        if (s.req_pos < write_requests.size()) {
            answer = {write_requests[s.req_pos]};
        } else {
            answer = {write_end};
            complete(Conversation::LimitsWrite);
        }
        break;
    }

    case Phase::ListAwaitRequest:
        break;

    case Phase::ListAwaitNumber:
        if (is_satellite(b)) {
            p.step = Step::Number;
            p.satellite = b;
            p.index = 0;
            s.phase = Phase::ListRecord;
            s.sat = b;
            s.pos = 0;
            answer = {records[b - 1][0]};
        } else {
            s.phase = Phase::ListAwaitRequest;
            answer = {kErrorByte};
        }
        break;

    case Phase::ListRecord:
        if (b == kAck) {
            p.step = Step::Ack;
            p.satellite = cur.sat;
            p.index = cur.pos + 1;
            s.pos = cur.pos + 1;
            if (s.pos < static_cast<int>(kRecordSize)) {
                answer = {records[cur.sat - 1][s.pos]};
            } else if (cur.sat == kSatellites) {
                complete(Conversation::ListRead);
            } else {
                s.phase = Phase::ListAwaitRequest;
            }
        } else if (b == 'H') {
            // The tool starts the satellite again (after its time-out).
            p.step = Step::Command;
            s.phase = Phase::ListAwaitNumber;
            answer = {'I'};
        } else {
            s.phase = Phase::ListAwaitRequest;
            answer = {kErrorByte};
        }
        break;

    case Phase::WriteAwaitNumber:
        if (is_satellite(b)) {
            p.step = Step::Number;
            p.satellite = b;
            s.phase = Phase::WriteRecord;
            s.sat = b;
            s.pos = 0;
            answer = {'L'};
        } else if (b == kListWriteEnd) {
            p.step = Step::Number;
            p.satellite = b;
            complete(Conversation::ListWrite);
        } else if (b == kErrorByte) {
            p.step = Step::Resend;
            answer = {'M'};
        }
        break;

    case Phase::WriteRecord:
        // The tool sends its record bytes 5 ms apart; an 0xEF after a long
        // quiet is its time-out's resend request, not record data.
        if (b == kErrorByte && quiet >= settings.resend_quiet) {
            p.step = Step::Resend;
            p.satellite = cur.sat;
            s.pos = 0;
            answer = {'L'};
        } else {
            p.step = Step::RecordByte;
            p.satellite = cur.sat;
            p.index = cur.pos;
            s.rec[cur.pos] = b;
            s.pos = cur.pos + 1;
            if (s.pos == static_cast<int>(kRecordSize)) {
                o.fx.record = std::make_pair(cur.sat, s.rec);
                s.phase = Phase::WriteAwaitNumber;
                answer = {'M'};
            }
        }
        break;

    case Phase::UpdAwaitR:
        if (b == 'R') {
            p.step = Step::Confirm;
            if (cur.p_left > 0) {
                s.p_left = cur.p_left - 1;
                answer = {'P'};
            } else {
                s.phase = Phase::UpdHeader;
                s.pos = 0;
                answer = {'Q'};
            }
        } else {
            answer = {'P'};
        }
        break;

    case Phase::UpdHeader:
        p.step = Step::Header;
        p.index = cur.pos;
        s.header[cur.pos] = b;
        s.pos = cur.pos + 1;
        if (s.pos == static_cast<int>(kHeaderSize)) {
            o.fx.header = s.header;
            answer = {header_verdict};
            if (header_verdict == 'Y')
                s.phase = Phase::UpdAwaitBlock;
            else
                complete(Conversation::Update);
        }
        break;

    case Phase::UpdAwaitBlock:
        if (b == 'a') {
            p.step = Step::BlockStart;
            p.block = cur.blocks_started;
            s.blocks_started = cur.blocks_started + 1;
            s.phase = Phase::UpdAwaitAddress;
            answer = {'_'};
        } else if (b == '[') {
            p.step = Step::BlockStart;
            p.block = cur.blocks_started;
            answer = {final_verdict};
            o.fx.completed = Conversation::Update;
            s.phase = Phase::UpdDone;
        } else {
            answer = {'Y'};
        }
        break;

    case Phase::UpdAwaitAddress:
        p.block = cur.blocks_started - 1;
        if (b & 1) {
            // Page addresses are multiples of 512, so their high byte is even:
            // an odd byte is the tool's 'a' again (it missed the '_').
            if (b == 'a')
                p.step = Step::BlockStart;
            answer = {'_'};
        } else {
            p.step = Step::Address;
            s.address = b;
            s.phase = Phase::UpdLine;
            s.line = 0;
            s.pos = 0;
            answer = {'^'};
        }
        break;

    case Phase::UpdLine: {
        p.step = Step::LineByte;
        p.block = cur.blocks_started - 1;
        p.line = cur.line;
        p.index = cur.pos;
        uint8_t *line = s.block.data() + kLineBytes * static_cast<std::size_t>(cur.line);
        line[cur.pos] = b;
        s.pos = cur.pos + 1;
        if (s.pos < static_cast<int>(kLineBytes)) {
            answer = {'^'};
        } else if (!force_resend && checksum_ok(line)) {
            o.fx.line_accepted = true;
            s.pos = 0;
            if (cur.line + 1 == static_cast<int>(kBlockLines)) {
                ReceivedBlock done;
                done.address_high = cur.address;
                done.lines = s.block;
                o.fx.block = done;
                s.phase = Phase::UpdAwaitBlock;
                answer = {'T', 'Y'};
            } else {
                s.line = cur.line + 1;
                answer = {'T', '^'};
            }
        } else {
            o.fx.line_rejected = true;
            s.pos = 0;
            answer = {'U', '^'};
        }
        break;
    }

    case Phase::UpdDone:
        if (b == '[') {
            p.step = Step::BlockStart;
            p.block = cur.blocks_started;
            answer = {final_verdict};
        }
        break;
    }
    return o;
}

Box::Engine::FaultEntry *Box::Engine::match(const Point &p)
{
    for (FaultEntry &f : faults) {
        if ((f.fault.times <= 0 || f.hits < f.fault.times) && f.fault.at.matches(p))
            return &f;
    }
    return nullptr;
}

void Box::Engine::apply(const Effects &fx)
{
    if (fx.new_update) {
        header.reset();
        blocks.clear();
        accepted = rejected = 0;
    }
    if (fx.limit)
        limits[static_cast<std::size_t>(fx.limit->first)] = fx.limit->second;
    if (fx.record) {
        const int k = fx.record->first;
        written.push_back(*fx.record);
        // Keep it for the next list read, in the order the box sends.
        Record mine = fx.record->second;
        std::swap(mine[16], mine[17]);
        records[static_cast<std::size_t>(k - 1)] = mine;
    }
    if (fx.header)
        header = fx.header;
    if (fx.block)
        blocks.push_back(*fx.block);
    accepted += fx.line_accepted;
    rejected += fx.line_rejected;
    if (fx.completed)
        ++completed[static_cast<std::size_t>(*fx.completed)];
}

void Box::Engine::queue_answer(const Bytes &answer, const Fault *fault, Clock::time_point received)
{
    using Action = Fault::Action;
    const Action action = fault ? fault->action : Action::Instead;
    if (fault && action == Action::HangUp) {
        Emission e;
        e.hang_up = true;
        out.push_back(e);
        return;
    }
    if (fault && action == Action::Joined) {
        Emission e;
        e.bytes = answer;
        e.bytes.insert(e.bytes.end(), fault->bytes.begin(), fault->bytes.end());
        out.push_back(e);
        return;
    }
    Bytes bytes = answer;
    if (fault && (action == Action::Instead || action == Action::End))
        bytes = fault->bytes;
    else if (fault && action == Action::Noise)
        bytes.insert(bytes.begin(), fault->bytes.begin(), fault->bytes.end());
    std::vector<Emission> es = arrivals(bytes, settings.gap);
    if (fault && action == Action::Delay && !es.empty())
        es.front().delay = fault->duration;
    if (fault && action == Action::Stray) {
        if (es.empty())
            schedule_stray(received + fault->duration, fault->bytes);
        else
            es.back().then = StrayAfter{fault->duration, fault->bytes};
    }
    out.insert(out.end(), es.begin(), es.end());
}

void Box::Engine::release_strays(Clock::time_point now)
{
    std::vector<Emission> due;
    while (!strays.empty() && strays.begin()->first <= now) {
        for (Emission &e : arrivals(strays.begin()->second, settings.gap)) {
            e.stray = true;
            due.push_back(std::move(e));
        }
        strays.erase(strays.begin());
    }
    out.insert(out.begin(), due.begin(), due.end());
}

void Box::Engine::handle(const LoggedByte &b)
{
    if (hung || b.when < mute_until)
        return;
    const Clock::time_point before = std::max(prev_rx, last_sent);
    const auto quiet = std::chrono::duration_cast<milliseconds>(b.when - before);
    prev_rx = b.when;

    Outcome o = step(proto, b.value, quiet, false);
    FaultEntry *entry = match(o.point);
    const Fault *fault = entry ? &entry->fault : nullptr;
    if (entry)
        ++entry->hits;
    if (fault && fault->action == Fault::Action::Silence) {
        mute_until = fault->duration < milliseconds{0} ? Clock::time_point::max() : b.when + fault->duration;
        return;
    }
    if (fault && fault->action == Fault::Action::Resend)
        o = step(proto, b.value, quiet, true);
    proto = o.next;
    apply(o.fx);
    if (fault && fault->action == Fault::Action::End)
        proto = Proto{};
    queue_answer(o.answer, fault, b.when);
}

// ---------------------------------------------------------------------------
// Box

Box::Box()
    : Box(Settings{})
{ }

Box::Box(Settings settings)
    : peer_(std::make_unique<PtyPeer>()),
      engine_(std::make_unique<Engine>())
{
    engine_->settings = settings;
    thread_ = std::thread([this] { run(); });
}

Box::~Box()
{
    {
        std::lock_guard<std::mutex> lock(engine_->m);
        engine_->stop = true;
    }
    engine_->changed.notify_all();
    peer_->stop();
    thread_.join();
}

void Box::run()
{
    Engine &e = *engine_;
    // Waits `d` unless the box is being stopped; false when it is.
    auto pause = [&e](milliseconds d) {
        std::unique_lock<std::mutex> lock(e.m);
        return !e.changed.wait_for(lock, d, [&] { return e.stop; });
    };
    for (;;) {
        std::optional<Emission> next;
        std::size_t consumed;
        // Read the tool's bytes meanwhile: a stray byte waits for its time
        // without holding up the conversation.
        Clock::time_point read_until = Clock::now() + milliseconds{20};
        {
            std::lock_guard<std::mutex> lock(e.m);
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
                while (go && peer_->unread_by_tool() > 0 && Clock::now() < limit) {
                    waited = true;
                    go = pause(milliseconds{1});
                }
                if (go && waited)
                    go = pause(settings().gap);
            }
            if (!go)
                return;
            if (next->hang_up)
                peer_->hang_up();
            else
                peer_->send(next->bytes);
            {
                std::lock_guard<std::mutex> lock(e.m);
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
        const std::optional<LoggedByte> b = peer_->wait_byte(consumed, read_until);
        if (!b)
            continue;
        {
            std::lock_guard<std::mutex> lock(e.m);
            ++e.consumed;
            e.handle(*b);
        }
        e.changed.notify_all();
    }
}

Box::Settings Box::settings() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->settings;
}

void Box::set_settings(const Settings &s)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->settings = s;
}

void Box::reset()
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->proto = Proto{};
    engine_->mute_until = Clock::time_point{};
    engine_->out.clear();
    engine_->strays.clear();
}

void Box::set_limits(int16_t west, int16_t east)
{
    const auto w = static_cast<uint16_t>(west);
    const auto e = static_cast<uint16_t>(east);
    set_limit_bytes({static_cast<uint8_t>(w & 0xFF), static_cast<uint8_t>(w >> 8),
                     static_cast<uint8_t>(e & 0xFF), static_cast<uint8_t>(e >> 8)});
}

void Box::set_limit_bytes(const std::array<uint8_t, 4> &bytes)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->limits = bytes;
}

std::array<uint8_t, 4> Box::limit_bytes() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->limits;
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
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->write_requests = indices;
    engine_->write_end = std::max<uint8_t>(end_byte, 4);
}

void Box::set_record(int satellite, const Record &r)
{
    if (satellite < 1 || satellite > kSatellites)
        return;
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->records[static_cast<std::size_t>(satellite - 1)] = r;
}

void Box::set_records(const std::vector<Record> &records)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    for (std::size_t i = 0; i < engine_->records.size(); ++i)
        engine_->records[i] = i < records.size() ? records[i] : Record{};
}

Record Box::record(int satellite) const
{
    if (satellite < 1 || satellite > kSatellites)
        return Record{};
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->records[static_cast<std::size_t>(satellite - 1)];
}

std::optional<Record> Box::written_record(int satellite) const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    const auto &w = engine_->written;
    const auto it = std::find_if(w.rbegin(), w.rend(), [&](const auto &e) { return e.first == satellite; });
    if (it == w.rend())
        return std::nullopt;
    return it->second;
}

std::vector<std::pair<int, Record>> Box::written_records() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->written;
}

void Box::set_header_verdict(uint8_t verdict)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->header_verdict = verdict;
}

void Box::set_final_verdict(uint8_t verdict)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->final_verdict = verdict;
}

void Box::set_extra_p(int count)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->extra_p = std::max(count, 0);
}

std::optional<std::array<uint8_t, kHeaderSize>> Box::received_header() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->header;
}

std::vector<ReceivedBlock> Box::received_blocks() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->blocks;
}

int Box::lines_accepted() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->accepted;
}

int Box::lines_rejected() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->rejected;
}

int Box::add_fault(const Fault &fault)
{
    std::lock_guard<std::mutex> lock(engine_->m);
    const int id = engine_->next_fault_id++;
    engine_->faults.push_back({id, fault, 0});
    return id;
}

void Box::clear_faults()
{
    std::lock_guard<std::mutex> lock(engine_->m);
    engine_->faults.clear();
    engine_->mute_until = Clock::time_point{};
}

int Box::fault_hits(int id) const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    for (const auto &f : engine_->faults) {
        if (f.id == id)
            return f.hits;
    }
    return 0;
}

void Box::inject(const Bytes &bytes, bool one_write)
{
    if (bytes.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(engine_->m);
        if (one_write) {
            Emission e;
            e.bytes = bytes;
            e.drain = true;
            engine_->out.push_back(e);
        } else {
            const std::vector<Emission> es = arrivals(bytes, engine_->settings.gap, true);
            engine_->out.insert(engine_->out.end(), es.begin(), es.end());
        }
    }
    engine_->changed.notify_all();
}

Conversation Box::conversation() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->proto.phase == Phase::UpdDone ? Conversation::None : engine_->proto.conv;
}

int Box::completed(Conversation c) const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->completed[static_cast<std::size_t>(c)];
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
        std::unique_lock<std::mutex> lock(engine_->m);
        engine_->changed.wait_for(lock, milliseconds{5});
    }
}

bool Box::wait_idle(milliseconds quiet, milliseconds timeout) const
{
    return wait_until(
        [&] {
            bool settled;
            std::size_t consumed;
            {
                std::lock_guard<std::mutex> lock(engine_->m);
                settled = engine_->out.empty() && engine_->strays.empty() && !engine_->sending;
                consumed = engine_->consumed;
            }
            return settled && consumed == peer_->received_count()
                && Clock::now() - peer_->last_activity() >= quiet;
        },
        timeout);
}

bool Box::hung_up() const
{
    std::lock_guard<std::mutex> lock(engine_->m);
    return engine_->hung;
}

} // namespace boxsim
