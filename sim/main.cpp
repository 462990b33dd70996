// vr20-boxsim: a simulated positioner box on a pseudo-terminal, for trying
// the tool without hardware.

#include "box_conversations.h"
#include "box_sim.h"
#include "sat_list.h"

#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#ifndef VR20_VERSION
#define VR20_VERSION "unknown"
#endif

using namespace boxsim;

namespace {

const char usage_text[]
    = "Usage: vr20-boxsim [options]\n"
      "Plays the positioner box on a pseudo-terminal until SIGINT or SIGTERM.\n"
      "Prints the terminal's path on standard output, and every byte both ways\n"
      "with its time on standard error (or the --log file).\n"
      "\n"
      "  --link PATH               link the terminal as PATH, e.g. /dev/COM1\n"
      "  --csv FILE                satellite list from a CSV file (name,position,vertical,horizontal,)\n"
      "  --limits W,E              soft limits the box holds (default -1000,1000)\n"
      "  --write-requests LIST     index requests of a limits write, e.g. 3,0,0,1,2 (default 0,1,2,3)\n"
      "  --write-end N             end byte of a limits write, >= 4 (default 4)\n"
      "  --header-verdict C        answer to the package header: Y, V, W or X (default Y)\n"
      "  --final-verdict C         answer to '[': S, Z or ] (default S)\n"
      "  --extra-p N               answer the first N 'R's of an update with 'P' again\n"
      "  --resend-line B,L[,N]     answer 'U' to line L of block B (N times, default 1)\n"
      "  --list-error K,I          0xEF instead of record byte I of satellite K in a list read\n"
      "  --list-byte K,I,BYTE      BYTE instead of record byte I of satellite K in every list read:\n"
      "                            a slot the box reports otherwise than it was written\n"
      "  --silence CONV,N,MS       drop the Nth byte of conversation CONV and all bytes for MS ms\n"
      "                            after it (-1: for ever)\n"
      "  --delay CONV,N,MS         answer the Nth byte of CONV only after MS ms\n"
      "  --hang-up CONV,N          hang up instead of answering the Nth byte of CONV\n"
      "  --stray CONV,N,MS[,BYTE...]\n"
      "                            answer the Nth byte of CONV as usual, then MS ms after\n"
      "                            the answer (after the byte where it has none) send the\n"
      "                            BYTEs, each its own write (default one byte 0x55)\n"
      "  --stray-record K,MS[,BYTE...]\n"
      "                            the same after satellite K's last 0xCC in a list read\n"
      "                            (K 0: after every satellite's)\n"
      "  --gap MS                  pause between two box bytes in a row (default 20)\n"
      "  --log FILE                write the byte log to FILE\n"
      "  --help                    show this text\n"
      "  --version                 show the version\n"
      "CONV is limits-read, limits-write, list-read, list-write or update; N counts from 1,\n"
      "the conversation's opening byte ('b', 'd', 'H', 'J', 'E') being 1. A BYTE is decimal\n"
      "or 0x-prefixed hex, e.g. --stray limits-read,5,0 (after the count 4 that ends a\n"
      "limits read) or --stray-record 0,2,0x55,0xAA.\n";

[[noreturn]] void fail(const std::string &message)
{
    std::cerr << "vr20-boxsim: " << message << "\n(--help for usage)\n";
    std::exit(2);
}

long number(const std::string &item, const char *option, int base = 10)
{
    char *end = nullptr;
    const long v = std::strtol(item.c_str(), &end, base);
    if (item.empty() || *end != '\0')
        fail(std::string("bad number in ") + option + ": '" + item + "'");
    return v;
}

std::vector<std::string> items(const std::string &text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(item);
    return out;
}

std::vector<long> numbers(const std::string &text, std::size_t min_count, std::size_t max_count,
                          const char *option)
{
    std::vector<long> out;
    for (const std::string &item : items(text))
        out.push_back(number(item, option));
    if (out.size() < min_count || out.size() > max_count)
        fail(std::string("wrong number of values for ") + option);
    return out;
}

Conversation conversation_by_name(const std::string &name)
{
    for (Conversation c : {Conversation::limits_read, Conversation::limits_write, Conversation::list_read,
                           Conversation::list_write, Conversation::update}) {
        if (name == conversation_name(c))
            return c;
    }
    fail("unknown conversation '" + name + "'");
}

// "CONV,N[,MS][,...]" -> the trigger and the optional number after it; the
// items after those in `rest` (none allowed without it).
Trigger conversation_point(const std::string &text, long *ms, const char *option,
                           std::vector<std::string> *rest = nullptr)
{
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos)
        fail(std::string(option) + " needs CONV,N");
    const Conversation c = conversation_by_name(text.substr(0, comma));
    std::vector<std::string> v = items(text.substr(comma + 1));
    const std::size_t count = ms ? 2 : 1;
    if (v.size() < count || (v.size() > count && !rest))
        fail(std::string("wrong number of values for ") + option);
    if (ms)
        *ms = number(v[1], option);
    if (rest)
        rest->assign(v.begin() + static_cast<std::ptrdiff_t>(count), v.end());
    return Trigger::nth_byte(c, static_cast<int>(number(v[0], option)));
}

// A BYTE: decimal or 0x-prefixed hex.
uint8_t byte_value(const std::string &item, const char *option)
{
    const bool hex = item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X');
    const long v = number(item, option, hex ? 16 : 10);
    if (v < 0 || v > 0xFF)
        fail(std::string("byte out of range in ") + option + ": '" + item + "'");
    return static_cast<uint8_t>(v);
}

// A stray fault's delay and bytes (one 0x55 when none are given).
Fault stray(const Trigger &at, long ms, const std::vector<std::string> &byte_items, const char *option)
{
    if (ms < 0)
        fail(std::string(option) + " needs MS >= 0");
    Bytes bytes;
    for (const std::string &item : byte_items)
        bytes.push_back(byte_value(item, option));
    if (bytes.empty())
        bytes = {0x55};
    return Fault::stray(at, bytes, milliseconds{ms});
}

uint8_t verdict(const std::string &text, const char *allowed, const char *option)
{
    if (text.size() != 1 || !std::strchr(allowed, text[0]))
        fail(std::string(option) + " takes one of " + allowed);
    return static_cast<uint8_t>(text[0]);
}

std::vector<Record> load_csv(const std::string &path)
{
    QFile file(QString::fromLocal8Bit(path.c_str()));
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot open " + path);
    std::vector<Record> records(satellite_slots, Record{});
    const CsvList list = read_csv_list(file.readAll());
    for (std::size_t k = 0; k < list.lines.size(); ++k) {
        const CsvFields &f = list.lines[k];
        if (f.is_valid())
            records[k] = box_record(f.name.toUtf8().toStdString(), f.position, f.vertical, f.horizontal);
    }
    return records;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](std::size_t &i) -> const std::string & {
        if (i + 1 >= args.size())
            fail(args[i] + " needs a value");
        return args[++i];
    };

    std::string link_path, log_path;
    Box::Settings settings;
    std::vector<std::function<void(Box &)>> setup;
    Bytes write_requests(default_write_requests.begin(), default_write_requests.end());
    uint8_t write_end = limit_byte_count;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << usage_text;
            return 0;
        } else if (a == "--version") {
            std::cout << "vr20-boxsim " VR20_VERSION "\n";
            return 0;
        } else if (a == "--link") {
            link_path = value(i);
        } else if (a == "--log") {
            log_path = value(i);
        } else if (a == "--csv") {
            const auto records = load_csv(value(i));
            setup.push_back([records](Box &b) { b.set_records(records); });
        } else if (a == "--limits") {
            const auto v = numbers(value(i), 2, 2, "--limits");
            setup.push_back(
                [v](Box &b) { b.set_limits(static_cast<int16_t>(v[0]), static_cast<int16_t>(v[1])); });
        } else if (a == "--write-requests") {
            const auto v = numbers(value(i), 1, 64, "--write-requests");
            write_requests.assign(v.begin(), v.end());
        } else if (a == "--write-end") {
            write_end = static_cast<uint8_t>(numbers(value(i), 1, 1, "--write-end")[0]);
        } else if (a == "--header-verdict") {
            const uint8_t v = verdict(value(i), "YVWX", "--header-verdict");
            setup.push_back([v](Box &b) { b.set_header_verdict(v); });
        } else if (a == "--final-verdict") {
            const uint8_t v = verdict(value(i), "SZ]", "--final-verdict");
            setup.push_back([v](Box &b) { b.set_final_verdict(v); });
        } else if (a == "--extra-p") {
            const auto v = numbers(value(i), 1, 1, "--extra-p");
            setup.push_back([v](Box &b) { b.set_extra_p(static_cast<int>(v[0])); });
        } else if (a == "--resend-line") {
            const auto v = numbers(value(i), 2, 3, "--resend-line");
            const Fault f
                = Fault::resend_line(Trigger::update_line(static_cast<int>(v[0]), static_cast<int>(v[1])),
                                     v.size() > 2 ? static_cast<int>(v[2]) : 1);
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--list-error") {
            const auto v = numbers(value(i), 2, 2, "--list-error");
            const Fault f = Fault::instead(
                Trigger::list_read_byte(static_cast<int>(v[0]), static_cast<int>(v[1])), {error_byte});
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--list-byte") {
            const std::vector<std::string> v = items(value(i));
            if (v.size() != 3)
                fail("wrong number of values for --list-byte");
            const long k = number(v[0], "--list-byte");
            const long byte = number(v[1], "--list-byte");
            if (k < 1 || k > satellite_slots || byte < 0 || byte >= long(box_record_size))
                fail("--list-byte takes K 1..199 and I 0..19");
            Fault f = Fault::instead(Trigger::list_read_byte(static_cast<int>(k), static_cast<int>(byte)),
                                     {byte_value(v[2], "--list-byte")});
            f.times = 0;
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--silence" || a == "--delay") {
            long ms = 0;
            const Trigger t = conversation_point(value(i), &ms, a.c_str());
            const Fault f
                = a == "--silence" ? Fault::silence(t, milliseconds{ms}) : Fault::delay(t, milliseconds{ms});
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--hang-up") {
            const Fault f = Fault::hang_up(conversation_point(value(i), nullptr, "--hang-up"));
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--stray") {
            long ms = 0;
            std::vector<std::string> rest;
            const Trigger t = conversation_point(value(i), &ms, "--stray", &rest);
            const Fault f = stray(t, ms, rest, "--stray");
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--stray-record") {
            const std::vector<std::string> v = items(value(i));
            if (v.size() < 2)
                fail("--stray-record needs K,MS");
            const long k = number(v[0], "--stray-record");
            if (k < 0 || k > satellite_slots)
                fail("--stray-record takes K 0..199");
            Fault f = stray(Trigger::list_read_record_end(static_cast<int>(k)),
                            number(v[1], "--stray-record"), {v.begin() + 2, v.end()}, "--stray-record");
            f.times = k == 0 ? 0 : 1;
            setup.push_back([f](Box &b) { b.add_fault(f); });
        } else if (a == "--gap") {
            settings.gap = milliseconds{numbers(value(i), 1, 1, "--gap")[0]};
        } else {
            fail("unknown option " + a);
        }
    }

    std::ofstream log_file;
    if (!log_path.empty()) {
        log_file.open(log_path, std::ios::out | std::ios::trunc);
        if (!log_file)
            fail("cannot write " + log_path);
    }
    std::ostream &log = log_path.empty() ? std::cerr : log_file;

    // The box's threads must not take the signals; the main thread waits for them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        Box box(settings);
        for (const auto &s : setup)
            s(box);
        box.set_write_requests(write_requests, write_end);
        const Clock::time_point start = Clock::now();
        std::mutex log_mutex;
        box.peer().set_log_sink([&](const LoggedByte &b) {
            std::lock_guard<std::mutex> lock(log_mutex);
            log << format_logged_byte(b, start) << std::endl;
        });
        std::cout << box.slave_path() << std::endl;
        if (!link_path.empty()) {
            std::string error;
            if (!box.link(link_path, &error))
                fail("cannot link " + link_path + ": " + error);
            std::cout << link_path << " -> " << box.slave_path() << std::endl;
        }

        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        box.peer().set_log_sink(nullptr);
        std::cerr << "vr20-boxsim: stopped; completed conversations:";
        for (Conversation c : {Conversation::limits_read, Conversation::limits_write, Conversation::list_read,
                               Conversation::list_write, Conversation::update})
            std::cerr << ' ' << conversation_name(c) << '=' << box.completed(c);
        std::cerr << "; records written " << box.written_records().size() << ", blocks received "
                  << box.received_blocks().size() << std::endl;
    } catch (const std::exception &e) {
        std::cerr << "vr20-boxsim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
