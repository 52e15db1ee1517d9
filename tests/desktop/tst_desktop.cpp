// The service on the desktop platform against python3-dbusmock on private buses: notifications, logind, the UI.

#include <QtDBus>
#include <QtTest>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bb/platform/Notification.h"
#include "bps/bps.h"
#include "calls/call_logic.h"
#include "desktopbus.h"
#include "serviceprocess.h"
#include "serviceprobe.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/platform.h"

namespace {
const QString kServer = QStringLiteral("org.freedesktop.Notifications");
const QString kServerPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kUi = QStringLiteral("com.kvel.zunaro");
const QString kUiPath = QStringLiteral("/com/kvel/zunaro");
const QString kMarkupCaps = QStringLiteral("body body-markup actions");

// Notify calls as "replaces|icon|summary|body|actions|hints|expire", hints sorted, a byte as y<N>.
QStringList notifications()
{
    QStringList out;
    for (const QVariantList &a : mockCalls(kServer, kServerPath, "Notify")) {
        QStringList hints;
        const QVariantMap map = qdbus_cast<QVariantMap>(a.value(6));
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            hints << it.key() + '=' + (it->userType() == QMetaType::UChar ? 'y' + QString::number(it->toUInt())
                                                                          : it->toString());
        out << QStringList {a.value(1).toString(), a.value(2).toString(), a.value(3).toString(), a.value(4).toString(),
                            qdbus_cast<QStringList>(a.value(5)).join(','), hints.join(','), a.value(7).toString()}
                   .join('|');
    }
    return out;
}

// The user choosing `action` on notification `id`, as the server reports it.
bool press(uint id, const QString &action)
{
    return callBus(false, kServer, kServerPath, "org.freedesktop.DBus.Mock", "EmitSignal",
                   {kServer, "ActionInvoked", "us", QVariantList {id, action}}).has_value();
}

// URIs the UI was opened with, in order.
QStringList uiOpened()
{
    QStringList uris;
    for (const QVariantList &call : mockCalls(kUi, kUiPath, "Open"))
        uris += qdbus_cast<QStringList>(call.value(0));
    return uris;
}

// zunaroctl --platform=desktop ARGS, with `env` ("NAME=value") over ours.
CtlRun ctl(const QStringList &args, const QStringList &env = {})
{
    QProcessEnvironment over = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : env)
        over.insert(pair.section('=', 0, 0), pair.section('=', 1));
    return runToEnd(builtTool("zunaroctl"), QStringList {"--platform=desktop"} + args, over);
}

QByteArray backendInput(const QString &dataHome)
{
    QFile file(dataHome + "/zunaro/td_backend_service.out");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString callUri(qint64 callId, const QString &choice = QString())
{
    return QStringLiteral("zunaro://call?chat_id=12&call_id=%1&user_id=3").arg(callId)
        + (choice.isEmpty() ? QString() : "&auto=" + choice);
}
} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

    DesktopBus buses;
    qint64 server = 0;
    qint64 logind = 0;
    std::unique_ptr<TestDevice> dev;
    std::unique_ptr<ZunaroHeadlessService> service;
    std::optional<ServiceProbe> svc;
    QByteArray spareBus; // a session bus whose service name nobody owns

    // Stops the server `pid`; what `inGap` does then meets no server, and has failed by the time this returns.
    void stopServer(qint64 pid, const std::function<void()> &inGap)
    {
        LogCapture log;
        buses.stop(pid);
        QTRY_VERIFY(!log.matching("platform: the notification server left").isEmpty());
        inGap();
        QTRY_VERIFY(log.lines().join().contains("not provided by any .service files"));
    }

    // Returns once the platform has seen the new server too: one bus message tells every watcher.
    void restartServer(const QString &caps, const std::function<void()> &inGap = {})
    {
        inGap ? stopServer(server, inGap) : buses.stop(server);
        QDBusServiceWatcher watcher(kServer, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        server = buses.startMock(false, kServer, {"-t", "notification_daemon", "-p",
                                                  QString(R"({"capabilities": "%1"})").arg(caps)});
        QVERIFY(server > 0);
        QVERIFY(!registered.isEmpty() || registered.wait());
    }

    // Another user's service from our app folder: its own session bus and folders under `home`; `env` is theirs.
    qint64 startOtherUser(QProcess &service, const QString &home, QStringList *env)
    {
        QByteArray address;
        const qint64 bus = buses.startBus(&address);
        *env = QStringList {"ZUNARO_PLATFORM=desktop", "DBUS_SESSION_BUS_ADDRESS=" + address, "XDG_RUNTIME_DIR=" + home,
                            "XDG_DATA_HOME=" + home, "XDG_CONFIG_HOME=" + home};
        service.setEnvironment(QProcess::systemEnvironment() + *env);
        if (bus > 0 && QDir().mkpath(home) && dev->installTool("zunaro-service", "zunaro-service"))
            service.start(dev->appDir() + "/zunaro-service", QStringList());
        return bus;
    }

    // logind's stand-in with our session c1, unlocked.
    void startLogind()
    {
        logind = buses.startMock(true, "org.freedesktop.login1", {"-t", "logind"});
        QVERIFY(logind > 0);
        QVERIFY(callBus(true, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                        "AddSession", {"c1", "seat0", uint(getuid()), "user", true}));
    }

    void setLocked(bool locked)
    {
        QVERIFY(callBus(true, "org.freedesktop.login1", "/org/freedesktop/login1/session/c1",
                        "org.freedesktop.login1.Session", "SetLockedHint", {locked}));
        QTRY_COMPARE(navigator_get_device_lock_state(), locked ? 1 : 0);
    }

private slots:
    void initTestCase()
    {
        // The bus starts the stand-in UI on demand.
        QVERIFY(placeAt(buses.dir() + "/com.kvel.zunaro.service",
                        "[D-BUS Service]\nName=com.kvel.zunaro\n"
                        "Exec=/usr/bin/python3 -m dbusmock --session -t " ZUNARO_DESKTOP_TEST_DIR
                        "/ui_application.py\n"));
        QVERIFY(buses.start());
        qputenv("XDG_DATA_HOME", buses.dir().toUtf8() + "/data");
        qputenv("XDG_CONFIG_HOME", buses.dir().toUtf8() + "/config");
        qputenv("XDG_SESSION_ID", "c1");
        qputenv("XDG_RUNTIME_DIR", buses.dir().toUtf8() + "/run");
        // Under umask 022, the data folder and the config folder with the login file are closed to others.
        umask(022);
        QVERIFY(QFile::setPermissions(buses.dir(), QFile::Permissions(0x7555)));
        QVERIFY(QDir().mkpath(buses.dir() + "/data/zunaro") && QDir().mkpath(buses.dir() + "/run"));
        QVERIFY(placeAt(buses.dir() + "/config/zunaro/misc/nimbrel/tg_login.env", "TG_PHONE=+100\n"));
        startLogind();

        char name[] = "tst_desktop";
        char flag[] = "--platform=desktop";
        char *argv[] = {name, flag, nullptr};
        int status = -1;
        QVERIFY(zplatform::startServicePlatform(2, argv, &status) && zplatform::holdInstanceLock() == 0);
        dev = std::make_unique<TestDevice>();
        QVERIFY(dev->installTool("td_backend_sim", "td_backend"));
        // Stand-ins: xdg-open records what it opens, xdg-mime what it is asked (the file "handler" answers).
        QVERIFY(dev->write("xdg-open", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/opened\"\n"));
        QVERIFY(dev->write("xdg-mime", "#!/bin/sh\necho \"$@\" >> \"${0%/*}/queried\"\ncat \"${0%/*}/handler\"\n"));
        for (const char *tool : {"xdg-open", "xdg-mime"})
            QVERIFY(QFile::setPermissions(dev->path(tool), QFile::ReadOwner | QFile::ExeOwner));
        qputenv("PATH", dev->root().toUtf8() + ':' + qgetenv("PATH"));
        service = std::make_unique<ZunaroHeadlessService>(nullptr);
        svc.emplace(*service);
        QCOMPARE(svc->dataDir, buses.dir() + "/data/zunaro");
        setLocked(false);
    }

    void cleanupTestCase()
    {
        svc.reset();
        service.reset();
        buses.stopOwner(kUi);
    }

    // One summary, updated in place, closed on removal, escaped for a markup server only; no preview: its count.
    void summary_data()
    {
        QTest::addColumn<QString>("caps");
        QTest::addColumn<int>("preview");
        QTest::addColumn<QString>("line");
        QTest::newRow("markup") << kMarkupCaps << 1 << "\n&lt;b&gt;Bob&lt;/b&gt;: a &amp; b";
        QTest::newRow("plain") << "body actions" << 0 << "\n<b>Bob</b>: a & b";
        QTest::newRow("preview off") << kMarkupCaps << 2 << "";
    }
    void summary()
    {
        QFETCH(QString, caps);
        QFETCH(int, preview);
        QFETCH(QString, line);
        restartServer(caps);
        QVERIFY(placeAt(buses.dir() + "/config/zunaro/notification_settings.json",
                        QString(R"({"sound":1,"preview":%1})").arg(preview).toUtf8()));
        svc->clearHubSummaryState();
        svc->summary.lastHubSummaryText.clear();
        svc->enqueueHubSummaryMessage({7, 0, "<b>Bob</b>", {}, "a & b"});
        svc->postHubSummary(zplatform::nowMs());
        const QString hints = "|default,Open|category=im.received,desktop-entry=com.kvel.zunaro.service|-1";
        const QString first = "0|com.kvel.zunaro.service|Telegram Vyn|1 new message from 1 chat" + line + hints;
        QTRY_COMPARE(notifications(), QStringList {first});

        svc->enqueueHubSummaryMessage({7, 0, "Bob", {}, "c"});
        svc->postHubSummary(zplatform::nowMs() + 60000);
        const QString second = "1|com.kvel.zunaro.service|Telegram Vyn|2 new messages from 1 chat"
                               + (line.isEmpty() ? "" : "\nBob: c" + line) + hints;
        QTRY_COMPARE(notifications(), (QStringList {first, second}));

        QVERIFY(press(1, "default"));
        QTRY_VERIFY(uiOpened().endsWith("zunaro://hub?screen=chats"));
        QCOMPARE(bb::platform::Notification::deleteFromInbox("kvel_hub_summary"), 0);
        QTRY_COMPARE(mockCalls(kServer, kServerPath, "CloseNotification"), QList<QVariantList> {{1u}});
    }

    // One call, one notification, whatever the server does: the ringing dialog, or the call's entry alone while
    // locked (the unlock then invokes the UI at once, however often it comes). A button or the click opens the UI.
    void call_data()
    {
        QTest::addColumn<qint64>("callId");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("step");
        QTest::newRow("answer") << qint64(21) << "Alice" << "" << "accept";
        QTest::newRow("call ends") << qint64(23) << QString(10000, 'x') << "" << "end";
        QTest::newRow("locked, unlocked with the tick stopped") << qint64(31) << "Carol" << "locked" << "default";
        QTest::newRow("server restarted mid-ring") << qint64(41) << "Alice" << "restart" << "accept";
        QTest::newRow("a message while no server runs") << qint64(43) << "Alice" << "message in the gap" << "accept";
        QTest::newRow("a second call while no server runs") << qint64(45) << "Alice" << "call in the gap" << "accept";
        QTest::newRow("Notify answered after 2.5 s") << qint64(51) << "Alice" << "slow" << "accept";
        QTest::newRow("no actions capability") << qint64(61) << "Alice" << "no actions" << "default";
        QTest::newRow("one id for two notifications") << qint64(71) << "Alice" << "same id" << "accept";
    }
    void call()
    {
        QFETCH(qint64, callId);
        QFETCH(QString, name);
        QFETCH(QString, fault);
        QFETCH(QString, step);
        restartServer(fault == "no actions" ? "body body-markup" : kMarkupCaps);
        const QString notify = fault == "same id" ? "ret = 7" : R"(__import__("time").sleep(2.5)
ret = args[1] or self.next_id
self.next_id += 0 if args[1] else 1)";
        if (fault == "slow" || fault == "same id")
            QVERIFY(callBus(false, kServer, kServerPath, "org.freedesktop.DBus.Mock", "AddMethod",
                            {kServer, "Notify", "susssasa{sv}i", "u", notify}));
        bb::platform::Notification summary("kvel_hub_summary");
        if (fault == "same id") { // the server hands out 7 to the summary first, then to the call
            QCOMPARE(summary.notify(), 0);
            QTRY_COMPARE(notifications().size(), 1);
        }
        setLocked(fault == "locked");
        const bool secondCall = fault == "call in the gap", gap = fault == "restart" || fault.endsWith("in the gap");
        svc->handleCallUpdate({callId - secondCall, 3, 12, false, "callStatePending", 0, {}, secondCall ? "Eve" : name});
        svc->calls.pendingCallInvokeTimer->stop();
        if (gap) {
            QTRY_COMPARE(notifications().filter("category=call.incoming").size(), 1);
            restartServer(kMarkupCaps, fault == "restart" ? std::function<void()>() : [&] {
                summary.notify(); // a message: the summary is due, and with a second call taken back
                if (secondCall) {
                    svc->handleCallUpdate({callId, 3, 12, false, "callStatePending", 0, {}, name});
                    QCOMPARE(bb::platform::Notification::deleteFromInbox("kvel_hub_summary"), 0);
                }
            });
        }

        const bool buttons = fault != "locked" && fault != "no actions";
        const QString body = "Incoming call from " + (name.size() > 200 ? QString(161, 'x') + QChar(0x2026) : name);
        const QString ringing = "0|com.kvel.zunaro.service|Telegram Vyn|" + body + "|default,Open"
                                + (buttons ? ",accept,Answer,decline,Decline" : "")
                                + "|category=call.incoming,desktop-entry=com.kvel.zunaro.service"
                                + (fault == "locked" ? "|-1" : ",resident=true,sound-name=phone-incoming-call,urgency=y2|0");
        QTRY_COMPARE_WITH_TIMEOUT(notifications().filter("category=call.incoming"), QStringList {ringing}, 10000);
        QCOMPARE(notifications().filter("im.received").size(), int(fault.startsWith("message") || fault == "same id"));
        const uint id = fault == "same id" ? 7 : notifications().indexOf(ringing) + 1;
        if (fault == "same id") {
            QCoreApplication::processEvents(); // every Notify answered, in order
            QCOMPARE(bb::platform::Notification::deleteFromInbox("kvel_hub_summary"), 0);
            QCoreApplication::processEvents(); // and the removal done before the press
        }
        if (step == "end")
            svc->handleCallUpdate({callId, 0, 0, false, "callStateDiscarded"});
        else
            QVERIFY(press(id, step));
        for (bool locked : {false, true, false})
            setLocked(locked && fault == "locked");
        QStringList opened {callUri(callId)};
        if (step != "end")
            opened << callUri(callId, step == "accept" ? "answer" : "");
        QTRY_COMPARE(uiOpened().filter(QString("call_id=%1&").arg(callId)), opened);
        svc->handleCallUpdate({callId, 0, 0, false, "callStateDiscarded"});
        QTRY_VERIFY(mockCalls(kServer, kServerPath, "CloseNotification").contains(QVariantList {id}));
        QCOMPARE(notifications().filter("category=call.incoming").size(), 1);
    }

    // While logind is away the lock state is unknown, not the last one seen; it is read again once logind is back.
    void logindAway()
    {
        setLocked(true);
        buses.stop(logind);
        QTRY_COMPARE(navigator_get_device_lock_state(), -1);
        startLogind();
        QTRY_COMPARE(navigator_get_device_lock_state(), 0);
    }

    // Two users' services side by side, each relaying its own user's commands alone; no other uid may send. One whose
    // session bus goes says so and ends; its commands find nobody. Started again it replaces the socket file left.
    void commandSocketsAndBusLoss()
    {
        const QByteArray path = qgetenv("XDG_RUNTIME_DIR") + "/zunaro/commands";
        const QByteArray login = qgetenv("XDG_CONFIG_HOME") + "/zunaro/misc/nimbrel/tg_login.env";
        const pid_t child = fork();
        if (child == 0) { // neither reads the login file nor sends
            sockaddr_un addr {AF_UNIX, {}};
            memcpy(addr.sun_path, path.constData(), size_t(path.size()));
            const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
            _exit(setuid(65534) != 0 ? 255 : access(login, R_OK) == 0 ? 1
                  : sendto(fd, "uid", 3, 0, (sockaddr *)&addr, sizeof addr) == 3 ? 0 : errno);
        }
        int status = -1;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), EACCES);

        QProcess other;
        QStringList env;
        const QString home = buses.dir() + "/other";
        const qint64 bus = startOtherUser(other, home, &env);
        QByteArray log;
        QTRY_VERIFY2((log += other.readAllStandardError()).contains("service: cmd socket listening on " + home.toUtf8()), log);
        QCOMPARE(ctl({"send", "for-b"}, env).exitCode, 0);
        QCOMPARE(ctl({"send", "for-a"}).exitCode, 0);
        QTRY_VERIFY(backendInput(buses.dir() + "/data").contains("for-a\n"));
        QTRY_VERIFY(backendInput(home).contains("for-b\n"));
        QVERIFY(!backendInput(buses.dir() + "/data").contains("for-b") && !backendInput(home).contains("for-a"));
        const QString data = qEnvironmentVariable("XDG_DATA_HOME") + "/zunaro/";
        QCOMPARE(runToEnd("stat", {"-c", "%a", path.chopped(9), path, login.chopped(26), data, data + "cache",
                                   data + "service_notif_defaults_applied.txt", data + "td_backend_service.out"}).out,
                 "700\n600\n700\n700\n700\n600\n600\n");

        buses.stop(bus);
        QVERIFY(other.waitForFinished(10000));
        QVERIFY2((log += other.readAllStandardError()).contains("platform: the session bus is gone; ending"), log);
        QCOMPARE(other.exitCode(), 3);
        QCOMPARE(ctl({"send", "late"}, env).exitCode, 1);
        QProcess again;
        QByteArray againLog;
        QVERIFY(startOtherUser(again, home, &env) > 0);
        QTRY_VERIFY2((againLog += again.readAllStandardError()).contains("service: cmd socket listening on "), againLog);
        QCOMPARE(ctl({"send", "again"}, env).exitCode, 0);
    }

    // The service on the bus, through zunaroctl: Status tells the backend's state, Invoke STOP stops it. Text from
    // a bus caller is logged cut, whole UTF-8 characters only, control characters shown as escapes. The service's
    // own invocations: a URI for a program not on the bus goes to xdg-open if a program takes its scheme; no URI
    // activates the program.
    void busService()
    {
        LogCapture log; // the calls: no program for zunaro: URIs, so no xdg-open and one line
        for (const auto &request : {invocation(QString(), "zunaro://call?n=1", "com.kvel.absent"),
                                    invocation(QString(), "zunaro://call?n=2", "com.kvel.absent"),
                                    invocation(QString(), "zunaro://fallback?x=1", "com.kvel.absent"),
                                    invocation(QString(), QString(), kUi)}) {
            if (request.uri().host() == "fallback")
                QVERIFY(dev->write("handler", "com.kvel.zunaro.desktop\n"));
            std::unique_ptr<bb::system::InvokeTargetReply> reply(svc->invokeManager->invoke(request));
            QTRY_VERIFY(reply->isFinished());
            QCOMPARE(reply->errorString().isEmpty(), request.uri().host() != "call");
        }
        const QByteArray noUi = "platform: the UI com.kvel.absent is not installed; the call rings as a notification";
        QCOMPARE(log.matching("platform: the UI"), QList<QByteArray> {noUi});
        QCOMPARE(dev->read("queried"), QByteArray("query default x-scheme-handler/zunaro\n").repeated(3));
        QCOMPARE(mockCalls(kUi, kUiPath, "Activate").size(), 1);
        QTRY_COMPARE(dev->read("opened"), "zunaro://fallback?x=1\n");
        QCOMPARE(ctl({"invoke", "x\n\n" + QString(50000, QChar(0xe9))}).exitCode, 0);
        QTRY_COMPARE(log.matching("service: invoked action="),
                     QList<QByteArray> {"service: invoked action=x\\n\\n" + QString(126, QChar(0xe9)).toUtf8()
                                        + "...(cut: 100003 bytes)"});
        svc->backend.backendWanted = true;
        svc->onTick();
        QVERIFY(svc->backend.backendPid > 0);
        const QString pid = QString::number(svc->backend.backendPid);
        const auto status = [this] {
            const QString out = QString::fromUtf8(ctl({"status", "--raw"}).out);
            return out.split('\n').filter(QRegularExpression("^(active|backend_pid|lock_state|mode)="));
        };
        QCOMPARE(status(), (QStringList {"active=1", "backend_pid=" + pid, "lock_state=0", "mode=backend"}));
        // Every argument has the name the installed interface file gives it.
        const QString xml = callBus(false, kUi + ".service", kUiPath + "/service", "org.freedesktop.DBus.Introspectable",
                                    "Introspect", {}).value_or(QVariantList()).value(0).toString();
        QVERIFY(xml.contains(R"(name="uri")") && xml.contains(R"(name="status")") && !xml.contains("arg_"));
        QCOMPARE(ctl({"invoke", "com.kvel.zunaro.service.STOP"}).exitCode, 0);
        QTRY_COMPARE(svc->backend.backendPid, -1);
        QCOMPARE(status(), (QStringList {"active=0", "backend_pid=-1", "lock_state=0", "mode=backend"}));
    }

    // Asking how the service is, or stopping it, starts none, though the bus could: each says so and exits 1.
    void queriesStartNothing()
    {
        const QString file = buses.dir() + "/probe.service", mark = buses.dir() + "/activated";
        QVERIFY(placeAt(file, "[D-BUS Service]\nName=com.kvel.zunaro.service\nExec=/usr/bin/touch " + mark.toUtf8()));
        QByteArray address;
        QVERIFY(buses.startBus(&address) > 0);
        for (const char *args : {"status", "invoke com.kvel.zunaro.service.STOP"}) {
            const CtlRun run = ctl(QString(args).split(' '), {"DBUS_SESSION_BUS_ADDRESS=" + address});
            QCOMPARE(QByteArray::number(run.exitCode) + ' ' + run.err,
                     "1 zunaroctl: no service running: com.kvel.zunaro.service is not on the session bus\n");
        }
        QVERIFY(QFile::remove(file) && !QFile::exists(mark));
    }

    // A service that cannot run here says why in its last line and ends at once: another one owns the bus name or holds
    // the user's lock, or what lies in its runtime folder (R: one of the row's own) keeps it from the UI's commands.
    void refusals_data()
    {
        QTest::addColumn<QString>("runtimeDir");
        QTest::addColumn<QString>("place");   // "PATH WHAT" in the runtime folder ("-": nothing)
        QTest::addColumn<QByteArray>("ends"); // exit status, then the last line on standard error
        const QByteArray us = "zunaro-service: ", cannot = "2 " + us + "cannot run here: R/zunaro: ";
        QTest::newRow("second instance on the bus") << qEnvironmentVariable("XDG_RUNTIME_DIR") << QString()
                                                    << "1 " + us + "another zunaro-service owns com.kvel.zunaro.service\n";
        QTest::newRow("no runtime folder") << QString() << QString() << "2 " + us + "the desktop platform needs "
                                           "XDG_RUNTIME_DIR, the user's runtime folder, for its command socket\n";
        QTest::newRow("held by a live service") << qEnvironmentVariable("XDG_RUNTIME_DIR") << "zunaro -"
                                                << "1 " + us + "another zunaro-service (pid " + QByteArray::number(getpid())
                                                       + ") runs here; it holds R/zunaro/zunaro-service.lock\n";
        QTest::newRow("folder at the socket path") << "R" << "zunaro/commands <dir>"
                                                   << "2 " + us + "cannot take commands on R/zunaro/commands: Is a directory\n";
        QTest::newRow("dangling link for its folder") << "R" << "zunaro <link>" << cannot + "No such file or directory\n";
        QTest::newRow("its folder a file") << "R" << "zunaro x" << cannot + "Not a directory\n";
        QTest::newRow("its folder another user's") << "R" << "zunaro <foreign>" << cannot + "Operation not permitted\n";
    }
    void refusals()
    {
        QFETCH(QString, runtimeDir);
        QFETCH(QString, place);
        QFETCH(QByteArray, ends);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZUNARO_PLATFORM", "desktop");
        if (!place.isEmpty()) {
            if (runtimeDir == "R")
                runtimeDir = buses.dir() + "/refused/" + QTest::currentDataTag();
            const QString at = runtimeDir + '/' + place.section(' ', 0, 0), what = place.section(' ', 1);
            QVERIFY(QDir().mkpath(QFileInfo(at).path()));
            QVERIFY(what == "<link>"      ? QFile::link(runtimeDir + "/nowhere", at)
                    : what == "<foreign>" ? QDir().mkpath(at) && chown(QFile::encodeName(at), 65534, 65534) == 0
                                          : what == "-" || placeAt(at, what.toUtf8()));
            // Our bus name is taken; this service finds it free on a bus of its own.
            QVERIFY(!spareBus.isEmpty() || buses.startBus(&spareBus) > 0);
            env.insert("DBUS_SESSION_BUS_ADDRESS", spareBus);
            env.insert("XDG_DATA_HOME", runtimeDir + "/data");
            ends.replace("R/", runtimeDir.toUtf8() + '/');
        }
        env.insert("XDG_RUNTIME_DIR", runtimeDir);
        const CtlRun run = runToEnd(builtTool("zunaro-service"), {}, env);
        QCOMPARE(QByteArray::number(run.exitCode) + ' ' + run.err.mid(run.err.lastIndexOf('\n', -2) + 1), ends);
    }

    // On dunst a ringing call is one notification, its end leaves none; one posted after the call's shows once the
    // call's are all in. While dunst restarts a post fails at once; the new dunst shows it and the call again.
    void realServer()
    {
        buses.stop(server);
        QVERIFY(placeAt(buses.dir() + "/dunstrc", "[global]\nnotification_limit = 0\nstack_duplicates = false\n"));
        QProcess &xvfb = buses.launch("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
        QVERIFY(xvfb.waitForReadyRead(10000));
        qputenv("DISPLAY", ':' + xvfb.readLine().trimmed());
        const qint64 dunst = buses.launch("dunst", {"-config", buses.dir() + "/dunstrc"}).processId();
        const auto shown = [] {
            uint n = 0;
            for (const char *queue : {"displayedLength", "waitingLength"})
                n += callBus(false, kServer, kServerPath, "org.freedesktop.DBus.Properties", "Get",
                             {"org.dunstproject.cmd0", queue}).value_or(QVariantList {}).value(0)
                         .value<QDBusVariant>().variant().toUInt();
            return n;
        };
        svc->handleCallUpdate({81, 3, 12, false, "callStatePending", 0, {}, "Dave"});
        QTRY_VERIFY_WITH_TIMEOUT(shown() >= 1, 10000); // rung while dunst starts
        bb::platform::Notification marker("marker");
        marker.setTitle("after the call");
        QCOMPARE(marker.notify(), 0);
        QTRY_COMPARE(shown(), 2u);
        stopServer(dunst, [&] { marker.setBody("changed while dunst was away"); QTRY_COMPARE(marker.notify(), 1); });
        const qint64 dunstAgain = buses.launch("dunst", {"-config", buses.dir() + "/dunstrc"}).processId();
        QTRY_COMPARE_WITH_TIMEOUT(shown(), 2u, 10000);
        QCOMPARE(bb::platform::Notification::deleteFromInbox("marker"), 0);
        svc->handleCallUpdate({81, 0, 0, false, "callStateDiscarded"});
        QTRY_COMPARE(shown(), 0u);
        buses.stop(dunstAgain);
        buses.stop(xvfb.processId());
    }
};

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
