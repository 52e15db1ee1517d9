#pragma once
// <device root>/platform/control.sock: how the user, the demo and the tests
// drive what the device's OS would (invocations, online state, dialog
// buttons, Hub selections). Everything runs on the event-loop thread.

#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

#include "control_request.h"

class QLocalServer;
class QLocalSocket;

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
    QString carryOut(const ControlRequest &request);

    QLocalServer *m_server;
    QSet<QLocalSocket *> m_clients;
};

// Where the control socket of this device lies.
QString controlSocketPath();

} // namespace zplatform
