#include "bb/system/InvokeManager.h"
#include "bb/system/SystemUiButton.h"

#include <QJsonObject>
#include <QTimer>

#include "files.h"
#include "invoke_record.h"
#include "live_objects.h"
#include "zunaro/device.h"

namespace bb {
namespace system {

InvokeTargetReply::InvokeTargetReply(QObject *parent)
    : QObject(parent)
{
}

InvokeManager::InvokeManager(QObject *parent)
    : QObject(parent)
{
    zplatform::live::addInvokeManager(this);
}

InvokeManager::~InvokeManager()
{
    zplatform::live::removeInvokeManager(this);
}

InvokeTargetReply *InvokeManager::invoke(const InvokeRequest &request)
{
    if (!zplatform::recordInvocation(request, QStringLiteral("service")))
        return nullptr;
    auto *reply = new InvokeTargetReply;
    QTimer::singleShot(0, reply, [reply] {
        reply->m_finished = true;
        emit reply->finished();
    });
    return reply;
}

SystemUiButton::SystemUiButton(const QString &label, QObject *parent)
    : QObject(parent), m_label(label)
{
}

} // namespace system
} // namespace bb

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

} // namespace zplatform
