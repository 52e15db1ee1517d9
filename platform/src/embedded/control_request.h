#pragma once
// The requests of the control socket, one JSON object per line, and their
// one-line answers. Pure, so every hostile line can be tried directly.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include "bb/system/InvokeRequest.h"

namespace zplatform {

// A longer line ends the connection: nobody sends that much by mistake.
constexpr qsizetype kMaxControlLineBytes = 64 * 1024;

struct ControlRequest {
    enum Kind { Invalid, Invoke, Online, DialogButton, HubSelect, Status };
    Kind kind = Invalid;
    QString error;                       // why it is Invalid
    bb::system::InvokeRequest invoke;    // Invoke
    bool online = false;                 // Online
    QString name;                        // DialogButton: label; HubSelect: key
};

// One line without its line feed (a trailing carriage return is allowed).
ControlRequest parseControlRequest(const QByteArray &line);

// {"action", "target"?, "uri"?, "mime"?}: action a non-empty string, the
// others strings when present, the uri one QUrl can parse.
bool invokeRequestFromJson(const QJsonObject &o, bb::system::InvokeRequest *request, QString *error);

// {"ok":true} for an empty error, else {"ok":false,"error":...}; with its
// line feed. The members of `more` go into an answer that says ok.
QByteArray controlReply(const QString &error, const QJsonObject &more = QJsonObject());

// The status snapshot as JSON. A cursor beyond a JSON number's exact
// integers goes as its decimal text, so no digit is lost.
QJsonObject statusJson(const QVariantMap &status);

} // namespace zplatform
