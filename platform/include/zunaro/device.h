#pragma once
// The device the service runs on: where "/" of the device lies, the
// application folder, and the one clock every "now" comes from.

#include <QDateTime>
#include <QString>

namespace zplatform {

// The UDP port on 127.0.0.1 where the service takes the UI's commands for
// the backend on a device (a desktop has a socket of each user's own,
// zunaro/command_socket.h).
constexpr quint16 kCommandPort = 47010;

// The most one command datagram may hold, on either kind of command socket;
// the service drops a longer one whole, so senders refuse it.
constexpr qsizetype kMaxCommandDatagramBytes = 4095;

// The application folder: QCoreApplication::applicationDirPath() unless a
// test placed the device elsewhere with setApplicationDirPath().
QString applicationDirPath();
void setApplicationDirPath(const QString &path); // empty restores the default

// "/" of the device: $ZUNARO_DEVICE_ROOT when set and non-empty, else the
// folder two levels above the application folder.
QString deviceRoot();

// Maps a fixed absolute device path ("/accounts/1000/shared/...") under the
// device root. The only place that knows about the mapping.
QString devicePath(const QString &absolutePath);

// <device root>/platform, where the embedded platform keeps its state.
QString platformDir();

// The service's folders, for whichever platform runs; nothing else knows
// where they lie. The data folder holds the events file, the presence files,
// the cursor and the backend's output: <device root>/data on a device,
// $XDG_DATA_HOME/zunaro (created, only for its owner) on a desktop. The
// shared folder is the root of misc/nimbrel/*.env and misc/tgpush_proxy.env:
// <device root>/accounts/1000/shared on a device, $XDG_CONFIG_HOME/zunaro on
// a desktop.
QString dataDir();
QString sharedDir();
// The application's notification settings (JSON): in <device root>/platform
// on a device, in $XDG_CONFIG_HOME/zunaro on a desktop.
QString notificationSettingsPath();

// Milliseconds since the Unix epoch. Tests may freeze or move it.
qint64 nowMs();
QDateTime now();

// Test hooks for the clock: freeze at a time, move a frozen clock, or go
// back to the real clock.
void setClockMs(qint64 ms);
void advanceClockMs(qint64 ms);
void resetClock();

} // namespace zplatform
