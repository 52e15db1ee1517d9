// zunaroctl: the UI's and the user's side of a device running the service.
// It drives the platform through its control socket, sends UI commands to
// the service's command socket, writes the UI presence and lock state files,
// and shows the Hub.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ui_app.h"
#include "status_view.h"
#include "zunaro/command_socket.h"
#include "zunaro/device.h"
#include "zunaro/files.h"
#include "zunaro/json.h"
#include "zunaro/platform.h"
#include "zunaro/status.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kReplyTimeoutMs = 5000;
constexpr qsizetype kMaxShownFileBytes = 1024 * 1024;

const char kUsage[] =
    "usage: zunaroctl [--platform NAME] [--root DIR] COMMAND [ARGS]\n"
    "       zunaroctl --help | --version\n"
    "\n"
    "The platform is the one named (embedded or desktop), else $ZUNARO_PLATFORM,\n"
    "else embedded when a device is named (--root DIR, $ZUNARO_DEVICE_ROOT) or\n"
    "zunaroctl stands in a device's app/native folder, else desktop. On the\n"
    "embedded platform the device root is DIR, else $ZUNARO_DEVICE_ROOT, else\n"
    "the folder two levels above zunaroctl's own folder. On the desktop\n"
    "platform the service is com.kvel.zunaro.service on the session bus and\n"
    "only invoke, status, send and ui apply; status and the stop action never\n"
    "start the service, the other invocations start it when it is not running.\n"
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
    "  status [--raw]       how the service is; --raw: one key=value a line\n"
    "\n"
    "actions the service answers to:\n"
    "  %1   start: run the backend once the UI sends a command\n"
    "  %2    stop: end the backend and forget the summary\n"
    "  %3        what the device says once it has started\n"
    "\n"
    "exit status: 0 done, 1 failed (no service running or listening, an error reply),\n"
    "2 bad arguments\n";

QString usage()
{
    return QString::fromLatin1(kUsage).arg(uiapp::kStartAction, uiapp::kStopAction, uiapp::kSystemStartedAction);
}

int fail(const QString &message, int code = kExitFailed)
{
    fprintf(stderr, "zunaroctl: %s\n", message.toLocal8Bit().constData());
    return code;
}

int badUsage(const QString &message)
{
    fprintf(stderr, "zunaroctl: %s (zunaroctl --help shows the usage)\n", message.toLocal8Bit().constData());
    return kExitUsage;
}

QByteArray readBounded(const QString &path)
{
    QByteArray content;
    bool truncated = false;
    zplatform::readFileHead(path, kMaxShownFileBytes, &content, &truncated);
    return content;
}

// One request line to the platform, one answer line back (kept in
// `answer` when asked for).
int request(const QJsonObject &requestObject, QJsonObject *answer = nullptr)
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
    if (answer)
        *answer = reply;
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

const char kServiceName[] = "com.kvel.zunaro.service";

// Asking how the service is, or telling it to stop, must not start one:
// those calls go out without the bus's auto-start.
enum class Activation { Allowed, Never };

// The desktop service on the session bus. False, with the message said,
// when the call did not reach a service or it answered with an error.
bool busCall(const QString &method, const QVariantList &args, Activation activation, QDBusMessage *reply,
             int *code)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        const QString cause = qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")
            ? QStringLiteral("DBUS_SESSION_BUS_ADDRESS is not set; ") + bus.lastError().message()
            : bus.lastError().message();
        *code = fail(QStringLiteral("cannot reach the session bus (%1): run zunaroctl in the desktop session, or set "
                                    "DBUS_SESSION_BUS_ADDRESS to its bus")
                         .arg(cause));
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kServiceName),
                                                       QStringLiteral("/com/kvel/zunaro/service"),
                                                       QStringLiteral("com.kvel.zunaro.Service1"), method);
    call.setArguments(args);
    call.setAutoStartService(activation == Activation::Allowed);
    *reply = bus.call(call, QDBus::Block, kReplyTimeoutMs);
    if (reply->type() != QDBusMessage::ErrorMessage)
        return true;
    if (reply->errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
        || reply->errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        *code = fail(QStringLiteral("no service running: %1 is not on the session bus")
                         .arg(QLatin1String(kServiceName)));
    else
        *code = fail(QStringLiteral("%1 failed: %2").arg(method.toLower(), reply->errorMessage()));
    return false;
}

int busInvoke(const QString &action)
{
    QDBusMessage reply;
    int code = kExitOk;
    busCall(QStringLiteral("Invoke"), {action, QString()},
            action == uiapp::kStopAction ? Activation::Never : Activation::Allowed, &reply, &code);
    return code;
}

// The service's snapshot: Status() on the session bus, the status request
// of a device's control socket.
int showStatus(bool desktop, bool raw)
{
    QVariantMap status;
    if (desktop) {
        QDBusMessage reply;
        int code = kExitOk;
        if (!busCall(QStringLiteral("Status"), {}, Activation::Never, &reply, &code))
            return code;
        status = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    } else {
        QJsonObject answer;
        if (const int code = request({{QStringLiteral("status"), true}}, &answer))
            return code;
        status = answer.value(QStringLiteral("status")).toObject().toVariantMap();
    }
    const QString text = raw ? zplatform::statusLines(status) : statusView(status, zplatform::nowMs());
    fputs(text.toLocal8Bit().constData(), stdout);
    return kExitOk;
}

// The invocation goes out whatever its action: a newer service may know
// more than this zunaroctl does.
void warnUnknownAction(const QString &action)
{
    if (action != uiapp::kStartAction && action != uiapp::kStopAction && action != uiapp::kSystemStartedAction)
        fprintf(stderr, "zunaroctl: warning: the service does not answer to \"%s\" (zunaroctl --help lists "
                        "the actions); sent anyway\n",
                action.toLocal8Bit().constData());
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
            return fail(QStringLiteral("could not write %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
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

const QStringList &commands()
{
    static const QStringList names = {QStringLiteral("invoke"), QStringLiteral("send"),   QStringLiteral("ui"),
                                      QStringLiteral("online"), QStringLiteral("lock"),   QStringLiteral("press"),
                                      QStringLiteral("select"), QStringLiteral("hub"),    QStringLiteral("status"),
                                      QStringLiteral("help")};
    return names;
}

// What a command with one argument takes, for the message when it is missing.
QString argumentOf(const QString &command)
{
    static const QHash<QString, QString> what = {{QStringLiteral("invoke"), QStringLiteral("ACTION")},
                                                 {QStringLiteral("ui"), QStringLiteral("alive, running or gone")},
                                                 {QStringLiteral("online"), QStringLiteral("1 or 0")},
                                                 {QStringLiteral("lock"), QStringLiteral("0, 1 or 2")},
                                                 {QStringLiteral("press"), QStringLiteral("a LABEL")},
                                                 {QStringLiteral("select"), QStringLiteral("a KEY")}};
    return what.value(command);
}

int run(bool desktop, QStringList args)
{
    if (args.isEmpty())
        return badUsage(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (!commands().contains(command))
        return badUsage(QStringLiteral("unknown command \"%1\"; the commands are %2")
                            .arg(command, commands().join(QStringLiteral(", "))));
    if (command == QLatin1String("help")) {
        fputs(usage().toLocal8Bit().constData(), stdout);
        return kExitOk;
    }
    if (command == QLatin1String("send"))
        return sendCommands(args);
    if (command == QLatin1String("status")) {
        if (args.size() > 1 || (args.size() == 1 && args.first() != QLatin1String("--raw")))
            return badUsage(QStringLiteral("status takes only --raw"));
        return showStatus(desktop, !args.isEmpty());
    }
    static const QStringList kDesktopCommands = {QStringLiteral("invoke"), QStringLiteral("ui")};
    if (desktop && !kDesktopCommands.contains(command))
        return badUsage(QStringLiteral("%1 is not a command of the desktop platform").arg(command));
    if (command == QLatin1String("hub"))
        return args.isEmpty() ? showHub() : badUsage(QStringLiteral("hub takes no arguments"));
    if (args.isEmpty() || args.first().isEmpty())
        return badUsage(QStringLiteral("%1: missing argument (%2)").arg(command, argumentOf(command)));
    if (args.size() > 1)
        return badUsage(QStringLiteral("%1 takes exactly one argument").arg(command));
    const QString arg = args.first();
    if (command == QLatin1String("invoke")) {
        warnUnknownAction(arg);
        if (desktop)
            return busInvoke(arg);
        return request({{QStringLiteral("invoke"), QJsonObject {{QStringLiteral("action"), arg}}}});
    }
    if (command == QLatin1String("ui"))
        return uiPresence(arg);
    if (command == QLatin1String("online")) {
        if (arg != QLatin1String("1") && arg != QLatin1String("0"))
            return badUsage(QStringLiteral("online takes 1 or 0"));
        return request({{QStringLiteral("online"), arg == QLatin1String("1")}});
    }
    if (command == QLatin1String("press"))
        return request({{QStringLiteral("dialog_button"), arg}});
    if (command == QLatin1String("select"))
        return request({{QStringLiteral("hub_select"), arg}});
    return lockState(arg);
}

// A device's own zunaroctl lies in its app/native folder.
bool standsInDeviceFolder()
{
    return QCoreApplication::applicationDirPath().endsWith(QLatin1String("/app/native"));
}

// The platform named, else the one of a device that is named or that
// zunaroctl stands in, else the desktop's. An installed zunaroctl must never
// take the file system or the install prefix for a device: what it writes
// there would land in /data or /usr/data.
bool choosePlatform(const QString &named, QString *error)
{
    const bool deviceNamed = !qEnvironmentVariable("ZUNARO_DEVICE_ROOT").isEmpty() || standsInDeviceFolder();
    const QString name = !named.isEmpty() ? named
        : qEnvironmentVariableIsEmpty("ZUNARO_PLATFORM") ? QString::fromLatin1(deviceNamed ? "embedded" : "desktop")
                                                         : qEnvironmentVariable("ZUNARO_PLATFORM");
    zplatform::PlatformKind kind;
    if (!zplatform::platformKindFromName(name, &kind)) {
        *error = zplatform::unknownPlatformError(name);
        return false;
    }
    zplatform::setPlatformKind(kind);
    if (kind == zplatform::PlatformKind::Desktop)
        return true;
    if (!deviceNamed)
        *error = QStringLiteral("no device here: name one with --root DIR or $ZUNARO_DEVICE_ROOT, or use --platform=desktop");
    else if (zplatform::deviceRoot() == QLatin1String("/"))
        *error = QStringLiteral("the file system root is not a device folder");
    return error->isEmpty();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    // What follows the command is its own: `send --x` sends "--x".
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString());
    const QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption root(QStringLiteral("root"), QString(), QStringLiteral("DIR"));
    parser.addOptions({help, version, platform, root});
    if (!parser.parse(app.arguments()))
        return badUsage(parser.errorText());
    if (parser.isSet(help)) {
        fputs(usage().toLocal8Bit().constData(), stdout);
        return kExitOk;
    }
    if (parser.isSet(version)) {
        printf("zunaroctl %s\n", ZUNARO_VERSION);
        return kExitOk;
    }
    if (parser.isSet(root)) {
        if (parser.value(root).isEmpty())
            return badUsage(QStringLiteral("--root is empty: name the device folder"));
        qputenv("ZUNARO_DEVICE_ROOT", QFile::encodeName(parser.value(root)));
    }
    QString error;
    if (!choosePlatform(parser.value(platform), &error))
        return badUsage(error);
    const bool desktop = zplatform::platformKind() == zplatform::PlatformKind::Desktop;
    if (desktop && parser.isSet(root))
        return badUsage(QStringLiteral("--root names a device folder, and the desktop platform has none: drop "
                                       "--root, or use --platform=embedded"));
    const int code = run(desktop, parser.positionalArguments());
    // Qt's bus thread may still be taking a signal from the bus while the
    // program's statics go, and then prints warnings below zunaroctl's own
    // line; ending here, with the output flushed, leaves nothing to race.
    fflush(stdout);
    fflush(stderr);
    std::_Exit(code);
}
