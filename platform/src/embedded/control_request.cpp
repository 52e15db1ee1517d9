#include "embedded/control_request.h"
#include "zunaro/json.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>
#include <QUrl>

#include <limits>

namespace zplatform {

bool invokeRequestFromJson(const QJsonObject &o, bb::system::InvokeRequest *request, QString *error)
{
    const QJsonValue action = o.value(QStringLiteral("action"));
    if (!action.isString() || action.toString().isEmpty()) {
        *error = QStringLiteral("invoke needs an action string");
        return false;
    }
    for (const char *field : {"target", "uri", "mime"}) {
        const QJsonValue v = o.value(QLatin1String(field));
        if (!v.isUndefined() && !v.isString()) {
            *error = QStringLiteral("invoke field %1 must be a string").arg(QLatin1String(field));
            return false;
        }
    }
    // QUrl would turn a uri it cannot parse into an empty one: the request
    // would go out without it and nobody would know why.
    const QString uri = o.value(QStringLiteral("uri")).toString();
    if (!uri.isEmpty() && !QUrl(uri).isValid()) {
        *error = QStringLiteral("invoke field uri is not a valid URI");
        return false;
    }
    bb::system::InvokeRequest r;
    r.setAction(action.toString());
    r.setTarget(o.value(QStringLiteral("target")).toString());
    r.setMimeType(o.value(QStringLiteral("mime")).toString());
    r.setUri(uri);
    *request = r;
    return true;
}

namespace {
ControlRequest invalid(const QString &error)
{
    ControlRequest r;
    r.error = error;
    return r;
}

ControlRequest nameRequest(ControlRequest::Kind kind, const QJsonValue &value, const char *what)
{
    if (!value.isString() || value.toString().isEmpty())
        return invalid(QStringLiteral("%1 needs a non-empty string").arg(QLatin1String(what)));
    ControlRequest r;
    r.kind = kind;
    r.name = value.toString();
    return r;
}
} // namespace

ControlRequest parseControlRequest(const QByteArray &line)
{
    QByteArray text = line;
    if (text.endsWith('\r'))
        text.chop(1);
    QJsonParseError parseError;
    const QJsonDocument doc = readJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return invalid(QStringLiteral("not a JSON object"));
    const QJsonObject o = doc.object();

    static const QStringList known = {QStringLiteral("invoke"), QStringLiteral("online"),
                                      QStringLiteral("dialog_button"), QStringLiteral("hub_select"),
                                      QStringLiteral("status")};
    QString which;
    for (const QString &name : known) {
        if (!o.contains(name))
            continue;
        if (!which.isEmpty())
            return invalid(QStringLiteral("more than one request in a line"));
        which = name;
    }
    if (which.isEmpty())
        return invalid(QStringLiteral("unknown request"));

    const QJsonValue value = o.value(which);
    if (which == QLatin1String("invoke")) {
        if (!value.isObject())
            return invalid(QStringLiteral("invoke must be an object"));
        ControlRequest r;
        if (!invokeRequestFromJson(value.toObject(), &r.invoke, &r.error))
            return r;
        r.kind = ControlRequest::Invoke;
        return r;
    }
    if (which == QLatin1String("online")) {
        if (!value.isBool())
            return invalid(QStringLiteral("online must be true or false"));
        ControlRequest r;
        r.kind = ControlRequest::Online;
        r.online = value.toBool();
        return r;
    }
    if (which == QLatin1String("status")) {
        if (value != QJsonValue(true))
            return invalid(QStringLiteral("status must be true"));
        ControlRequest r;
        r.kind = ControlRequest::Status;
        return r;
    }
    if (which == QLatin1String("dialog_button"))
        return nameRequest(ControlRequest::DialogButton, value, "dialog_button");
    return nameRequest(ControlRequest::HubSelect, value, "hub_select");
}

QByteArray controlReply(const QString &error, const QJsonObject &more)
{
    QJsonObject o = error.isEmpty() ? more : QJsonObject();
    o.insert(QStringLiteral("ok"), error.isEmpty());
    if (!error.isEmpty())
        o.insert(QStringLiteral("error"), error);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject statusJson(const QVariantMap &status)
{
    QJsonObject o;
    for (auto it = status.constBegin(); it != status.constEnd(); ++it) {
        const bool exact = it->metaType().id() != QMetaType::ULongLong
            || it->toULongLong() <= quint64(std::numeric_limits<qint64>::max());
        o.insert(it.key(), exact ? QJsonValue::fromVariant(*it) : QJsonValue(it->toString()));
    }
    return o;
}

} // namespace zplatform
