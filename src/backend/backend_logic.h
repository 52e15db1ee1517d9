#pragma once
// The arithmetic and parsing behind backend supervision, kept free of state
// so each rule can be checked on its own.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>

namespace backend {

// How long a stopped backend has after SIGTERM before SIGKILL, whether it is
// the service's own or one an earlier service left behind.
constexpr int kStopGraceMs = 1200;

// Stack limit for the backend, in bytes, from TD_BACKEND_STACK_KB: 192 KiB
// when unset or not a positive number, never under 128 KiB, and never more
// than 1 GiB once the byte count would no longer fit in 32 bits.
size_t stackLimitBytes(const QString &stackKb);

// A wait status as exit code and QProcess::ExitStatus value (0 normal,
// 1 crash): a death by signal N reads as 128 + N.
struct ExitInfo {
    int exitCode;
    int exitStatus;
};
ExitInfo decodeWaitStatus(int status);

// Delay before the next launch after an exit with exitCode when `attempts`
// restarts were already scheduled.
int restartDelayMs(int exitCode, int attempts);

// baseMs spread by ±10 %, at least ±250 ms and at most ±30000 ms, with
// `draw` a non-negative pseudo-random number.
int jitterWithDraw(int baseMs, int draw);

// The command lines of one datagram: decoded as UTF-8, each trimmed, blank
// ones left out.
QStringList commandLines(const QByteArray &datagram);

// The process id a pid file holds (decimal, white space around it
// allowed); 0 for anything else.
int parsePidFile(const QByteArray &content);

// The parent's id from the text of /proc/PID/stat; 0 when it cannot be read.
int parentPidFromStat(const QByteArray &stat);

} // namespace backend
