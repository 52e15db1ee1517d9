#include "desktopbus.h"
#include "testdevice.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QTest>

#include <csignal>

DesktopBus::~DesktopBus()
{
    for (QProcess &process : m_children)
        stop(process.processId());
}

QProcess &DesktopBus::launch(const QString &program, const QStringList &args)
{
    QProcess &process = m_children.emplace_back();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, args);
    return process;
}

bool DesktopBus::start()
{
    QByteArray addresses[2];
    if (startBus(&addresses[0]) <= 0 || startBus(&addresses[1]) <= 0)
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", addresses[0]);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", addresses[1]);
    return QDBusConnection::sessionBus().isConnected() && QDBusConnection::systemBus().isConnected();
}

qint64 DesktopBus::startBus(QByteArray *address)
{
    // One configuration for every bus: anything goes, and the bus activates from dir().
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    const QString xml = QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                       "<servicedir>%1</servicedir><policy context=\"default\">"
                                       "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                       "</policy></busconfig>\n")
                            .arg(m_dir.path());
    if (!m_dir.isValid() || (!QFile::exists(config) && !placeAt(config, xml.toUtf8())))
        return 0;
    QProcess &daemon = launch("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address=1"});
    daemon.waitForReadyRead(10000); // the address, in one write
    *address = daemon.readLine().trimmed();
    return address->isEmpty() ? 0 : daemon.processId();
}

qint64 DesktopBus::startMock(bool system, const QString &name, const QStringList &args)
{
    QProcess &mock = launch("/usr/bin/python3", QStringList {"-m", "dbusmock", system ? "--system" : "--session"} + args);
    QDBusConnectionInterface *iface = (system ? QDBusConnection::systemBus() : QDBusConnection::sessionBus()).interface();
    return QTest::qWaitFor([&] { return iface->isServiceRegistered(name).value(); }, 10000) ? mock.processId() : 0;
}

void DesktopBus::stop(qint64 pid)
{
    for (QProcess &process : m_children) {
        if (pid > 0 && process.processId() == pid) {
            process.kill();
            process.waitForFinished();
        }
    }
}

bool DesktopBus::stopOwner(const QString &name)
{
    QDBusConnectionInterface *iface = QDBusConnection::sessionBus().interface();
    const QDBusReply<uint> pid = iface->servicePid(name);
    return pid.isValid() && ::kill(pid_t(pid.value()), SIGTERM) == 0
        && QTest::qWaitFor([&] { return !iface->isServiceRegistered(name).value(); }, 5000);
}

std::optional<QVariantList> callBus(bool system, const QString &name, const QString &path, const QString &interface,
                                    const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(name, path, interface, method);
    call.setArguments(args);
    QDBusConnection bus = system ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    const QDBusMessage answer = bus.call(call, QDBus::Block, 5000);
    if (answer.type() != QDBusMessage::ReplyMessage) {
        qWarning("%s.%s: %s", qPrintable(interface), qPrintable(method), qPrintable(answer.errorMessage()));
        return std::nullopt;
    }
    return answer.arguments();
}

QList<QVariantList> mockCalls(const QString &name, const QString &path, const QString &method)
{
    const std::optional<QVariantList> reply =
        callBus(false, name, path, "org.freedesktop.DBus.Mock", "GetMethodCalls", {method});
    QList<QVariantList> out;
    if (!reply)
        return out;
    const QDBusArgument calls = reply->value(0).value<QDBusArgument>();
    calls.beginArray();
    while (!calls.atEnd()) {
        quint64 time = 0;
        QVariantList args;
        calls.beginStructure();
        calls >> time >> args;
        calls.endStructure();
        out.append(args);
    }
    calls.endArray();
    return out;
}
