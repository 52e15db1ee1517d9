#pragma once
// Reading the device state files the user or a test writes: pure helpers,
// so every content a hostile file may hold can be tried directly.

#include <QByteArray>
#include <QNetworkInformation>

namespace zplatform {

// Largest lock_state file taken as a lock state.
constexpr qsizetype kMaxLockStateBytes = 64;

// "0" unlocked, "1" or "2" locked (white space around allowed); anything
// else is not a state we know and reads as -1, the failed query.
int lockStateFromContent(const QByteArray &content);

// The applied defaults; alerts stay enabled, nothing here turns them off.
struct AppliedSettings {
    int sound = 0;
    int vibrate = 0;
    int led = 0;
    int preview = 0;
};

// The value of a policy the user turned off (0 is the default, 1 allow).
constexpr int kPolicyDeny = 2;

// The settings as last applied; a missing, garbled or out-of-range value
// reads as its default.
AppliedSettings settingsFromJson(const QByteArray &content);

// The settings as last applied, from notificationSettingsPath(): the one
// place that reads that file. A missing or unreadable file reads as the
// defaults.
AppliedSettings appliedSettings();

// Largest online_state file taken as an online state.
constexpr qsizetype kMaxOnlineStateBytes = 64;

// "0" (white space around allowed) is offline; anything else, like an absent
// or unreadable file, counts as online: with no way to tell, the service
// should try rather than wait.
bool onlineFromContent(const QByteArray &content);

// Online and Unknown count as online: with no way to tell, the service
// should try rather than wait.
bool onlineFromReachability(QNetworkInformation::Reachability reachability);

} // namespace zplatform
