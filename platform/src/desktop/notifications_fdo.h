#pragma once
// The Hub and the dialog on the session's notification server
// (org.freedesktop.Notifications): one notification per Hub key, updated in
// place, and the ringing call as a resident, critical notification with the
// dialog's buttons as actions.

#include <QString>
#include <QStringList>

#include <memory>

namespace zplatform {

class HubCarrier;

std::unique_ptr<HubCarrier> makeNotificationsFdoCarrier();

// Pure helpers of the carrier.
// Text for a markup body: only &, < and > are special there.
QString escapeBodyMarkup(const QString &text);
// Each line cut to at most maxChars characters plus an ellipsis, never
// through a surrogate pair, so a huge name cannot make a huge notification.
QString shortenLines(const QString &text, int maxChars);
// The action key of a dialog button: "accept" for Answer, "decline" for
// Decline, "button<N>" for any other.
QString dialogActionKey(const QString &label, int index);

} // namespace zplatform
