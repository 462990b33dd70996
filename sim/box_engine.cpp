#include "box_engine.h"

#include <algorithm>

namespace boxsim {

std::vector<Emission> arrivals(const Bytes &bytes, milliseconds gap, bool drain_first)
{
    std::vector<Emission> out(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[i].bytes = {bytes[i]};
        out[i].drain = i > 0 || drain_first;
        out[i].delay = i > 0 ? gap : milliseconds{0};
    }
    return out;
}

Box::Engine::FaultEntry *Box::Engine::match(const Point &p)
{
    for (FaultEntry &f : faults) {
        if ((f.fault.times <= 0 || f.hits < f.fault.times) && f.fault.at.matches(p))
            return &f;
    }
    return nullptr;
}

void Box::Engine::apply(const Effects &effects)
{
    if (effects.new_update) {
        header.reset();
        blocks.clear();
        accepted = rejected = 0;
    }
    if (effects.limit)
        held.limits[static_cast<std::size_t>(effects.limit->first)] = effects.limit->second;
    if (effects.record) {
        written.push_back(*effects.record);
        // Keep it for the next list read, in the order the box sends.
        held.records[static_cast<std::size_t>(effects.record->first - 1)] = box_order(effects.record->second);
    }
    if (effects.header)
        header = effects.header;
    if (effects.block)
        blocks.push_back(*effects.block);
    accepted += effects.line_accepted;
    rejected += effects.line_rejected;
    if (effects.completed)
        ++completed[static_cast<std::size_t>(*effects.completed)];
}

void Box::Engine::queue_answer(const Bytes &answer, const Fault *fault, Clock::time_point received)
{
    using Action = Fault::Action;
    const Action action = fault ? fault->action : Action::instead;
    if (fault && action == Action::hang_up) {
        Emission e;
        e.hang_up = true;
        out.push_back(e);
        return;
    }
    if (fault && action == Action::joined) {
        Emission e;
        e.bytes = answer;
        e.bytes.insert(e.bytes.end(), fault->bytes.begin(), fault->bytes.end());
        out.push_back(e);
        return;
    }
    Bytes bytes = answer;
    if (fault && (action == Action::instead || action == Action::end))
        bytes = fault->bytes;
    else if (fault && action == Action::noise)
        bytes.insert(bytes.begin(), fault->bytes.begin(), fault->bytes.end());
    std::vector<Emission> es = arrivals(bytes, settings.gap);
    if (fault && action == Action::delay && !es.empty())
        es.front().delay = fault->duration;
    if (fault && action == Action::stray) {
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
    Incoming in;
    in.value = b.value;
    in.after_quiet = quiet >= settings.resend_quiet;
    prev_rx = b.when;

    Outcome o = step(held, state, in);
    FaultEntry *entry = match(o.point);
    const Fault *fault = entry ? &entry->fault : nullptr;
    if (entry)
        ++entry->hits;
    if (fault && fault->action == Fault::Action::silence) {
        mute_until = fault->duration < milliseconds{0} ? Clock::time_point::max() : b.when + fault->duration;
        return;
    }
    if (fault && fault->action == Fault::Action::resend) {
        in.reject_line = true;
        o = step(held, state, in);
    }
    state = o.next;
    apply(o.effects);
    if (fault && fault->action == Fault::Action::end)
        state = State{};
    queue_answer(o.answer, fault, b.when);
}

} // namespace boxsim
