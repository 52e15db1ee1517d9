// "hub_open.env" tells the UI which screen to open when it comes forward.

#include "events/hub_open_request.h"

#include "service_main.h"
#include "zunaro/device.h"
#include "zunaro/files.h"

namespace hubopen {

QByteArray compose(const QString &screen, qint64 chatId, const QString &reason, qint64 nowMs)
{
    QString text = QStringLiteral("HUB_OPEN=%1\n").arg(screen.trimmed());
    if (chatId > 0)
        text += QStringLiteral("HUB_CHAT_ID=%1\n").arg(chatId);
    text += QStringLiteral("HUB_TS_MS=%1\n").arg(nowMs);
    const QString trimmedReason = reason.trimmed();
    if (!trimmedReason.isEmpty())
        text += QStringLiteral("HUB_REASON=%1\n").arg(trimmedReason);
    return text.toUtf8();
}

} // namespace hubopen

void ZunaroHeadlessService::writeHubOpenRequest(const QString &screen, qint64 chatId, const QString &reason)
{
    // Replaced whole, never opened in place: the UI never reads half a
    // request, and nothing put at the path can hold the write.
    zplatform::writeFileAtomically(dataDir + QStringLiteral("/hub_open.env"),
                                   hubopen::compose(screen, chatId, reason, zplatform::nowMs()));
}
