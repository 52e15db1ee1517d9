#include "embedded/invocations_file.h"

#include <QTimer>

#include "files.h"
#include "zunaro/device.h"

namespace zplatform {

QJsonObject invokeRequestToJson(const bb::system::InvokeRequest &request)
{
    QJsonObject o;
    o.insert(QStringLiteral("target"), request.target());
    o.insert(QStringLiteral("action"), request.action());
    o.insert(QStringLiteral("mime"), request.mimeType());
    o.insert(QStringLiteral("uri"), request.uri().toString());
    return o;
}

bool recordInvocation(const bb::system::InvokeRequest &request, const QString &by)
{
    QJsonObject o = invokeRequestToJson(request);
    o.insert(QStringLiteral("at_ms"), double(nowMs()));
    o.insert(QStringLiteral("by"), by);
    return appendJsonLine(platformDir() + QStringLiteral("/invocations.jsonl"), o);
}

bool InvocationsFile::send(const bb::system::InvokeRequest &request, const QString &by, InvocationDone done)
{
    if (!recordInvocation(request, by))
        return false;
    if (done)
        QTimer::singleShot(0, [done] { done(QString()); });
    return true;
}

} // namespace zplatform
