#include "desktopbus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/wait.h>

namespace {
constexpr int kCallTimeoutMs = 5000;
const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");

QDBusConnection bus(bool system)
{
    return system ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
}

// Containers inside variants arrive as QDBusArgument; read the ones the
// desktop services use into plain values.
QVariant plain(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return value;
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentSignature() == QLatin1String("as"))
        return qdbus_cast<QStringList>(arg);
    if (arg.currentSignature() == QLatin1String("a{sv}")) {
        QVariantMap map = qdbus_cast<QVariantMap>(arg);
        for (QVariant &v : map)
            v = plain(v);
        return map;
    }
    return value;
}

// A daemon that forked is not our child: it is gone once it is a zombie
// waiting for whoever adopted it.
bool running(qint64 pid)
{
    ::waitpid(pid_t(pid), nullptr, WNOHANG);
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) != "Z";
}

void stopPid(qint64 pid)
{
    if (pid <= 0)
        return;
    ::kill(pid_t(pid), SIGTERM);
    if (!QTest::qWaitFor([pid] { return !running(pid); }, 3000)) {
        ::kill(pid_t(pid), SIGKILL);
        ::waitpid(pid_t(pid), nullptr, 0);
    }
}
} // namespace

DesktopBus::~DesktopBus()
{
    for (auto it = m_pids.crbegin(); it != m_pids.crend(); ++it)
        stopPid(*it);
}

qint64 DesktopBus::startDaemon(const QString &type, const QString &servicesDir, QString *address)
{
    const QString config = m_dir.filePath(type + QStringLiteral(".conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return 0;
    file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig><type>%1</type><listen>unix:path=%2</listen>%3"
                              "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/><allow user=\"*\"/></policy>"
                              "</busconfig>\n")
                   .arg(type, m_dir.filePath(type + QStringLiteral(".sock")),
                        servicesDir.isEmpty() ? QString() : QStringLiteral("<servicedir>%1</servicedir>").arg(servicesDir))
                   .toUtf8());
    file.close();
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config, QStringLiteral("--fork"),
                                                 QStringLiteral("--print-address=1"), QStringLiteral("--print-pid=1")});
    if (!daemon.waitForFinished(10000) || daemon.exitCode() != 0)
        return 0;
    const QList<QByteArray> lines = daemon.readAllStandardOutput().split('\n');
    *address = QString::fromUtf8(lines.value(0).trimmed());
    const qint64 pid = lines.value(1).trimmed().toLongLong();
    if (pid > 0)
        m_pids.append(pid);
    return address->isEmpty() ? 0 : pid;
}

bool DesktopBus::start(const QList<QPair<QString, QByteArray>> &sessionServices)
{
    if (!m_dir.isValid())
        return false;
    const QString services = m_dir.filePath(QStringLiteral("services"));
    QDir().mkpath(services);
    for (const auto &service : sessionServices) {
        QFile file(services + QLatin1Char('/') + service.first);
        if (!file.open(QIODevice::WriteOnly) || file.write(service.second) != service.second.size())
            return false;
    }
    QString systemAddress;
    if (!startDaemon(QStringLiteral("session"), services, &m_sessionAddress)
        || !startDaemon(QStringLiteral("system"), QString(), &systemAddress))
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_sessionAddress.toUtf8());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemAddress.toUtf8());
    return QDBusConnection::sessionBus().isConnected() && QDBusConnection::systemBus().isConnected();
}

qint64 DesktopBus::startMock(bool system, const QString &name, const QStringList &args)
{
    QProcess mock;
    mock.setProgram(QStringLiteral("/usr/bin/python3"));
    mock.setArguments(QStringList {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                                   system ? QStringLiteral("--system") : QStringLiteral("--session")}
                      + args);
    mock.setStandardOutputFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!mock.startDetached(&pid))
        return 0;
    m_pids.append(pid);
    QDBusConnectionInterface *iface = bus(system).interface();
    if (!QTest::qWaitFor([&] { return iface->isServiceRegistered(name).value(); }, 10000))
        return 0;
    return pid;
}

void DesktopBus::stopMock(qint64 pid)
{
    stopPid(pid);
    m_pids.removeAll(pid);
}

void DesktopBus::stopOwner(const QString &name)
{
    const QDBusReply<uint> pid = QDBusConnection::sessionBus().interface()->servicePid(name);
    if (pid.isValid())
        stopPid(pid.value());
}

qint64 DesktopBus::startNotificationServer(const QString &capabilities)
{
    return startMock(false, QStringLiteral("org.freedesktop.Notifications"),
                     {QStringLiteral("-t"), QStringLiteral("notification_daemon"), QStringLiteral("-p"),
                      QStringLiteral("{\"capabilities\": \"%1\"}").arg(capabilities)});
}

bool callBus(bool system, const QString &name, const QString &path, const QString &interface, const QString &method,
             const QVariantList &args, QVariantList *reply)
{
    QDBusMessage call = QDBusMessage::createMethodCall(name, path, interface, method);
    call.setArguments(args);
    const QDBusMessage answer = bus(system).call(call, QDBus::Block, kCallTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage) {
        qWarning("%s.%s: %s", qPrintable(interface), qPrintable(method), qPrintable(answer.errorMessage()));
        return false;
    }
    if (reply)
        *reply = answer.arguments();
    return true;
}

QList<QVariantList> mockCalls(bool system, const QString &name, const QString &path, const QString &method)
{
    QVariantList reply;
    QList<QVariantList> out;
    if (!callBus(system, name, path, kMock, QStringLiteral("GetMethodCalls"), {method}, &reply))
        return out;
    const QDBusArgument calls = reply.value(0).value<QDBusArgument>();
    calls.beginArray();
    while (!calls.atEnd()) {
        quint64 time = 0;
        QVariantList args;
        calls.beginStructure();
        calls >> time;
        calls.beginArray();
        while (!calls.atEnd()) {
            QDBusVariant arg;
            calls >> arg;
            args.append(plain(arg.variant()));
        }
        calls.endArray();
        calls.endStructure();
        out.append(args);
    }
    calls.endArray();
    return out;
}

void clearMockCalls(bool system, const QString &name, const QString &path)
{
    callBus(system, name, path, kMock, QStringLiteral("ClearCalls"), {});
}

bool emitMockSignal(const QString &name, const QString &path, const QString &interface, const QString &signal,
                    const QString &signature, const QVariantList &args)
{
    QVariantList wrapped;
    for (const QVariant &arg : args)
        wrapped.append(QVariant::fromValue(QDBusVariant(arg)));
    return callBus(false, name, path, kMock, QStringLiteral("EmitSignal"), {interface, signal, signature, wrapped});
}
