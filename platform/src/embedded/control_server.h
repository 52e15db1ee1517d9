#pragma once
// <device root>/platform/control.sock: how the user, the demo and the tests
// drive what the device's OS would (invocations, online state, dialog
// buttons, Hub selections). Everything runs on the event-loop thread.

#include <QHash>
#include <QObject>
#include <QString>

#include <memory>

#include "control_request.h"

class QLocalServer;
class QLocalSocket;
class QTimer;

namespace zplatform {

class ControlServer : public QObject
{
public:
    // Null when the socket could not be opened (logged): the service runs
    // without it.
    static std::unique_ptr<ControlServer> open();
    ~ControlServer() override;

private:
    explicit ControlServer(QLocalServer *server);
    void acceptClients();
    void readClient(QLocalSocket *client);
    void dropClient(QLocalSocket *client);
    void dropIdleClients();
    QString carryOut(const ControlRequest &request);

    QLocalServer *m_server;
    QTimer *m_idleTimer;
    // Each client with the time of its last complete request (of its
    // connection, before the first).
    QHash<QLocalSocket *, qint64> m_clients;
};

// Where the control socket of this device lies.
QString controlSocketPath();

} // namespace zplatform
