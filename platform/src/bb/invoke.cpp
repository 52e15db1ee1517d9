#include "bb/system/InvokeManager.h"
#include "bb/system/SystemUiButton.h"

#include <QPointer>

#include "backends.h"
#include "internal/live_objects.h"
#include "internal/online_state.h"
#include "zunaro/status.h"

namespace bb {
namespace system {

InvokeTargetReply::InvokeTargetReply(QObject *parent)
    : QObject(parent)
{
}

InvokeManager::InvokeManager(QObject *parent)
    : QObject(parent)
{
    if (zplatform::live::addInvokeManager(this))
        zplatform::backends().entrance->open({zplatform::live::deliverInvocation, zplatform::reportOnline,
                                              zplatform::statusSnapshot});
}

InvokeManager::~InvokeManager()
{
    if (zplatform::live::removeInvokeManager(this))
        zplatform::backends().entrance->close();
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
