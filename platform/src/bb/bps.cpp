#include "bps/bps.h"
#include "bb/AbstractBpsEventHandler.h"

#include <QList>
#include <QPair>

#include "backends.h"

struct bps_event_t {
    int domain;
    unsigned int code;
    int value;
};

namespace {
constexpr int kNavigatorDomain = 1;

// Handlers with the domains they subscribed to, in the order they came.
QList<QPair<bb::AbstractBpsEventHandler *, int>> &handlers()
{
    static QList<QPair<bb::AbstractBpsEventHandler *, int>> list;
    return list;
}

void deliver(bps_event_t *event)
{
    // A handler may go while another handles the event: walk a copy, and
    // skip whoever left meanwhile.
    const auto snapshot = handlers();
    for (const auto &entry : snapshot) {
        if (!(entry.second & (1 << event->domain)))
            continue;
        for (const auto &live : std::as_const(handlers())) {
            if (live.first == entry.first) {
                entry.first->event(event);
                break;
            }
        }
    }
}

void followLockState()
{
    static bool connected = false;
    zplatform::LockSource &lock = *zplatform::backends().lock;
    if (!connected) {
        connected = true;
        QObject::connect(&lock, &zplatform::LockSource::changed, [](int state) {
            bps_event_t event {kNavigatorDomain, NAVIGATOR_DEVICE_LOCK_STATE, state};
            deliver(&event);
        });
    }
    lock.start();
}
} // namespace

int bps_initialize()
{
    // Asked now, so the state is known by the time a call rings, and every
    // change is told to the handlers as it happens.
    followLockState();
    return BPS_SUCCESS;
}

void bps_shutdown()
{
}

int bps_event_get_domain(bps_event_t *event)
{
    return event->domain;
}

unsigned int bps_event_get_code(bps_event_t *event)
{
    return event->code;
}

int navigator_get_domain()
{
    return kNavigatorDomain;
}

int navigator_get_device_lock_state()
{
    const int state = zplatform::backends().lock->state();
    return state < 0 ? BPS_FAILURE : state;
}

int navigator_event_get_device_lock_state(bps_event_t *event)
{
    return event->code == NAVIGATOR_DEVICE_LOCK_STATE ? event->value : BPS_FAILURE;
}

namespace bb {

AbstractBpsEventHandler::AbstractBpsEventHandler() = default;

AbstractBpsEventHandler::~AbstractBpsEventHandler()
{
    auto &list = handlers();
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list[i].first == this)
            list.removeAt(i--);
    }
}

void AbstractBpsEventHandler::subscribe(int domain)
{
    for (auto &entry : handlers()) {
        if (entry.first == this) {
            entry.second |= 1 << domain;
            return;
        }
    }
    handlers().append({this, 1 << domain});
}

} // namespace bb
