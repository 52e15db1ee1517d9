#include "embedded/control_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "embedded/invocations_file.h"
#include "files.h"
#include "internal/unix_socket.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace zplatform {

namespace {
// Enough for any honest use; the service keeps descriptors for its own work.
// When all are taken, the client silent longest makes room for a new one,
// so a crowd that connects and says nothing cannot lock the UI out.
constexpr int kMaxClients = 64;
// A client that has not completed a request for this long is let go.
constexpr qint64 kMaxIdleMs = 10000;
constexpr int kIdleCheckIntervalMs = 1000;
// A client that sends requests but never reads the answers is dropped
// before its answers pile up.
constexpr qint64 kMaxUnreadReplyBytes = 1024 * 1024;
} // namespace

QString controlSocketPath()
{
    return platformDir() + QStringLiteral("/control.sock");
}

std::unique_ptr<ControlServer> ControlServer::open(HubCarrier &hub, const Inbound &inbound)
{
    // Socket notifiers need the application's event loop.
    if (!QCoreApplication::instance())
        return nullptr;
    const QString path = controlSocketPath();
    const QByteArray encoded = QFile::encodeName(path);
    makePrivatePath(platformDir());
    switch (probeSocketFile(encoded, SOCK_STREAM)) {
    case SocketFile::Live:
        logLine("platform: control socket %s is in use by another process; running without it\n",
                encoded.constData());
        return nullptr;
    case SocketFile::Stale:
        ::unlink(encoded.constData());
        break;
    case SocketFile::None:
        break;
    }
    auto *server = new QLocalServer;
    // Qt binds in a private folder and renames into place, so the socket is
    // never reachable with looser permissions than the owner's.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path)) {
        logLine("platform: control socket %s cannot be opened: %s\n", encoded.constData(),
                server->errorString().toUtf8().constData());
        delete server;
        return nullptr;
    }
    ::chmod(encoded.constData(), 0600);
    return std::unique_ptr<ControlServer>(new ControlServer(server, hub, inbound));
}

ControlServer::ControlServer(QLocalServer *server, HubCarrier &hub, const Inbound &inbound)
    : m_hub(hub),
      m_inbound(inbound),
      m_server(server),
      m_idleTimer(new QTimer(this))
{
    m_server->setParent(this);
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::acceptClients);
    m_idleTimer->setInterval(kIdleCheckIntervalMs);
    connect(m_idleTimer, &QTimer::timeout, this, &ControlServer::dropIdleClients);
}

ControlServer::~ControlServer()
{
    for (QLocalSocket *client : m_clients.keys()) {
        disconnect(client, nullptr, this, nullptr);
        delete client;
    }
    // Closing removes the socket file: the next service on this device
    // finds nothing stale.
    m_server->close();
}

void ControlServer::acceptClients()
{
    while (QLocalSocket *client = m_server->nextPendingConnection()) {
        client->setParent(this);
        if (m_clients.size() >= kMaxClients) {
            auto longestIdle = m_clients.cbegin();
            for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
                if (it.value() < longestIdle.value())
                    longestIdle = it;
            }
            dropClient(longestIdle.key());
        }
        m_clients.insert(client, nowMs());
        m_idleTimer->start();
        // Lines are bounded, so the buffer never needs more than two of them.
        client->setReadBufferSize(2 * (kMaxControlLineBytes + 1));
        connect(client, &QLocalSocket::readyRead, this, [this, client] { readClient(client); });
        connect(client, &QLocalSocket::disconnected, this, [this, client] {
            m_clients.remove(client);
            client->deleteLater();
        });
        if (client->bytesAvailable() > 0)
            readClient(client);
    }
}

void ControlServer::dropClient(QLocalSocket *client)
{
    m_clients.remove(client);
    client->abort();
    client->deleteLater();
    if (m_clients.isEmpty())
        m_idleTimer->stop();
}

void ControlServer::dropIdleClients()
{
    const qint64 now = nowMs();
    for (QLocalSocket *client : m_clients.keys()) {
        if (now - m_clients.value(client) > kMaxIdleMs)
            dropClient(client);
    }
}

void ControlServer::readClient(QLocalSocket *client)
{
    if (!m_clients.contains(client))
        return;
    QPointer<QLocalSocket> guard(client);
    while (guard && m_clients.contains(client)) {
        if (!client->canReadLine()) {
            if (client->bytesAvailable() > kMaxControlLineBytes)
                dropClient(client);
            return;
        }
        QByteArray line = client->readLine();
        line.chop(1);
        m_clients[client] = nowMs();
        if (line.size() > kMaxControlLineBytes) {
            dropClient(client);
            return;
        }
        QJsonObject answer;
        const QString error = carryOut(parseControlRequest(line), &answer);
        if (!guard || !m_clients.contains(client))
            return;
        client->write(controlReply(error, answer));
        if (client->bytesToWrite() > kMaxUnreadReplyBytes)
            dropClient(client);
    }
}

QString ControlServer::carryOut(const ControlRequest &request, QJsonObject *answer)
{
    switch (request.kind) {
    case ControlRequest::Invalid:
        return request.error;
    case ControlRequest::Invoke:
        m_inbound.deliver(request.invoke);
        return QString();
    case ControlRequest::Online:
        m_inbound.reportOnline(request.online);
        return QString();
    case ControlRequest::DialogButton:
        return m_hub.pressOnTop(request.name);
    case ControlRequest::Status:
        answer->insert(QStringLiteral("status"), statusJson(m_inbound.status ? m_inbound.status() : QVariantMap()));
        return QString();
    case ControlRequest::HubSelect: {
        bb::system::InvokeRequest invoke;
        QString error;
        if (!m_hub.entryRequest(request.name, &invoke, &error))
            return error;
        if (!recordInvocation(invoke, QStringLiteral("user")))
            return QStringLiteral("could not send the invocation");
        return QString();
    }
    }
    return QStringLiteral("unknown request");
}

} // namespace zplatform
