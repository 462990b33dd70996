#include "vr20_box.h"

#include <QFile>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <unistd.h>

#include "blocking_line.h"
#include "box_driver.h"
#include "list_read.h"
#include "list_write.h"
#include "messages.h"
#include "package_check.h"
#include "port_listing.h"
#include "sat_compare.h"
#include "sat_list.h"
#include "soft_limit_exchange.h"
#include "update_session.h"
#include "whole_file.h"

#ifndef VR20_VERSION
#define VR20_VERSION "unknown"
#endif

namespace vr20box {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds limits_give_up{5000};
constexpr milliseconds transfer_give_up{60000};

const char usage_text[]
    = "Usage: vr20-box [OPTIONS] COMMAND [ARGUMENTS]\n"
      "\n"
      "Commands:\n"
      "  update PACKAGE.bin     update the box's firmware from a package\n"
      "  list read OUT.csv      read the box's satellite list into a CSV file (- : standard output)\n"
      "  list write IN.csv      write a CSV file's satellite list to the box (- : standard input)\n"
      "  list write --verify IN.csv\n"
      "                         write it, then read the list back and compare it with what was sent\n"
      "  list diff FILE.csv     read the box and show what a write of the file would change\n"
      "  list diff A.csv B.csv  show what a write of B would change on a box that holds A\n"
      "  limits get             read the soft limits: prints \"WEST <value>\" and \"EAST <value>\"\n"
      "  limits set WEST EAST   set the soft limits (-5000..5000, WEST below EAST)\n"
      "  ports                  list the serial ports, one a line, tab-separated:\n"
      "                         path, description, USB vendor:product, state (free, busy, denied)\n"
      "\n"
      "Options (before the command):\n"
      "  --port PORT            a device path (/dev/ttyUSB0) or a name under /dev (COM3, ttyUSB0);\n"
      "                         without it, the one USB serial adapter attached\n"
      "  --timeout MS           give up when the box has not answered the conversation\n"
      "                         for MS ms (silence, or only bytes it ignores)\n"
      "                         (default 5000 for limits, 60000 for the others)\n"
      "  --quiet                print errors only\n"
      "  --force                update: send a package that fails its checks all the same;\n"
      "                         list write: send a file with lines that are not satellite rows\n"
      "  --strict               list write: refuse cells the write would alter and number fields\n"
      "                         that do not read as they show, send nothing\n"
      "  --help, --version\n"
      "\n"
      "list write --verify and list diff print one line per difference on standard output,\n"
      "tab-separated: number, field (name, position, vertical, horizontal), then the value\n"
      "sent and the value read back (--verify), the box's and the file's (diff FILE), or\n"
      "A's and B's (diff A B); values are as the box holds them, after the write's own\n"
      "conversions. A satellite the read did not reach is \"NUMBER<TAB>not verified\".\n"
      "\n"
      "Exit status:\n"
      "  0 done; 1 a file could not be read or written, or a package is broken; 2 usage;\n"
      "  3 the port is missing, busy, or not permitted; 4 the box did not answer (no 'P',\n"
      "  or silent past --timeout); 5 the box refused or reported a failure; 6 the transfer\n"
      "  broke (hang-up, unplugged adapter, too many resend requests, an unexpected byte, a\n"
      "  satellite the box keeps reporting an error for); 7 the lists differ (list write\n"
      "  --verify, list diff); 130 interrupted.\n";

struct Options {
    QString port;
    std::optional<milliseconds> timeout;
    bool quiet = false;
    bool force = false;
    bool strict = false;
};

void say(const QString &text)
{
    std::fprintf(stderr, "vr20-box: %s\n", text.toLocal8Bit().constData());
}

int usage_error(const QString &what, const QString &hint = QString())
{
    say(what);
    if (!hint.isEmpty())
        std::fprintf(stderr, "%s\n", hint.toLocal8Bit().constData());
    std::fprintf(stderr, "Try 'vr20-box --help'.\n");
    return usage;
}

// The exit status a conversation's message stands for.
int exit_for(protocol::MessageId id)
{
    using protocol::MessageId;
    switch (id) {
    case MessageId::device_not_prepared:
        return no_answer;
    case MessageId::cpu_mismatch:
    case MessageId::package_too_old:
    case MessageId::update_failed:
    case MessageId::data_write_error:
    case MessageId::limits_set_incomplete:
    case MessageId::limits_read_out_of_range:
        return refused;
    case MessageId::limits_out_of_range:
    case MessageId::limits_wrong_order:
        return usage;
    default:
        return transfer_broke;
    }
}

// Progress on stderr: one line rewritten in place on a terminal, else a
// line now and then; nothing with --quiet.
class Progress
{
public:
    Progress(const char *what, bool quiet)
        : what(what),
          quiet(quiet),
          terminal(isatty(STDERR_FILENO) == 1),
          started(std::chrono::steady_clock::now())
    { }

    // `unit` of `units` (block 3 of 103), `bytes` of `total` bytes.
    void show(const char *unit, int done_units, int units, long bytes, long total, bool milestone)
    {
        if (quiet)
            return;
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double rate = seconds > 0 ? bytes / seconds : 0;
        const long left = rate > 0 ? long((total - bytes) / rate) : 0;
        const int percent = total > 0 ? int(100 * bytes / total) : 0;
        char line[160];
        std::snprintf(line, sizeof line, "%s: %s %d of %d, %3d%%, %ld bytes, %.0f B/s, %ld:%02ld left", what,
                      unit, done_units, units, percent, bytes, rate, left / 60, left % 60);
        if (terminal) {
            std::fprintf(stderr, "\r%s\x1b[K", line);
            shown = true;
        } else if (milestone) {
            std::fprintf(stderr, "%s\n", line);
        }
        std::fflush(stderr);
    }

    // Ends the line in place before anything else is said.
    void finish()
    {
        if (shown)
            std::fprintf(stderr, "\n");
        shown = false;
    }

private:
    const char *what;
    bool quiet;
    bool terminal;
    bool shown = false;
    std::chrono::steady_clock::time_point started;
};

struct Session {
    Options options;
    std::unique_ptr<BlockingLine> line;
};

// Opens the chosen port; an exit status when that fails.
std::optional<int> open_line(const PortListing &listing, Session &session)
{
    const PortChoice choice = choose_port(session.options.port, listing);
    if (choice.path.isEmpty()) {
        say(choice.error);
        return port_error;
    }
    if (!choice.note.isEmpty() && !session.options.quiet)
        say(choice.note);
    BlockingLine::OpenError error = BlockingLine::OpenError::none;
    QString error_text;
    session.line = BlockingLine::open(choice.path, &error, &error_text);
    if (session.line)
        return std::nullopt;
    switch (error) {
    case BlockingLine::OpenError::denied:
        say(choice.path + ": " + error_text
            + ". Add the user to the dialout group (sudo usermod -aG dialout $USER), then log in again.");
        break;
    case BlockingLine::OpenError::busy:
        say(choice.path + ": " + error_text + ". Another program holds the port.");
        break;
    default:
        say(choice.path + ": " + error_text);
        break;
    }
    return port_error;
}

// Runs a conversation and turns its result into an exit status, saying
// what the window would say.
int converse(Session &session, protocol::Conversation &conversation, milliseconds default_give_up,
             BoxDriver::Hooks hooks, Progress *progress, const char *left_behind)
{
    const bool quiet = session.options.quiet;
    hooks.message = [&](protocol::MessageId id, int value) {
        if (progress)
            progress->finish();
        if (protocol::message(id).icon == protocol::MessageIcon::warning || !quiet)
            say(protocol::message_text(id, value));
    };
    hooks.may_send = [] { return !stop_requested(); };
    BoxDriver driver(*session.line, session.options.timeout.value_or(default_give_up), hooks);
    const BoxDriver::Result result = driver.run(conversation);
    if (progress)
        progress->finish();
    switch (result.kind) {
    case BoxDriver::Result::Kind::ended:
        if (result.outcome == protocol::Outcome::success)
            return done;
        return exit_for(result.message);
    case BoxDriver::Result::Kind::gave_up:
        say(QStringLiteral("the box said nothing for %1 ms that the conversation takes; giving up.")
                .arg(session.options.timeout.value_or(default_give_up).count()));
        return no_answer;
    case BoxDriver::Result::Kind::stopped:
        say(QStringLiteral("stopped by signal %1. %2").arg(stop_signal()).arg(QLatin1String(left_behind)));
        return interrupted;
    case BoxDriver::Result::Kind::line_lost:
        say(protocol::message_text(protocol::MessageId::list_transfer_error)
            + QStringLiteral(" (the line is gone)"));
        return transfer_broke;
    }
    return transfer_broke;
}

// ---- commands ----

int cmd_limits_get(const PortListing &listing, Session &session)
{
    if (const auto failed = open_line(listing, session))
        return *failed;
    protocol::SoftLimitRead read;
    const int code = converse(session, read, limits_give_up, {}, nullptr,
                              "The box has not taken the read to its end; nothing was changed.");
    // Shown also when a limit is out of range (the warning is said, exit 5).
    if (read.complete())
        std::printf("WEST %d\nEAST %d\n", read.west_limit(), read.east_limit());
    if (code == done && read.west_limit() >= read.east_limit())
        say(QStringLiteral(
            "warning: WEST is not below EAST (a box whose limits were never set holds 0 and 0)."));
    return code;
}

std::optional<int16_t> parse_limit(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < -32768 || value > 32767 || text.trimmed() != text)
        return std::nullopt;
    return int16_t(value);
}

int cmd_limits_set(const PortListing &listing, Session &session, const QString &west_text,
                   const QString &east_text)
{
    const auto west = parse_limit(west_text);
    const auto east = parse_limit(east_text);
    if (!west || !east)
        return usage_error(QStringLiteral("limits set takes two whole numbers, WEST then EAST"));
    // Refused before the port is touched.
    const protocol::MessageId refusal = protocol::limits_refusal(*west, *east);
    if (refusal != protocol::MessageId::none) {
        say(protocol::message_text(refusal));
        return usage;
    }
    if (const auto failed = open_line(listing, session))
        return *failed;
    protocol::SoftLimitWrite write(*west, *east);
    const int code = converse(session, write, limits_give_up, {}, nullptr,
                              "The box may hold part of the new limits: set them again.");
    return code;
}

// The satellite list as the table holds it: 199 rows of cell texts.
using SatTable = std::array<SatRow, sat_count>;

bool write_csv(const QString &path, const SatTable &table)
{
    const QByteArray text = format_csv(std::vector<SatRow>(table.begin(), table.end()));
    if (path == QLatin1String("-"))
        return std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size())
            && std::fflush(stdout) == 0;
    const FileCommit commit = commit_file(native_path(path), text);
    if (!commit.ok)
        say(QStringLiteral("cannot write %1: %2").arg(path, commit.error));
    return commit.ok;
}

// Reads the box's list on the open line, giving each record as it comes to
// `take`; the exit status, and in `ended_by_box` whether the read itself
// gave up on what the box sent (rather than on the line or a signal).
int read_list(Session &session, const std::function<void(int satellite, const SatRecord &record)> &take,
              const char *left_behind, bool *ended_by_box = nullptr)
{
    Progress progress("list read", session.options.quiet);
    BoxDriver::Hooks hooks;
    hooks.row = [&](int satellite, const SatRecord &record) {
        if (satellite < 1 || satellite > sat_count)
            return;
        take(satellite, record);
        progress.show("satellite", satellite, sat_count, long(satellite) * sat_record_size,
                      long(sat_count) * sat_record_size, satellite % 20 == 0 || satellite == sat_count);
    };
    protocol::ListRead read;
    const int code = converse(session, read, transfer_give_up, hooks, &progress, left_behind);
    if (ended_by_box)
        *ended_by_box = read.ended();
    return code;
}

int cmd_list_read(const PortListing &listing, Session &session, const QString &out_path)
{
    // Known before the transfer, not after it.
    const QString problem
        = out_path == QLatin1String("-") ? QString() : output_problem(native_path(out_path));
    if (!problem.isEmpty()) {
        say(QStringLiteral("cannot write %1: %2").arg(out_path, problem));
        return file_error;
    }
    if (const auto failed = open_line(listing, session))
        return *failed;
    SatTable table;
    const int code = read_list(
        session,
        [&table](int satellite, const SatRecord &r) {
            table[size_t(satellite - 1)] = record_to_row(r, EmptySlot::blank);
        },
        "The box is left as it was; read the list again.");
    if (code != done)
        return code; // an earlier file stays as it was
    if (!write_csv(out_path, table))
        return file_error;
    const QString round_trip = csv_round_trip_report(std::vector<SatRow>(table.begin(), table.end()));
    if (!round_trip.isEmpty())
        say(out_path + QStringLiteral(": ") + round_trip);
    return done;
}

// An input read whole, with a limit (an endless one ends there); a stop
// signal ends the reading too. Says why when it fails.
std::optional<QByteArray> read_input(const QString &path)
{
    const WholeRead read = path == QLatin1String("-")
        ? read_whole_fd(STDIN_FILENO, input_size_limit, stop_requested)
        : read_whole_file(native_path(path), input_size_limit, stop_requested);
    if (read.ok())
        return read.bytes;
    say(QStringLiteral("cannot read %1: %2").arg(path, read.error));
    return std::nullopt;
}

int verify_write(Session &session, const SatTable &table);

// What a write of `list` sends: its rows, empty where the file fills none.
SatTable sent_table(const CsvList &list)
{
    SatTable table;
    for (std::size_t r = 0; r < list.lines.size() && r < table.size(); ++r)
        if (list.lines[r].is_valid())
            table[r] = list.lines[r].cells();
    return table;
}

int cmd_list_write(const PortListing &listing, Session &session, const QString &in_path, bool verify)
{
    const std::optional<QByteArray> bytes = read_input(in_path);
    if (!bytes)
        return stop_requested() ? interrupted : file_error;
    const CsvList list = read_csv_list(*bytes);
    const QString report = csv_report(list);
    if (!report.isEmpty())
        say(QStringLiteral("%1:\n%2").arg(in_path, report));
    // Nothing parsed is nothing sent: 199 empty records would wipe the box.
    if (list.satellite_lines() == 0) {
        say(csv_no_satellite_text(list) + QStringLiteral(" Nothing sent."));
        return file_error;
    }
    if (!list.skipped.empty() && !session.options.force) {
        say(QStringLiteral("nothing sent: the rows of skipped lines would reach the box empty "
                           "(--force sends the file all the same)."));
        return file_error;
    }

    const SatTable table = sent_table(list);
    int altered = 0;
    for (int r = 0; r < int(list.lines.size()); ++r) {
        if (!list.lines[size_t(r)].is_valid())
            continue;
        // A name the load cut is reported as the write would cut it.
        SatRow as_filed = table[size_t(r)];
        as_filed[col_name] = list.file_names[size_t(r)];
        for (const CellChange &change : write_changes(as_filed)) {
            ++altered;
            std::fprintf(stderr, "vr20-box: row %d, %s: \"%s\" is sent as \"%s\": %s\n", r + 1,
                         sat_column_name(change.column).toLatin1().constData(),
                         change.text.toLocal8Bit().constData(), change.sent.toLocal8Bit().constData(),
                         change.reason.toLocal8Bit().constData());
        }
    }
    if (session.options.strict) {
        QStringList refused;
        if (altered > 0)
            refused << QStringLiteral("%1 cells would be altered or could not be read back").arg(altered);
        if (!list.odd_fields.empty())
            refused
                << QStringLiteral("%1 number fields do not read as they show").arg(list.odd_fields.size());
        if (!list.cut_lines.empty())
            refused << QStringLiteral("%1 lines were cut").arg(list.cut_lines.size());
        if (!refused.isEmpty()) {
            say(refused.join(QStringLiteral(", ")) + QStringLiteral("; nothing sent (--strict)."));
            return file_error;
        }
    }
    if (const auto failed = open_line(listing, session))
        return *failed;
    Progress progress("list write", session.options.quiet);
    protocol::ListWrite write(
        [&table](int satellite) { return row_to_record(table[size_t(satellite - 1)]); });
    BoxDriver::Hooks hooks;
    int shown = 0;
    hooks.progress = [&](int) {
        const int satellite = std::min(write.satellite(), sat_count);
        if (satellite == shown)
            return;
        shown = satellite;
        progress.show("satellite", satellite, sat_count, long(satellite) * sat_record_size,
                      long(sat_count) * sat_record_size, satellite % 20 == 0 || satellite == sat_count);
    };
    const int code = converse(session, write, transfer_give_up, hooks, &progress,
                              "The box holds the satellites sent so far; write the list again.");
    if (code != done || !verify)
        return code;
    return verify_write(session, table);
}

// ---- comparing lists ----

using HeldList = std::vector<std::optional<SatRow>>;

// What the box holds after a write of `table`.
HeldList written_list(const SatTable &table)
{
    HeldList rows;
    for (const SatRow &row : table)
        rows.push_back(written_row(row));
    return rows;
}

// Reads what the box holds; satellites the read did not reach have no
// value. The exit status of the read, except that a read the box itself
// ended early (a satellite it cannot send back) is a difference: the list
// cannot be told to agree.
int read_held(Session &session, HeldList &held, const char *left_behind)
{
    held.assign(sat_count, std::nullopt);
    bool ended_by_box = false;
    const int code = read_list(
        session, [&held](int satellite, const SatRecord &r) { held[size_t(satellite - 1)] = held_row(r); },
        left_behind, &ended_by_box);
    return code != done && ended_by_box ? differs : code;
}

// Prints the differences between `left` and `right`; `code` is the exit
// status of the read that gave one of them.
int report_differences(Session &session, const HeldList &left, const HeldList &right, int code,
                       const QString &agreement)
{
    const std::vector<SlotDifference> differences = compare_lists(left, right);
    const QByteArray text = format_differences(differences).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    int satellites = 0, unknown = 0, last = 0;
    for (const SlotDifference &d : differences) {
        unknown += d.column < 0 ? 1 : 0;
        satellites += d.column >= 0 && d.number != last ? 1 : 0;
        last = d.number;
    }
    if (differences.empty()) {
        if (!session.options.quiet)
            say(agreement);
        return code;
    }
    say(QStringLiteral("%1 satellites differ, %2 not verified.").arg(satellites).arg(unknown));
    return code == done ? differs : code;
}

int verify_write(Session &session, const SatTable &table)
{
    HeldList held;
    const int code = read_held(session, held,
                               "The box holds the list written; its read-back did not end: verify it "
                               "with list diff.");
    return report_differences(session, written_list(table), held, code,
                              QStringLiteral("the box holds the list as it was sent."));
}

// `paths`: a file, compared with the box, or two files.
int cmd_list_diff(const PortListing &listing, Session &session, const QStringList &paths)
{
    std::vector<HeldList> files;
    for (const QString &path : paths) {
        const std::optional<QByteArray> bytes = read_input(path);
        if (!bytes)
            return stop_requested() ? interrupted : file_error; // read_input said why
        files.push_back(written_list(sent_table(read_csv_list(*bytes))));
    }
    if (files.size() == 2)
        return report_differences(session, files[0], files[1], done,
                                  QStringLiteral("a write of %1 would change nothing on a box that holds %2.")
                                      .arg(paths[1], paths[0]));

    if (const auto failed = open_line(listing, session))
        return *failed;
    HeldList held;
    const int code = read_held(session, held, "The box is left as it was; nothing was written.");
    return report_differences(session, held, files[0], code,
                              QStringLiteral("a write of %1 would change nothing.").arg(paths[0]));
}

int cmd_update(const PortListing &listing, Session &session, const QString &package_path)
{
    const std::optional<QByteArray> package = read_input(package_path);
    if (!package)
        return stop_requested() ? interrupted : file_error;
    LoadedPackage loaded = load_package(*package);
    const PackageCheck &check = loaded.check;
    for (const std::string &warning : check.warnings)
        say(QStringLiteral("%1: warning: %2").arg(package_path, QString::fromStdString(warning)));
    if (!check.sound()) {
        for (const std::string &fault : check.faults)
            say(QStringLiteral("%1: malformed package: %2").arg(package_path, QString::fromStdString(fault)));
        if (!session.options.force) {
            say(QStringLiteral("nothing sent (--force sends it all the same)."));
            return file_error;
        }
    }

    if (const auto failed = open_line(listing, session))
        return *failed;
    const int count = int(loaded.blocks.size());
    const long total = long(count) * long(block_line_bytes);
    Progress progress("update", session.options.quiet);
    int started = 0;
    BoxDriver::Hooks hooks;
    hooks.progress = [&](int value) {
        started = std::min(value + 1, count);
        progress.show("block", started, count, long(value) * long(block_line_bytes), total, true);
    };
    hooks.status = [&](protocol::Status status, int value) {
        if (status == protocol::Status::bytes_loaded)
            progress.show("block", started, count, value, total, false);
    };
    protocol::UpdateSession update(loaded.header, std::move(loaded.blocks));
    return converse(session, update, transfer_give_up, hooks, &progress,
                    "The box may still be in its bootloader: run the update again.");
}

int cmd_ports(const PortListing &listing)
{
    for (const PortEntry &port : listing.ports())
        std::printf("%s\t%s\t%s\t%s\n", QFile::encodeName(port.path).constData(),
                    port.description.toLocal8Bit().constData(), port.usb_id.toLatin1().constData(),
                    port_state_name(port.state));
    return done;
}

bool is_option(const QString &arg)
{
    return arg.startsWith(QLatin1String("--"));
}

} // namespace

PortChoice choose_port(const QString &option, const PortListing &listing)
{
    PortChoice choice;
    if (!option.isEmpty()) {
        choice.path = option.contains(QLatin1Char('/')) ? option : QStringLiteral("/dev/") + option;
        return choice;
    }
    const QList<PortEntry> ports = listing.ports();
    QList<PortEntry> adapters;
    for (const PortEntry &port : ports)
        if (port.usb)
            adapters << port;
    if (adapters.size() == 1) {
        const PortEntry &port = adapters.first();
        choice.path = port.path;
        choice.note = QStringLiteral("using %1%2")
                          .arg(port.path,
                               port.description.isEmpty() ? QString()
                                                          : QStringLiteral(" (%1)").arg(port.description));
        return choice;
    }
    choice.error = adapters.isEmpty()
        ? QStringLiteral("no USB serial adapter found; choose a port with --port.")
        : QStringLiteral("%1 USB serial adapters found; choose one with --port.").arg(adapters.size());
    if (ports.isEmpty()) {
        choice.error += QStringLiteral("\nThe system lists no serial ports.");
    } else {
        choice.error += QStringLiteral("\nSerial ports:");
        for (const PortEntry &port : ports)
            choice.error += QStringLiteral("\n  %1\t%2\t%3")
                                .arg(port.path, port.description, QLatin1String(port_state_name(port.state)));
    }
    return choice;
}

int run(const QStringList &args, const PortListing &listing)
{
    Session session;
    Options &options = session.options;
    int i = 0;
    // Options first; the first word that is none is the command, and all
    // after it are its arguments (so "-1000" is a number, not an option).
    for (; i < args.size() && is_option(args[i]); ++i) {
        const QString &arg = args[i];
        const auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (arg == QLatin1String("--help")) {
            std::fputs(usage_text, stdout);
            return done;
        }
        if (arg == QLatin1String("--version")) {
            std::printf("vr20-box %s\n", VR20_VERSION);
            return done;
        }
        if (arg == QLatin1String("--quiet")) {
            options.quiet = true;
        } else if (arg == QLatin1String("--force")) {
            options.force = true;
        } else if (arg == QLatin1String("--strict")) {
            options.strict = true;
        } else if (arg == QLatin1String("--port")) {
            const auto port = value();
            if (!port || port->isEmpty())
                return usage_error(QStringLiteral("--port needs a port"));
            options.port = *port;
        } else if (arg == QLatin1String("--timeout")) {
            const auto text = value();
            bool ok = false;
            const int ms = text ? text->toInt(&ok) : 0;
            if (!ok || ms <= 0)
                return usage_error(QStringLiteral("--timeout needs a number of milliseconds above 0"));
            options.timeout = milliseconds(ms);
        } else {
            return usage_error(QStringLiteral("unknown option %1").arg(arg));
        }
    }
    if (i >= args.size())
        return usage_error(QStringLiteral("no command given"));
    const QString command = args[i];
    const QStringList rest = args.mid(i + 1);
    for (const QString &arg : rest)
        if (arg == QLatin1String("--port") || arg == QLatin1String("--timeout")
            || arg == QLatin1String("--quiet") || arg == QLatin1String("--force")
            || arg == QLatin1String("--strict"))
            return usage_error(
                QStringLiteral("%1 after the command").arg(arg),
                QStringLiteral("Options go before the command: vr20-box %1 %2 ...").arg(arg, command));

    install_stop_handlers();
    if (command == QLatin1String("ports")) {
        if (!rest.isEmpty())
            return usage_error(QStringLiteral("ports takes no arguments"));
        return cmd_ports(listing);
    }
    if (command == QLatin1String("update")) {
        if (rest.size() != 1)
            return usage_error(QStringLiteral("update takes one package"));
        return cmd_update(listing, session, rest[0]);
    }
    if (command == QLatin1String("list")) {
        if (rest.size() == 2 && rest[0] == QLatin1String("read"))
            return cmd_list_read(listing, session, rest[1]);
        if (rest.size() == 2 && rest[0] == QLatin1String("write"))
            return cmd_list_write(listing, session, rest[1], false);
        if (rest.size() == 3 && rest[0] == QLatin1String("write") && rest[1] == QLatin1String("--verify"))
            return cmd_list_write(listing, session, rest[2], true);
        if ((rest.size() == 2 || rest.size() == 3) && rest[0] == QLatin1String("diff"))
            return cmd_list_diff(listing, session, rest.mid(1));
        return usage_error(QStringLiteral(
            "list read OUT.csv, list write [--verify] IN.csv, or list diff FILE.csv [FILE.csv]"));
    }
    if (command == QLatin1String("limits")) {
        if (rest.size() == 1 && rest[0] == QLatin1String("get"))
            return cmd_limits_get(listing, session);
        if (rest.size() == 3 && rest[0] == QLatin1String("set"))
            return cmd_limits_set(listing, session, rest[1], rest[2]);
        return usage_error(QStringLiteral("limits get, or limits set WEST EAST"));
    }
    return usage_error(QStringLiteral("unknown command %1").arg(command));
}

} // namespace vr20box
