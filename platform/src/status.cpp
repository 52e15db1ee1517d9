#include "zunaro/status.h"

#include <QPointer>

#include "backends.h"
#include "internal/online_state.h"
#include "zunaro/device.h"

namespace zplatform {

namespace {
struct Provider {
    QPointer<QObject> owner;
    std::function<QVariantMap()> snapshot;
    qint64 startedMs = 0;
};

Provider &provider()
{
    static Provider p;
    return p;
}
} // namespace

void setStatusProvider(QObject *owner, std::function<QVariantMap()> snapshot)
{
    provider() = Provider {owner, std::move(snapshot), nowMs()};
}

QVariantMap statusSnapshot()
{
    const Provider &p = provider();
    QVariantMap status = p.owner && p.snapshot ? p.snapshot() : QVariantMap();
    status.insert(QStringLiteral("version"), QStringLiteral(ZUNARO_VERSION));
    if (p.owner)
        status.insert(QStringLiteral("started_ms"), p.startedMs);
    status.insert(QStringLiteral("lock_state"), backends().lock->state());
    status.insert(QStringLiteral("online"), onlineState());
    return status;
}

QString statusLines(const QVariantMap &status)
{
    QString out;
    for (auto it = status.constBegin(); it != status.constEnd(); ++it) {
        const QVariant value = it->metaType().id() == QMetaType::Bool ? QVariant(it->toBool() ? 1 : 0) : *it;
        out += it.key() + QLatin1Char('=') + value.toString() + QLatin1Char('\n');
    }
    return out;
}

} // namespace zplatform
