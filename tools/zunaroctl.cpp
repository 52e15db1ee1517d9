// zunaroctl: the UI's and the user's side of a device running the service.
// It drives the platform through its control socket, sends UI commands to
// the service's command socket, writes the UI presence and lock state files,
// and shows the Hub.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QStringList>

#include <cstdio>

#include "zunaro/command_socket.h"
#include "zunaro/device.h"
#include "zunaro/files.h"
#include "zunaro/json.h"
#include "zunaro/platform.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kReplyTimeoutMs = 5000;
constexpr qsizetype kMaxShownFileBytes = 1024 * 1024;

const char kUsage[] =
    "usage: zunaroctl [--platform=embedded|desktop] [--root DIR] COMMAND [ARGS]\n"
    "\n"
    "The platform is the one named, else $ZUNARO_PLATFORM, else embedded. On\n"
    "the embedded platform the device root is DIR, else $ZUNARO_DEVICE_ROOT,\n"
    "else the folder two levels above zunaroctl's own folder. On the desktop\n"
    "platform the service is com.kvel.zunaro.service on the session bus and\n"
    "only invoke, status, send and ui apply.\n"
    "\n"
    "commands:\n"
    "  invoke ACTION        deliver an invocation with ACTION to the service\n"
    "  send LINE...         send the LINEs, joined by line feeds, as one command\n"
    "                       datagram (at most 4095 bytes): UDP to 127.0.0.1:47010,\n"
    "                       on the desktop $XDG_RUNTIME_DIR/zunaro/commands\n"
    "  ui alive             mark the UI process alive (data/ui_alive.txt)\n"
    "  ui running           mark the UI alive and in front (also data/ui_running.txt)\n"
    "  ui gone              remove both presence files\n"
    "  online 1|0           report the device online or offline\n"
    "  lock 0|1|2           set the device lock state (0 unlocked, 1 or 2 locked)\n"
    "  press LABEL          press a button of the dialog on screen (Answer, Decline)\n"
    "  select KEY           select the Hub entry KEY\n"
    "  hub                  show the Hub entries and the dialog\n"
    "  status               the service's state, one key=value a line (desktop)\n"
    "\n"
    "exit status: 0 done, 1 failed (no service listening, error reply), 2 bad arguments\n";

int fail(const QString &message, int code = kExitFailed)
{
    fprintf(stderr, "zunaroctl: %s\n", message.toLocal8Bit().constData());
    return code;
}

int badUsage(const QString &message)
{
    fprintf(stderr, "zunaroctl: %s\n\n%s", message.toLocal8Bit().constData(), kUsage);
    return kExitUsage;
}

QByteArray readBounded(const QString &path)
{
    QByteArray content;
    bool truncated = false;
    zplatform::readFileHead(path, kMaxShownFileBytes, &content, &truncated);
    return content;
}

// One request line to the platform, one answer line back.
int request(const QJsonObject &requestObject)
{
    const QString path = zplatform::platformDir() + QStringLiteral("/control.sock");
    if (!QFileInfo::exists(path))
        return fail(QStringLiteral("no service listening on %1 (no socket there)").arg(path));
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return fail(QStringLiteral("no service listening on %1 (%2)").arg(path, socket.errorString()));
    socket.write(QJsonDocument(requestObject).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(kReplyTimeoutMs))
        return fail(QStringLiteral("could not send the request: %1").arg(socket.errorString()));
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kReplyTimeoutMs))
            return fail(QStringLiteral("no answer from the service: %1").arg(socket.errorString()));
    }
    const QJsonObject reply = zplatform::readJson(socket.readLine().trimmed()).object();
    if (reply.value(QStringLiteral("ok")).toBool())
        return kExitOk;
    const QString error = reply.value(QStringLiteral("error")).toString();
    return fail(error.isEmpty() ? QStringLiteral("the service refused the request") : error);
}

int sendCommands(const QStringList &lines)
{
    if (lines.isEmpty())
        return badUsage(QStringLiteral("send needs at least one LINE"));
    QString error;
    if (!zplatform::sendCommandDatagram(lines.join(QLatin1Char('\n')).toUtf8(), &error))
        return fail(error);
    return kExitOk;
}

// The desktop service on the session bus.
QDBusMessage busCall(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.kvel.zunaro.service"),
                                                       QStringLiteral("/com/kvel/zunaro/service"),
                                                       QStringLiteral("com.kvel.zunaro.Service1"), method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, kReplyTimeoutMs);
}

int busInvoke(const QString &action)
{
    const QDBusMessage reply = busCall(QStringLiteral("Invoke"), {action, QString()});
    if (reply.type() == QDBusMessage::ErrorMessage)
        return fail(QStringLiteral("invoke failed: %1").arg(reply.errorMessage()));
    return kExitOk;
}

int busStatus()
{
    const QDBusMessage reply = busCall(QStringLiteral("Status"), {});
    if (reply.type() == QDBusMessage::ErrorMessage)
        return fail(QStringLiteral("status failed: %1").arg(reply.errorMessage()));
    const QVariantMap status = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    QTextStream out(stdout);
    for (auto it = status.constBegin(); it != status.constEnd(); ++it) {
        const QVariant value = it->metaType().id() == QMetaType::Bool ? QVariant(it->toBool() ? 1 : 0) : *it;
        out << it.key() << '=' << value.toString() << '\n';
    }
    return kExitOk;
}

int uiPresence(const QString &state)
{
    const QString dataDir = zplatform::dataDir();
    const QString alive = dataDir + QStringLiteral("/ui_alive.txt");
    const QString running = dataDir + QStringLiteral("/ui_running.txt");
    const QByteArray now = QByteArray::number(zplatform::nowMs()) + '\n';
    QStringList toWrite;
    if (state == QLatin1String("alive")) {
        toWrite = {alive};
    } else if (state == QLatin1String("running")) {
        toWrite = {alive, running};
    } else if (state == QLatin1String("gone")) {
        for (const QString &path : {alive, running}) {
            if (QFileInfo::exists(path) && !QFile::remove(path))
                return fail(QStringLiteral("could not remove %1").arg(path));
        }
        return kExitOk;
    } else {
        return badUsage(QStringLiteral("ui takes alive, running or gone"));
    }
    for (const QString &path : std::as_const(toWrite)) {
        if (!zplatform::writeFileAtomically(path, now, zplatform::Folder::Create))
            return fail(QStringLiteral("could not write %1").arg(path));
    }
    return kExitOk;
}

int lockState(const QString &state)
{
    if (state != QLatin1String("0") && state != QLatin1String("1") && state != QLatin1String("2"))
        return badUsage(QStringLiteral("lock takes 0, 1 or 2"));
    const QString path = zplatform::platformDir() + QStringLiteral("/lock_state");
    if (!zplatform::writeFileAtomically(path, state.toUtf8() + '\n', zplatform::Folder::Create))
        return fail(QStringLiteral("could not write %1").arg(path));
    return kExitOk;
}

QString describeInvoke(const QJsonValue &invoke)
{
    if (!invoke.isObject())
        return QStringLiteral("(no invocation)");
    const QJsonObject o = invoke.toObject();
    return QStringLiteral("-> %1 %2 %3")
        .arg(o.value(QStringLiteral("target")).toString(), o.value(QStringLiteral("action")).toString(),
             o.value(QStringLiteral("uri")).toString())
        .trimmed();
}

int showHub()
{
    const QString hubDir = zplatform::platformDir() + QStringLiteral("/hub");
    const QStringList files = QDir(hubDir).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    QTextStream out(stdout);
    out << "Hub: " << files.size() << (files.size() == 1 ? " entry\n" : " entries\n");
    for (const QString &name : files) {
        const QJsonObject e = zplatform::readJson(readBounded(hubDir + QLatin1Char('/') + name)).object();
        out << "  " << e.value(QStringLiteral("key")).toString(name.chopped(5)) << ": "
            << e.value(QStringLiteral("title")).toString() << '\n';
        for (const QString &line : e.value(QStringLiteral("body")).toString().split(QLatin1Char('\n')))
            out << "      " << line << '\n';
        out << "      " << describeInvoke(e.value(QStringLiteral("invoke"))) << '\n';
    }
    const QByteArray dialogFile = readBounded(zplatform::platformDir() + QStringLiteral("/dialog.json"));
    if (dialogFile.isEmpty()) {
        out << "Dialog: none\n";
        return kExitOk;
    }
    const QJsonObject d = zplatform::readJson(dialogFile).object();
    out << "Dialog: " << d.value(QStringLiteral("title")).toString() << '\n'
        << "      " << d.value(QStringLiteral("body")).toString() << '\n';
    for (const QJsonValue &b : d.value(QStringLiteral("buttons")).toArray()) {
        const QJsonObject button = b.toObject();
        out << "  [" << button.value(QStringLiteral("label")).toString() << "] "
            << describeInvoke(button.value(QStringLiteral("invoke"))) << '\n';
    }
    return kExitOk;
}

int run(QStringList args)
{
    const bool desktop = zplatform::platformKind() == zplatform::PlatformKind::Desktop;
    while (!args.isEmpty()) {
        if (args.first().startsWith(QLatin1String("--platform="))) {
            args.removeFirst(); // chosen in main()
        } else if (args.size() >= 2 && args.first() == QLatin1String("--root")) {
            qputenv("ZUNARO_DEVICE_ROOT", QFile::encodeName(args.at(1)));
            args = args.mid(2);
        } else {
            break;
        }
    }
    if (args.isEmpty())
        return badUsage(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == QLatin1String("send"))
        return sendCommands(args);
    if (desktop) {
        if (command == QLatin1String("status"))
            return args.isEmpty() ? busStatus() : badUsage(QStringLiteral("status takes no arguments"));
        if (command == QLatin1String("invoke") && args.size() == 1 && !args.first().isEmpty())
            return busInvoke(args.first());
        if (command == QLatin1String("ui") && args.size() == 1)
            return uiPresence(args.first());
        return badUsage(QStringLiteral("%1 is not a command of the desktop platform").arg(command));
    }
    if (command == QLatin1String("status"))
        return badUsage(QStringLiteral("status needs --platform=desktop"));
    if (command == QLatin1String("hub"))
        return args.isEmpty() ? showHub() : badUsage(QStringLiteral("hub takes no arguments"));
    static const QStringList kOneArgument = {QStringLiteral("invoke"), QStringLiteral("online"),
                                             QStringLiteral("press"), QStringLiteral("select"),
                                             QStringLiteral("ui"), QStringLiteral("lock")};
    if (!kOneArgument.contains(command))
        return badUsage(QStringLiteral("unknown command \"%1\"").arg(command));
    if (args.size() != 1 || args.first().isEmpty())
        return badUsage(QStringLiteral("%1 takes exactly one argument").arg(command));
    const QString arg = args.first();
    if (command == QLatin1String("invoke"))
        return request({{QStringLiteral("invoke"), QJsonObject {{QStringLiteral("action"), arg}}}});
    if (command == QLatin1String("online")) {
        if (arg != QLatin1String("1") && arg != QLatin1String("0"))
            return badUsage(QStringLiteral("online takes 1 or 0"));
        return request({{QStringLiteral("online"), arg == QLatin1String("1")}});
    }
    if (command == QLatin1String("press"))
        return request({{QStringLiteral("dialog_button"), arg}});
    if (command == QLatin1String("select"))
        return request({{QStringLiteral("hub_select"), arg}});
    if (command == QLatin1String("ui"))
        return uiPresence(arg);
    return lockState(arg);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString error;
    if (!zplatform::choosePlatform(argc, argv, &error))
        return badUsage(error);
    return run(app.arguments().mid(1));
}
