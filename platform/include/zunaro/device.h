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
// $XDG_DATA_HOME/zunaro on a desktop; either is made for its owner alone
// (created 0700, or tightened with one log line). The shared folder is the
// root of misc/nimbrel/*.env and misc/tgpush_proxy.env: <device root>/
// accounts/1000/shared on a device, $XDG_CONFIG_HOME/zunaro on a desktop,
// which is the service's own and made private like the data folder.
QString dataDir();
QString sharedDir();
// The application's notification settings (JSON): in <device root>/platform
// on a device, in $XDG_CONFIG_HOME/zunaro on a desktop.
QString notificationSettingsPath();

// The start-up checks: false with one line for a person saying what is
// wrong and what to do. A device needs its layout: the service in
// <root>/app/native, or the root named by $ZUNARO_DEVICE_ROOT, and never
// "/" (an installed service would take /usr for a device). The service's
// folders are made private, and the data folder must be the user's own and
// take files.
bool deviceLayoutFound(QString *error);
bool serviceFoldersReady(QString *error);

// Milliseconds since the Unix epoch. Tests may freeze or move it.
qint64 nowMs();
QDateTime now();

// Test hooks for the clock: freeze at a time, move a frozen clock, or go
// back to the real clock.
void setClockMs(qint64 ms);
void advanceClockMs(qint64 ms);
void resetClock();

} // namespace zplatform
