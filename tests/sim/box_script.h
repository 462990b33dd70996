#pragma once

// The simulated box driven from the tool's end of its pseudo-terminal with
// plain POSIX calls: scripts of exchanges, byte for byte, and each arrival
// (what one read() on the tool's side gets) checked on its own, because the
// tool keeps only the first byte of an arrival.

#include "box_sim.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QMetaType>
#include <QObject>
#include <QVector>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>

class QTestData;

namespace boxscript {

using boxsim::Box;
using boxsim::Clock;
using boxsim::Record;

// Long enough for the box to answer on a loaded machine.
constexpr std::chrono::milliseconds patience{10000};
// How long the tool listens to see that nothing comes: the box answers a
// byte within a few milliseconds.
constexpr std::chrono::milliseconds nothing_comes{150};

// One exchange of a script: what the tool sends, and the arrivals it must get.
struct Exchange {
    QByteArray send;
    QByteArrayList expect; // each entry one arrival; empty: nothing may come
    int pause_ms = 0; // quiet before sending
    int at_least_ms = 0; // the first arrival may not come sooner
    QByteArray stray; // stray bytes after the answer, each its own arrival
    int stray_at_least_ms = 0; // the first stray byte may not come sooner
};
using Script = QVector<Exchange>;
using Setup = std::function<void(Box &)>;

// Bytes by value, e.g. raw({0x18, 'c'}).
QByteArray raw(std::initializer_list<int> bytes);
// `count` bytes of a record from byte `from` on.
QByteArray part(const Record &r, int from, int count);

struct Arrival {
    Clock::time_point when;
    QByteArray bytes;
};

// The tool's end of the line, opened the way a serial port is.
class ToolEnd
{
public:
    explicit ToolEnd(const std::string &path) { open_port(path); }
    ~ToolEnd() { close_port(); }
    ToolEnd(const ToolEnd &) = delete;
    ToolEnd &operator=(const ToolEnd &) = delete;

    void open_port(const std::string &path);
    void close_port();
    bool send(const QByteArray &bytes);
    // Arrivals until `count` bytes came or `timeout` passed.
    QVector<Arrival> take(int count, std::chrono::milliseconds timeout);

    int fd = -1;
    bool hung_up = false;
};

QByteArrayList bytes_of(const QVector<Arrival> &arrivals);

// Runs a script; false (with a warning that says where) at the first mismatch.
bool run_script(ToolEnd &tool, const Script &script);

// The tool sends `send` and gets `expect`, each entry one arrival.
Exchange say(QByteArray send, QByteArrayList expect = {}, int pause_ms = 0, int at_least_ms = 0);
// An exchange whose answer is followed by `stray`, not sooner than
// `at_least_ms` after the tool's byte.
Exchange say_stray(QByteArray send, QByteArrayList expect, QByteArray stray, int at_least_ms = 0);

// A line whose 17 bytes sum to 0 modulo 256.
QByteArray good_line(int seed);
// 'E', 'R' and a header of four bytes, answered 'P', 'Q' and 'Y'.
Script update_opening();
// Satellite k read whole; `stray` follows its last 0xCC.
Script list_read_of(int k, const Record &r, const QByteArray &stray = {}, int stray_ms = 0);
// The start of a limits read of the default limits: 'b' and count 1.
Script limits_read_start();
// Twenty record bytes, none of them 0xEF.
QByteArray record_bytes(int seed);
Record to_record(const QByteArray &bytes);

// The data-driven test of conversations: each row a setup, a script and a
// check (QCOMPAREs on the box afterwards), played on a box whose
// resend_quiet is 200 ms. A test class adds its rows in add_rows().
class ConversationTest : public QObject
{
    Q_OBJECT

protected:
    virtual void add_rows() = 0;

private slots:
    void conversation_data();
    void conversation();
};

// Setups and checks shared by the rows.
Setup nothing();
Setup completed(boxsim::Conversation c, int n);
// Adds the fault, which must be the box's first.
Setup with(const boxsim::Fault &f);
// The box's first fault acted `n` times.
Setup hits(int n);

// Delays of the stray rows, and the name of such a row.
constexpr int stray_delays_ms[] = {0, 5, 30};
QTestData &stray_row(int ms, const char *what);

} // namespace boxscript

Q_DECLARE_METATYPE(boxscript::Script)
Q_DECLARE_METATYPE(boxscript::Setup)
