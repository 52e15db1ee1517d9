#include "zunaro/status.h"

#include <QPointer>

#include "backends.h"
#include "online_state.h"

namespace zplatform {

namespace {
struct Provider {
    QPointer<QObject> owner;
    std::function<QVariantMap()> snapshot;
};

Provider &provider()
{
    static Provider p;
    return p;
}
} // namespace

void setStatusProvider(QObject *owner, std::function<QVariantMap()> snapshot)
{
    provider() = Provider {owner, std::move(snapshot)};
}

QVariantMap statusSnapshot()
{
    const Provider &p = provider();
    QVariantMap status = p.owner && p.snapshot ? p.snapshot() : QVariantMap();
    status.insert(QStringLiteral("lock_state"), backends().lock->state());
    status.insert(QStringLiteral("online"), onlineState());
    return status;
}

} // namespace zplatform
