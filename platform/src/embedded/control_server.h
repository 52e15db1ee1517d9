#pragma once
// <device root>/platform/control.sock: how the user, the demo and the tests
// drive what the device's OS would (invocations, online state, dialog
// buttons, Hub selections). Everything runs on the event-loop thread.

#include <QHash>
#include <QObject>
#include <QString>

#include <memory>

#include "internal/backend_api.h"
#include "embedded/control_request.h"

class QLocalServer;
class QLocalSocket;
class QTimer;

namespace zplatform {

class ControlServer : public QObject
{
public:
    // Null when the socket could not be opened (logged): the service runs
    // without it.
    static std::unique_ptr<ControlServer> open(HubCarrier &hub, const Inbound &inbound);
    ~ControlServer() override;

private:
    ControlServer(QLocalServer *server, HubCarrier &hub, const Inbound &inbound);
    void acceptClients();
    void readClient(QLocalSocket *client);
    void dropClient(QLocalSocket *client);
    void dropIdleClients();
    QString carryOut(const ControlRequest &request, QJsonObject *answer);

    HubCarrier &m_hub;
    const Inbound m_inbound;
    QLocalServer *m_server;
    QTimer *m_idleTimer;
    // Each client with the time of its last complete request (of its
    // connection, before the first).
    QHash<QLocalSocket *, qint64> m_clients;
};

// Where the control socket of this device lies.
QString controlSocketPath();

// The control socket, open while the service has an invocation manager.
class ControlEntrance : public Entrance
{
public:
    explicit ControlEntrance(HubCarrier &hub) : m_hub(hub) {}
    int claim() override { return 0; }
    void open(const Inbound &inbound) override { m_server = ControlServer::open(m_hub, inbound); }
    void close() override { m_server.reset(); }

private:
    HubCarrier &m_hub;
    std::unique_ptr<ControlServer> m_server;
};

} // namespace zplatform
