// The service on the desktop platform, against python3-dbusmock on private
// buses: the notification server, logind, and a stand-in for the UI that the
// session bus starts when the service opens it.

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QProcess>
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
const QString kSession = QStringLiteral("/org/freedesktop/login1/session/c1");
const QString kMarkupCaps = QStringLiteral("body body-markup actions");

// One Notify call as "replaces|summary|body|actions|hints|expire", hints
// sorted, a byte shown as y<N>.
QString describeNotify(const QVariantList &a)
{
    QStringList hints;
    const QVariantMap map = a.value(6).toMap();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const QVariant &v = *it;
        hints << it.key() + '=' + (v.userType() == QMetaType::UChar ? 'y' + QString::number(v.toUInt()) : v.toString());
    }
    return QStringList {a.value(1).toString(), a.value(3).toString(), a.value(4).toString(),
                        a.value(5).toStringList().join(','), hints.join(','), a.value(7).toString()}
        .join('|');
}

QList<QVariantList> serverCalls(const QString &method)
{
    return mockCalls(false, kServer, kServerPath, method);
}

// URIs the UI was opened with, in order.
QStringList uiOpened()
{
    QStringList uris;
    for (const QVariantList &call : mockCalls(false, kUi, kUiPath, QStringLiteral("Open")))
        uris += call.value(0).toStringList();
    return uris;
}

bool uiRunning()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kUi).value();
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    DesktopBus buses;
    qint64 server = 0;
    std::unique_ptr<TestDevice> dev;
    std::unique_ptr<ZunaroHeadlessService> svc;

    // Returns once the platform has seen the new server too: the bus tells
    // every watcher of the name in one message.
    void restartServer(const QString &caps)
    {
        buses.stopMock(server);
        QDBusServiceWatcher watcher(kServer, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        server = buses.startNotificationServer(caps);
        QVERIFY(server > 0);
        QVERIFY(!registered.isEmpty() || registered.wait());
    }

    void setLocked(bool locked)
    {
        QVERIFY(callBus(true, QStringLiteral("org.freedesktop.login1"), kSession,
                        QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("SetLockedHint"), {locked}));
        QTRY_COMPARE(navigator_get_device_lock_state(), locked ? 1 : 0);
    }

    void ring(qint64 callId, const QString &name)
    {
        svc->handleCallUpdate({{"call_id", callId}, {"chat_id", 12}, {"user_id", 3},
                               {"state", "callStatePending"}, {"chat_title", name}});
    }

    // The id and the Notify call of the ringing call's notification.
    QPair<uint, QString> ringingNotification()
    {
        const QList<QVariantList> calls = serverCalls("Notify");
        for (int i = calls.size() - 1; i >= 0; --i) {
            if (calls[i].value(5).toStringList().contains("accept"))
                return {uint(i + 1), describeNotify(calls[i])};
        }
        return {0, QString()};
    }

    static QString callUri(qint64 callId, const QString &choice = QString())
    {
        return QStringLiteral("zunaro://call?chat_id=12&call_id=%1&user_id=3").arg(callId)
            + (choice.isEmpty() ? QString() : "&auto=" + choice);
    }

private slots:
    void initTestCase()
    {
        const QString ui = QStringLiteral("[D-BUS Service]\nName=com.kvel.zunaro\n"
                                          "Exec=/usr/bin/python3 -m dbusmock --session -t %1\n")
                               .arg(QStringLiteral(ZUNARO_DESKTOP_TEST_DIR "/ui_application.py"));
        QVERIFY(buses.start({{"com.kvel.zunaro.service", ui.toUtf8()}}));
        qputenv("XDG_DATA_HOME", buses.dir().toUtf8() + "/data");
        qputenv("XDG_CONFIG_HOME", buses.dir().toUtf8() + "/config");
        qputenv("XDG_SESSION_ID", "c1");
        // A stand-in xdg-open first on the PATH records what it was asked to open.
        const QString bin = buses.dir() + "/bin";
        QDir().mkpath(bin);
        QFile xdgOpen(bin + "/xdg-open");
        QVERIFY(xdgOpen.open(QIODevice::WriteOnly));
        xdgOpen.write("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/opened\"\n");
        xdgOpen.close();
        xdgOpen.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", bin.toUtf8() + ':' + qgetenv("PATH"));

        QVERIFY(buses.startMock(true, "org.freedesktop.login1", {"-t", "logind"}) > 0);
        QVERIFY(callBus(true, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                        "AddSession", QVariantList {"c1", "seat0", uint(getuid()), "user", true}));
        restartServer(kMarkupCaps);

        char name[] = "tst_desktop";
        char flag[] = "--platform=desktop";
        char *argv[] = {name, flag, nullptr};
        QCOMPARE(zplatform::startServicePlatform(2, argv), 0);
        dev = std::make_unique<TestDevice>();
        QVERIFY(dev->installTool("td_backend_sim", "td_backend"));
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

    // One notification for the summary, updated in place, closed on
    // removal; its body escaped exactly when the server reads markup. Each
    // row starts a new server: the ids of the one before are forgotten.
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
        QTRY_COMPARE(serverCalls("Notify").size(), 1);
        QCOMPARE(describeNotify(serverCalls("Notify")[0]),
                 "0|Telegram Vyn|1 new message from 1 chat\n" + line + hints);

        svc->enqueueHubSummaryMessage({{"chat_id", 7}, {"chat_title", "Bob"}, {"text", "c"}});
        svc->postHubSummary(zplatform::nowMs() + 60000);
        QTRY_COMPARE(serverCalls("Notify").size(), 2);
        QCOMPARE(describeNotify(serverCalls("Notify")[1]),
                 "1|Telegram Vyn|2 new messages from 1 chat\nBob: c\n" + line + hints);

        QVERIFY(emitMockSignal(kServer, kServerPath, kServer, "ActionInvoked", "us", {1u, "default"}));
        QTRY_VERIFY(uiOpened().endsWith("zunaro://hub?screen=chats"));
        QVERIFY(emitMockSignal(kServer, kServerPath, kServer, "ActionInvoked", "us", {1u, "snooze"}));
        QVERIFY(emitMockSignal(kServer, kServerPath, kServer, "ActionInvoked", "us", {99u, "default"}));

        QCOMPARE(serverCalls("CloseNotification").size(), 0);
        QCOMPARE(bb::platform::Notification::deleteFromInbox("kvel_hub_summary"), 0);
        QTRY_COMPARE(serverCalls("CloseNotification").size(), 1);
        QCOMPARE(serverCalls("CloseNotification")[0].value(0).toUInt(), 1u);
    }

    // The ringing call: one critical, resident notification with the
    // buttons as actions; a button sends its request and closes it, the end
    // of the call closes it. A name of any length stays one short line.
    void call_data()
    {
        QTest::addColumn<qint64>("callId");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("opened");
        QTest::newRow("answer") << qint64(21) << "Alice" << "accept" << callUri(21, "answer");
        QTest::newRow("decline") << qint64(22) << "Alice" << "decline" << callUri(22, "decline");
        QTest::newRow("call ends") << qint64(23) << QString(10000, 'x') << "end" << QString();
    }
    void call()
    {
        QFETCH(qint64, callId);
        QFETCH(QString, name);
        QFETCH(QString, step);
        QFETCH(QString, opened);
        restartServer(kMarkupCaps);
        ring(callId, name);
        QTRY_VERIFY(ringingNotification().first != 0);
        QString body = "Incoming call from " + name;
        if (body.size() > 180)
            body = body.left(180) + QChar(0x2026);
        QCOMPARE(ringingNotification().second,
                 "0|Telegram Vyn|" + body + "|default,Open,accept,Answer,decline,Decline|"
                 "category=call.incoming,desktop-entry=com.kvel.zunaro,resident=true,"
                 "sound-name=phone-incoming-call,urgency=y2|0");
        QTRY_VERIFY(uiOpened().endsWith(callUri(callId)));

        const uint id = ringingNotification().first;
        if (step == "end")
            svc->handleCallUpdate({{"call_id", callId}, {"state", "callStateDiscarded"}});
        else
            QVERIFY(emitMockSignal(kServer, kServerPath, kServer, "ActionInvoked", "us", {id, step}));
        QTRY_VERIFY(serverCalls("CloseNotification").contains(QVariantList {id}));
        if (!opened.isEmpty())
            QTRY_VERIFY(uiOpened().endsWith(opened));
        QVERIFY(!uiOpened().contains(callUri(callId, "answer")) || step == "accept");
        svc->dismissIncomingCallDialog();
    }

    // Locked, the call waits: no UI until the session is unlocked.
    void lockedCall()
    {
        clearMockCalls(false, kUi, kUiPath);
        setLocked(true);
        ring(31, "Carol");
        svc->onPendingIncomingCallInvokeTick();
        QVERIFY(svc->pendingCallId == 31);
        QVERIFY(!uiOpened().contains(callUri(31)));
        setLocked(false);
        QTRY_VERIFY(uiOpened().contains(callUri(31)));
        QCOMPARE(svc->pendingCallId, 0);
    }

    // Invocations with a URI for a program that is not on the bus go to
    // xdg-open; one without a URI activates the UI (started if need be).
    void invocations()
    {
        buses.stopOwner(kUi);
        QTRY_VERIFY(!uiRunning());
        bb::system::InvokeRequest absent;
        absent.setTarget("com.kvel.absent");
        absent.setUri(QStringLiteral("zunaro://fallback?x=1"));
        std::unique_ptr<bb::system::InvokeTargetReply> reply(svc->invokeManager->invoke(absent));
        QVERIFY(reply);
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->errorString(), QString());
        QTRY_COMPARE(QString::fromUtf8(QFile(buses.dir() + "/bin/opened").exists() ? "yes" : "no"), "yes");
        QFile opened(buses.dir() + "/bin/opened");
        QVERIFY(opened.open(QIODevice::ReadOnly));
        QCOMPARE(opened.readAll(), "zunaro://fallback?x=1\n");

        bb::system::InvokeRequest activate;
        activate.setTarget(kUi);
        reply.reset(svc->invokeManager->invoke(activate));
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->errorString(), QString());
        QCOMPARE(mockCalls(false, kUi, kUiPath, "Activate").size(), 1);
    }

    // The service on the bus: Status tells the backend's state, Invoke STOP
    // stops it, through zunaroctl as a user would.
    void busService()
    {
        svc->backendWanted = true;
        svc->onTick();
        QVERIFY(svc->backendPid > 0);
        const auto status = [this] {
            return QString::fromUtf8(zunaroctl(*dev, {"--platform=desktop", "status"}).out).split('\n');
        };
        QStringList s = status();
        QVERIFY2(s.contains("backend_pid=" + QString::number(svc->backendPid)) && s.contains("active=1")
                     && s.contains("mode=backend") && s.contains("lock_state=0"),
                 qPrintable(s.join(' ')));
        QCOMPARE(zunaroctl(*dev, {"--platform=desktop", "invoke", "com.kvel.zunaro.service.STOP"}).exitCode, 0);
        QTRY_COMPARE(svc->backendPid, -1);
        s = status();
        QVERIFY2(s.contains("backend_pid=-1") && s.contains("active=0"), qPrintable(s.join(' ')));
    }

    // A service that cannot run here says why and ends at once.
    void refusals_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("busAddress");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error");
        QTest::newRow("second instance") << "desktop" << "" << 1
                                         << "another zunaro-service owns com.kvel.zunaro.service";
        QTest::newRow("unknown platform") << "phone" << "" << 2 << "unknown platform \"phone\"";
        QTest::newRow("no session bus") << "desktop" << "unix:path=/nonexistent" << 2
                                        << "the desktop platform needs a session bus";
    }
    void refusals()
    {
        QFETCH(QString, platform);
        QFETCH(QString, busAddress);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        QProcess service;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZUNARO_PLATFORM", platform);
        if (!busAddress.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
        service.setProcessEnvironment(env);
        service.start(builtTool("zunaro-service"), QStringList());
        QVERIFY(service.waitForFinished(10000));
        QCOMPARE(service.exitCode(), exitCode);
        QVERIFY2(service.readAllStandardError().startsWith(("zunaro-service: " + error).toUtf8()), qPrintable(error));
    }

    // Without a notification server a post fails at once; once a server is
    // there, the next post shows.
    void noServer()
    {
        buses.stopMock(server);
        server = 0;
        bb::platform::Notification notification("kvel_hub_summary");
        notification.setTitle("Telegram Vyn");
        notification.setBody("1 new message");
        QTRY_COMPARE(notification.notify(), 1);
        restartServer(kMarkupCaps);
        QTRY_COMPARE(notification.notify(), 0);
        QTRY_COMPARE(serverCalls("Notify").size(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_desktop.moc"
