#pragma once

// Running vr20-box from a test: the whole run, its exit status and output.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "box_sim.h"

namespace box_run {

inline const QString tool = QStringLiteral(VR20_BINARY_DIR "/vr20-box");

struct Run {
    int code = -1; // -1: it did not end by itself
    QByteArray out;
    QByteArray err;
    qint64 ms = 0; // from the start to the end
    boxsim::Clock::time_point end; // when it was seen to end
};

// Runs vr20-box to its end, feeding `input` to its standard input; kills it
// after `limit_ms`.
inline Run run(const QStringList &args, const QByteArray &input = {}, int limit_ms = 60000,
               const QString &working_dir = QString())
{
    Run result;
    QProcess p;
    if (!working_dir.isEmpty())
        p.setWorkingDirectory(working_dir);
    QElapsedTimer clock;
    clock.start();
    p.start(tool, args);
    if (!p.waitForStarted(10000)) {
        result.err = "could not start vr20-box";
        return result;
    }
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    const bool ended = p.waitForFinished(limit_ms);
    result.ms = clock.elapsed();
    result.end = boxsim::Clock::now();
    if (!ended) {
        p.kill();
        p.waitForFinished();
    }
    result.code = ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    result.out = p.readAllStandardOutput();
    result.err = p.readAllStandardError();
    if (!ended)
        result.err += "\n[test: killed after the time limit]";
    return result;
}

// `args` after --port and the box's terminal.
inline QStringList on(const boxsim::Box &box, const QStringList &args)
{
    return QStringList{QStringLiteral("--port"), QString::fromStdString(box.slave_path())} + args;
}

} // namespace box_run
