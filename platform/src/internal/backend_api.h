#pragma once
// What differs between the platforms, behind small interfaces: each
// platform's folder (embedded/, desktop/) holds one backend per interface,
// and backends.h picks them. A backend knows only these interfaces and what
// it is handed, never the phone API layer above it.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

#include "bb/system/InvokeRequest.h"
#include "internal/hub_carrier.h"

namespace zplatform {

// Called on a later turn of the event loop with an empty error on success.
using InvocationDone = std::function<void(const QString &error)>;

// Sends invocations to other applications.
class Invoker
{
public:
    virtual ~Invoker() = default;
    // On behalf of `by` ("service" or "user"). False when it could not be
    // sent at all; otherwise `done` (if any) follows.
    virtual bool send(const bb::system::InvokeRequest &request, const QString &by, InvocationDone done) = 0;
};

// The device's lock state: 0 unlocked, 1 or 2 locked, -1 unknown.
class LockSource : public QObject
{
    Q_OBJECT
public:
    virtual int state() = 0;
    // Starts following the state, so that it is known by the time a call
    // rings and every change is told at once.
    virtual void start() = 0;

signals:
    void changed(int state);
};

// What the world outside may do to the service, handed to the entrance.
struct Inbound {
    // Emits invoked() on every invocation manager; false when there is none.
    std::function<bool(const bb::system::InvokeRequest &)> deliver;
    std::function<void(bool online)> reportOnline;
    std::function<QVariantMap()> status;
};

// How the world outside reaches the service while it has an invocation
// manager: the embedded control socket, the desktop session.
class Entrance
{
public:
    virtual ~Entrance() = default;
    // Readies the platform for a service, before the service exists: 0 when
    // it may run, else the exit status after one line on standard error.
    virtual int claim() = 0;
    virtual void open(const Inbound &inbound) = 0;
    virtual void close() = 0;
};

} // namespace zplatform
