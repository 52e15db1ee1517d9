#include "bb/system/InvokeManager.h"
#include "bb/system/SystemUiButton.h"

#include <QJsonObject>
#include <QPointer>

#include "backends.h"

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
    auto *reply = new InvokeTargetReply;
    const QPointer<InvokeTargetReply> guard(reply);
    const bool sent = zplatform::sendInvocation(request, QStringLiteral("service"), [guard](const QString &error) {
        if (!guard)
            return;
        guard->m_errorString = error;
        guard->m_finished = true;
        emit guard->finished();
    });
    if (!sent) {
        delete reply;
        return nullptr;
    }
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
