// The service on the desktop platform against python3-dbusmock on private
// buses: the notification server, logind and a bus-activated stand-in UI.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <memory>
#include <unistd.h>

#include "bb/platform/Notification.h"
#include "bps/bps.h"
#include "desktopbus.h"
#include "serviceprocess.h"
#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/platform.h"

namespace {
const QString kServer = QStringLiteral("org.freedesktop.Notifications");
const QString kServerPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kUi = QStringLiteral("com.kvel.zunaro");
const QString kUiPath = QStringLiteral("/com/kvel/zunaro");
const QString kMarkupCaps = QStringLiteral("body body-markup actions");

// Notify calls as "replaces|summary|body|actions|hints|expire", hints sorted, a byte as y<N>.
QStringList notifications()
{
    QStringList out;
    for (const QVariantList &a : mockCalls(kServer, kServerPath, "Notify")) {
        QStringList hints;
        const QVariantMap map = qdbus_cast<QVariantMap>(a.value(6));
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            hints << it.key() + '=' + (it->userType() == QMetaType::UChar ? 'y' + QString::number(it->toUInt())
                                                                          : it->toString());
        out << QStringList {a.value(1).toString(), a.value(3).toString(), a.value(4).toString(),
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

QString callUri(qint64 callId, const QString &choice = QString())
{
    return QStringLiteral("zunaro://call?chat_id=12&call_id=%1&user_id=3").arg(callId)
        + (choice.isEmpty() ? QString() : "&auto=" + choice);
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    DesktopBus buses;
    qint64 server = 0;
    std::unique_ptr<TestDevice> dev;
    std::unique_ptr<ZunaroHeadlessService> svc;

    // Returns once the platform has seen the new server too: one bus message tells every watcher.
    void restartServer(const QString &caps)
    {
        buses.stop(server);
        QDBusServiceWatcher watcher(kServer, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        server = buses.startMock(false, kServer, {"-t", "notification_daemon", "-p",
                                                  QString(R"({"capabilities": "%1"})").arg(caps)});
        QVERIFY(server > 0);
        QVERIFY(!registered.isEmpty() || registered.wait());
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
        QVERIFY(buses.startMock(true, "org.freedesktop.login1", {"-t", "logind"}) > 0);
        QVERIFY(callBus(true, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                        "AddSession", {"c1", "seat0", uint(getuid()), "user", true}));

        char name[] = "tst_desktop";
        char flag[] = "--platform=desktop";
        char *argv[] = {name, flag, nullptr};
        int status = -1;
        QVERIFY(zplatform::startServicePlatform(2, argv, &status));
        dev = std::make_unique<TestDevice>();
        QVERIFY(dev->installTool("td_backend_sim", "td_backend"));
        // A stand-in xdg-open records what it opens in the device folder.
        QVERIFY(dev->write("xdg-open", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/opened\"\n"));
        QVERIFY(QFile::setPermissions(dev->path("xdg-open"), QFile::ReadOwner | QFile::ExeOwner));
        qputenv("PATH", dev->root().toUtf8() + ':' + qgetenv("PATH"));
        svc = std::make_unique<ZunaroHeadlessService>(nullptr);
        QCOMPARE(svc->dataDir, buses.dir() + "/data/zunaro");
        QCOMPARE(QFileInfo(svc->dataDir).permissions() & 0x0077, QFileDevice::Permissions());
        setLocked(false);
    }

    void cleanupTestCase()
    {
        svc.reset();
        buses.stopOwner(kUi);
    }

    // One summary notification, updated in place, closed on removal, escaped only for a markup server.
    void summary_data()
    {
        QTest::addColumn<QString>("caps");
        QTest::addColumn<QString>("line");
        QTest::newRow("markup") << kMarkupCaps << "&lt;b&gt;Bob&lt;/b&gt;: a &amp; b";
        QTest::newRow("plain") << "body actions" << "<b>Bob</b>: a & b";
    }
    void summary()
    {
        QFETCH(QString, caps);
        QFETCH(QString, line);
        restartServer(caps);
        svc->clearHubSummaryState();
        svc->lastHubSummaryText.clear();
        svc->enqueueHubSummaryMessage({{"chat_id", 7}, {"chat_title", "<b>Bob</b>"}, {"text", "a & b"}});
        svc->postHubSummary(zplatform::nowMs());
        const QString hints = "|default,Open|category=im.received,desktop-entry=com.kvel.zunaro|-1";
        const QString first = "0|Telegram Vyn|1 new message from 1 chat\n" + line + hints;
        QTRY_COMPARE(notifications(), QStringList {first});

        svc->enqueueHubSummaryMessage({{"chat_id", 7}, {"chat_title", "Bob"}, {"text", "c"}});
        svc->postHubSummary(zplatform::nowMs() + 60000);
        const QString second = "1|Telegram Vyn|2 new messages from 1 chat\nBob: c\n" + line + hints;
        QTRY_COMPARE(notifications(), (QStringList {first, second}));

        QVERIFY(press(1, "default"));
        QTRY_VERIFY(uiOpened().endsWith("zunaro://hub?screen=chats"));
        QCOMPARE(bb::platform::Notification::deleteFromInbox("kvel_hub_summary"), 0);
        QTRY_COMPARE(mockCalls(kServer, kServerPath, "CloseNotification"), QList<QVariantList> {{1u}});
    }

    // The ringing call's notification: a button sends its request, it or the call's end closes it.
    void call_data()
    {
        QTest::addColumn<qint64>("callId");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("step");
        QTest::addColumn<QStringList>("opened");
        const QString cut = "Incoming call from " + QString(161, 'x') + QChar(0x2026);
        QTest::newRow("answer") << qint64(21) << "Alice" << "Incoming call from Alice" << "accept"
                                << QStringList {callUri(21), callUri(21, "answer")};
        QTest::newRow("call ends") << qint64(23) << QString(10000, 'x') << cut << "end" << QStringList {callUri(23)};
    }
    void call()
    {
        QFETCH(qint64, callId);
        QFETCH(QString, name);
        QFETCH(QString, body);
        QFETCH(QString, step);
        QFETCH(QStringList, opened);
        restartServer(kMarkupCaps);
        svc->handleCallUpdate({{"call_id", callId}, {"chat_id", 12}, {"user_id", 3},
                               {"state", "callStatePending"}, {"chat_title", name}});
        const QString hints = "category=call.incoming,desktop-entry=com.kvel.zunaro";
        const QString entry = "0|Telegram Vyn|" + body + "|default,Open|" + hints + "|-1";
        const QString ringing = "0|Telegram Vyn|" + body + "|default,Open,accept,Answer,decline,Decline|" + hints
                                + ",resident=true,sound-name=phone-incoming-call,urgency=y2|0";
        QTRY_COMPARE(notifications().size(), 2);
        const uint id = notifications().indexOf(ringing) + 1; // numbered from 1, in either order
        QVERIFY2(id > 0 && notifications().contains(entry), qPrintable(notifications().join('\n')));
        if (step == "end")
            svc->handleCallUpdate({{"call_id", callId}, {"state", "callStateDiscarded"}});
        else
            QVERIFY(press(id, step));
        QTRY_VERIFY(mockCalls(kServer, kServerPath, "CloseNotification").contains(QVariantList {id}));
        QTRY_COMPARE(uiOpened().filter(QString("call_id=%1&").arg(callId)), opened);
        svc->dismissIncomingCallDialog();
    }

    // Locked, the call waits: no UI until the session is unlocked.
    void lockedCall()
    {
        setLocked(true);
        svc->handleCallUpdate({{"call_id", 31}, {"chat_id", 12}, {"user_id", 3},
                               {"state", "callStatePending"}, {"chat_title", "Carol"}});
        svc->onPendingIncomingCallInvokeTick();
        QVERIFY(!uiOpened().contains(callUri(31)));
        setLocked(false);
        QTRY_VERIFY(uiOpened().contains(callUri(31)));
    }

    // A URI for a program not on the bus goes to xdg-open; no URI activates the program.
    void invocations()
    {
        for (const auto &request : {invocation(QString(), "zunaro://fallback?x=1", "com.kvel.absent"),
                                    invocation(QString(), QString(), kUi)}) {
            std::unique_ptr<bb::system::InvokeTargetReply> reply(svc->invokeManager->invoke(request));
            QTRY_VERIFY(reply->isFinished());
            QCOMPARE(reply->errorString(), QString());
        }
        QCOMPARE(mockCalls(kUi, kUiPath, "Activate").size(), 1);
        QTRY_COMPARE(dev->read("opened"), "zunaro://fallback?x=1\n");
    }

    // The service on the bus, through zunaroctl: Status tells the backend's state, Invoke STOP stops it.
    void busService()
    {
        svc->backendWanted = true;
        svc->onTick();
        QVERIFY(svc->backendPid > 0);
        const QString pid = QString::number(svc->backendPid);
        const auto status = [this] {
            const QString out = QString::fromUtf8(zunaroctl(*dev, {"--platform=desktop", "status", "--raw"}).out);
            return out.split('\n').filter(QRegularExpression("^(active|backend_pid|lock_state|mode)="));
        };
        QCOMPARE(status(), (QStringList {"active=1", "backend_pid=" + pid, "lock_state=0", "mode=backend"}));
        // Every argument has the name the installed interface file gives it.
        const QString xml = callBus(false, kUi + ".service", kUiPath + "/service", "org.freedesktop.DBus.Introspectable",
                                    "Introspect", {}).value_or(QVariantList()).value(0).toString();
        QVERIFY(xml.contains(R"(name="uri")") && xml.contains(R"(name="status")") && !xml.contains("arg_"));
        QCOMPARE(zunaroctl(*dev, {"--platform=desktop", "invoke", "com.kvel.zunaro.service.STOP"}).exitCode, 0);
        QTRY_COMPARE(svc->backendPid, -1);
        QCOMPARE(status(), (QStringList {"active=0", "backend_pid=-1", "lock_state=0", "mode=backend"}));
    }

    // A second service on the session (chosen by the environment here) says why and ends at once.
    void secondInstance()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZUNARO_PLATFORM", "desktop");
        const CtlRun run = runToEnd(builtTool("zunaro-service"), {}, env);
        QVERIFY2(run.exitCode == 1 && run.err == "zunaro-service: another zunaro-service owns com.kvel.zunaro.service\n",
                 run.err.constData());
    }

    // Without a notification server a post fails at once; once one is there, the next post shows.
    void noServer()
    {
        buses.stop(server);
        bb::platform::Notification notification("kvel_hub_summary");
        notification.setTitle("Telegram Vyn");
        notification.setBody("1 new message");
        QTRY_COMPARE(notification.notify(), 1);
        restartServer(kMarkupCaps);
        QTRY_COMPARE(notification.notify(), 0);
        QTRY_COMPARE(notifications().size(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_desktop.moc"
