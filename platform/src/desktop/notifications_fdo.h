#pragma once
// The Hub and the dialog on the session's notification server
// (org.freedesktop.Notifications): one notification per Hub key, updated in
// place, and a ringing dialog as a resident, critical notification with the
// dialog's buttons as actions. An entry about what a shown dialog is about
// is no notification of its own: one call, one notification.

#include <QString>
#include <QStringList>

#include <memory>

#include "internal/backend_api.h"

namespace zplatform {

// Sends the entries' and the dialog's requests through `invoker`.
std::unique_ptr<HubCarrier> makeNotificationsFdoCarrier(Invoker &invoker);

// Pure helpers of the carrier.
// Text for a markup body: only &, < and > are special there.
QString escapeBodyMarkup(const QString &text);
// Each line cut to at most maxChars characters plus an ellipsis, never
// through a surrogate pair, so a huge name cannot make a huge notification.
QString shortenLines(const QString &text, int maxChars);
// The action key of a dialog button: "accept" for the one that confirms,
// "decline" for the one that cancels, "button<N>" for any other.
QString dialogActionKey(ButtonRole role, int index);
// Whether an entry's request is what a dialog button's request is about:
// the same target and place, the button's query adding to the entry's.
bool requestIsAbout(const bb::system::InvokeRequest &entry, const bb::system::InvokeRequest &button);
// The body as shown: with previews off, of a message only its first line
// (what it is about, not what it says).
QString previewBody(const QString &body, HubCategory category, bool previewOff);

} // namespace zplatform
