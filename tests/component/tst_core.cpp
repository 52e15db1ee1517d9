// The core: start-up, the invocations, the UI's presence files, the notification defaults, the hub open request.

#include <QtTest>

#include <climits>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationSettings.h"
#include "serviceprobe.h"
#include "serviceprocess.h"
#include "testdevice.h"
#include "zunaro/device.h"

namespace {
constexpr qint64 kNow = 1700000000000;
const QString kStop = QStringLiteral("com.kvel.zunaro.service.STOP");
const QString kStart = QStringLiteral("com.kvel.zunaro.service.START");
const QString kMarker = QStringLiteral("data/service_notif_defaults_applied.txt");

} // namespace

class CoreTest : public QObject
{
    Q_OBJECT

private slots:
    void startUp()
    {
        TestDevice device;
        // A receive buffer as large as asked for, or as the system allows (Linux reports it doubled).
        QFile rmemMax(QStringLiteral("/proc/sys/net/core/rmem_max"));
        QVERIFY(rmemMax.open(QIODevice::ReadOnly));
        const int granted = 2 * std::min(4 * 1024 * 1024, rmemMax.readAll().trimmed().toInt());
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        const QByteArray tgpushTry = "service: tgpush try=" + device.root().toUtf8();
        QCOMPARE(log.lines(), (QList<QByteArray> {
                                  "service: starting",
                                  "service: bps_initialize err=0",
                                  "service: notif_defaults apply err=0",
                                  "service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1",
                                  "service: net isOnline=1",
                                  tgpushTry + "/data/tgpush_proxy.env exists=0",
                                  tgpushTry + "/accounts/1000/shared/misc/nimbrel/tgpush_proxy.env exists=0",
                                  tgpushTry + "/accounts/1000/shared/misc/tgpush_proxy.env exists=0",
                                  "service: tgpush disabled (missing TGPUSH_POLL_URL)",
                                  "service: cmd socket receive buffer " + QByteArray::number(granted) + " bytes",
                                  "service: cmd socket listening on 127.0.0.1:47010",
                              }));
        // Backend mode: the tick runs, the push tail does not, the backend waits for a command.
        QVERIFY(p.tickTimer->isActive() && !p.tail.eventsTailTimer->isActive());
        QVERIFY(p.serviceActive && !p.backend.backendWanted && p.backend.backendPid == -1);
        // Bound to the loopback address only.
        sockaddr_in bound {};
        socklen_t len = sizeof bound;
        QCOMPARE(getsockname(p.backend.cmdSocketFd, reinterpret_cast<sockaddr *>(&bound), &len), 0);
        QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
        // A second one finds the port taken (neither asks to share it): it says so, then where and why, and ends.
        ZunaroHeadlessService second(nullptr);
        ServiceProbe p2(second);
        QCOMPARE(log.lines().at(log.lines().size() - 2), "service: cmd bind() failed: errno=" + QByteArray::number(EADDRINUSE));
        QVERIFY(p2.backend.cmdSocketFd == -1 && second.startFailureStatus == 2 && !p2.tickTimer->isActive());
    }

    // Each action on a service that runs a backend (and once on a stopped one): whether it is active after, and
    // whether it ended the backend and cleared the notification state (also taking the summary off the Hub). A
    // running tick keeps its phase.
    void actions_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("stop") << "" << kStop << false << true;
        QTest::newRow("start") << "" << kStart << true << true;
        QTest::newRow("system started") << "" << "bb.action.system.STARTED" << true << false;
        QTest::newRow("system started after a stop") << kStop << "bb.action.system.STARTED" << true << false;
        QTest::newRow("stop in other letter case") << "" << "com.kvel.zunaro.service.stop" << true << false;
    }
    void actions()
    {
        QFETCH(QString, before);
        QFETCH(QString, action);
        QFETCH(bool, active);
        QFETCH(bool, cleared);
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        if (!before.isEmpty())
            p.onInvoked(invocation(before));
        QCOMPARE(bb::platform::Notification(QStringLiteral("kvel_hub_summary")).notify(), 0);
        // A restart of a running tick shows once part of its interval has gone; a stopped one may start afresh.
        QTRY_VERIFY(!p.tickTimer->isActive() || p.tickTimer->remainingTime() < 990);
        const int due = p.tickTimer->isActive() ? p.tickTimer->remainingTime() : INT_MAX;
        pid_t sleeper = -1;
        char arg0[] = "/bin/sleep", arg1[] = "30";
        char *argv[] = {arg0, arg1, nullptr};
        QCOMPARE(posix_spawn(&sleeper, argv[0], nullptr, nullptr, argv, environ), 0);
        ChildReaper reaper {&sleeper};
        p.backend.backendPid = sleeper;
        p.backend.backendWanted = true;
        p.summary.pendingNotifyCount = 3;
        p.summary.lastNotifyPostMs = 1234;
        p.summary.hubSummaryMessageCount = 2;
        p.summary.hubSummaryChatIds.insert(7);
        p.summary.hubSummaryLines.append({7, 1700000000, QStringLiteral("Team: Bob: hi")});
        p.backend.pendingBackendLines << QStringLiteral("queued");

        zplatform::setClockMs(kNow);
        p.onInvoked(invocation(action));
        QCOMPARE(p.statusSnapshot().value("stopped_ms").toLongLong(), active ? 0 : kNow);
        const bool ended = waitpid(sleeper, nullptr, WNOHANG) < 0 && errno == ECHILD;
        if (ended)
            sleeper = -1;
        // tick: 0 stopped, 1 running in its phase, 2 restarted.
        const QTimer *tick = p.tickTimer;
        const QString state = "active=%1 tick=%2 ended=%3 shown=%4 wanted=%5 pending=%6 messages=%7 lines=%8 chats=%9";
        QCOMPARE(state.arg(int(p.serviceActive)).arg(tick->isActive() ? 1 + (tick->remainingTime() > due) : 0)
                     .arg(int(ended)).arg(int(device.exists("platform/hub/kvel_hub_summary.json"))).arg(int(p.backend.backendWanted))
                     .arg(p.summary.pendingNotifyCount).arg(p.summary.hubSummaryMessageCount)
                     .arg(p.summary.hubSummaryLines.size()).arg(p.summary.hubSummaryChatIds.size()),
                 cleared ? state.arg(int(active)).arg(int(active)).arg(1).arg(0).arg(0).arg(0).arg(0).arg(0).arg(0)
                         : state.arg(int(active)).arg(int(active)).arg(0).arg(1).arg(1).arg(3).arg(2).arg(1).arg(1));
        // Only the stop forgets when the last summary went out.
        QCOMPARE(p.summary.lastNotifyPostMs, action == kStop ? 0 : 1234);
        // Queued commands wait for the next backend whatever happens.
        QCOMPARE(p.backend.pendingBackendLines, QStringList {QStringLiteral("queued")});
    }

    // With nothing wanted a tick stops the tick; each way work comes back
    // wakes it, and the work gets done. A wanted backend keeps it through its back-off.
    void idleTick_data()
    {
        QTest::addColumn<QString>("way");
        for (const char *way : {"command", "start", "events", "unlock with a call", "back-off"})
            QTest::newRow(way) << QString(way);
    }
    void idleTick()
    {
        QFETCH(QString, way);
        TestDevice device;
        QVERIFY(device.write("platform/lock_state", "1"));
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        QVERIFY(device.write("data/backend_events.jsonl", "{\"type\":\"other\"}\n"));
        QTRY_COMPARE(p.tail.eventsFileOffset, 17);
        p.onTick();
        QVERIFY(!p.tickTimer->isActive());
        bool done = false;
        if (way == "command") {
            sendCommandDatagram("hello");
            QTRY_VERIFY(p.tickTimer->isActive());
            done = p.backend.backendWanted && p.backend.pendingBackendLines == QStringList {"hello"};
        } else if (way == "start") {
            p.onInvoked(invocation(kStart));
            done = p.serviceActive;
        } else if (way == "events") {
            QVERIFY(device.write("data/backend_events.jsonl",
                                 device.read("data/backend_events.jsonl") + messageEvent(7, "T", "hi") + '\n'));
            QTRY_VERIFY(p.tickTimer->isActive());
            done = p.summary.hubSummaryMessageCount == 1;
        } else if (way == "unlock with a call") {
            p.calls.pendingCallId = 5;
            QVERIFY(device.write("platform/lock_state", "0"));
            QTRY_VERIFY(p.tickTimer->isActive());
            done = device.column("platform/invocations.jsonl", "uri").value(0).contains("5");
        } else {
            p.backend.backendWanted = true;
            p.backend.backendNextStartMs = zplatform::nowMs() + 60000;
            p.tickTimer->start();
            p.onTick();
            done = p.backend.backendPid == -1;
        }
        QVERIFY(p.tickTimer->isActive() && done);
    }

    // Start-up finds the UI alive by the stamp on the first line (of 64 bytes) of its file, else by the file's
    // modification time, within a minute; existing is enough. More: fuzz_state_files.
    void aliveAtStartUp_data()
    {
        QTest::addColumn<QByteArray>("content"); // or what placeAt() puts there
        QTest::addColumn<qint64>("mtimeAgeMs");
        QTest::addColumn<bool>("alive");
        const QByteArray now = QByteArray::number(kNow);
        QTest::newRow("exactly the window") << QByteArray::number(kNow - 60000) << qint64(120000) << true;
        QTest::newRow("one past the window") << QByteArray::number(kNow - 60001) << qint64(0) << false;
        QTest::newRow("no time, modified 10 s ago") << QByteArray("abc") << qint64(10000) << true;
        QTest::newRow("no time, modified 2 min ago") << QByteArray() << qint64(120000) << false;
        QTest::newRow("stamp after 64 bytes") << QByteArray(70, ' ') + now << qint64(120000) << false;
        QTest::newRow("huge file's first line") << now + '\n' + QByteArray(8 << 20, 'x') << qint64(120000) << true;
        QTest::newRow("directory") << QByteArray("<dir>") << qint64(0) << false;
    }
    void aliveAtStartUp()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, mtimeAgeMs);
        TestDevice device;
        const QString path = device.path("data/ui_alive.txt");
        QVERIFY(placeAt(path, content));
        QFile file(path);
        if (file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
            QVERIFY(file.setFileTime(QDateTime::fromMSecsSinceEpoch(kNow - mtimeAgeMs), QFile::FileModificationTime));
        zplatform::setClockMs(kNow);
        ZunaroHeadlessService service(nullptr);
        QTEST(ServiceProbe(service).uiAliveRecent, "alive");
    }

    // The defaults are applied unless the marker names this version (v2) or a newer one; when the settings cannot
    // be written (a file where the platform keeps its state) no marker is left, so the next start tries again.
    void applyOnce_data()
    {
        QTest::addColumn<QByteArray>("marker"); // or what placeAt() puts there
        QTest::addColumn<QString>("settings"); // then alerts, sound, vibrate, led, preview as 0 or 1
        QTest::addColumn<QByteArray>("after"); // the marker then
        const QString applied = "11111";
        QTest::newRow("this version") << QByteArray("  v2 \r\n") << "10000" << QByteArray("  v2 \r\n");
        QTest::newRow("newer version is left alone") << QByteArray("v10") << "10000" << QByteArray("v10");
        QTest::newRow("first version") << QByteArray("ok\n") << applied << QByteArray("v2\n");
        QTest::newRow("beyond 64 bits") << QByteArray("v99999999999999999999999") << applied << QByteArray("v2\n");
        QTest::newRow("binary before the version") << QByteArray("\xff\xfe\0v2", 5) << applied << QByteArray("v2\n");
        // Nothing can be recorded in a directory's place.
        QTest::newRow("directory at the marker path") << QByteArray("<dir>") << applied << QByteArray();
        QTest::newRow("settings not writable") << QByteArray("<none>") << "10000" << QByteArray("<none>");
    }
    void applyOnce()
    {
        QFETCH(QByteArray, marker);
        TestDevice device;
        QVERIFY(placeAt(device.path(kMarker), marker));
        if (QByteArray(QTest::currentDataTag()) == "settings not writable")
            QVERIFY(device.write("platform", "not a folder"));
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        const bb::platform::NotificationApplicationSettings now;
        QTEST(QString::asprintf("%d%d%d%d%d", now.alertsEnabled(), int(now.sound()), int(now.vibrate()), int(now.led()),
                                int(now.preview())), "settings");
        QTEST(device.exists(kMarker) ? device.read(kMarker) : QByteArray("<none>"), "after");
    }

    // Trimmed, a chat id only for a chat, the platform's time after the ids; each request replaces the last,
    // and without a data folder nothing is written and nothing logged.
    void hubOpenRequest()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        zplatform::setClockMs(kNow + 500);
        const auto request = [&](const QString &screen, qint64 chatId, const QString &reason) {
            p.writeHubOpenRequest(screen, chatId, reason);
            return QString::fromUtf8(device.read("data/hub_open.env"));
        };
        QCOMPARE(request(" chat  ", 9007199254740993, " x "),
                 "HUB_OPEN=chat\nHUB_CHAT_ID=9007199254740993\nHUB_TS_MS=1700000000500\nHUB_REASON=x\n");
        QCOMPARE(request("chat", -7, " \t "), "HUB_OPEN=chat\nHUB_TS_MS=1700000000500\n");
        QCOMPARE(request("%1 %2", 0, "%1"), "HUB_OPEN=%1 %2\nHUB_TS_MS=1700000000500\nHUB_REASON=%1\n");
        QVERIFY(QDir(device.dataDir()).removeRecursively());
        LogCapture log;
        QCOMPARE(request("chats", 0, "summary"), QString());
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(CoreTest)
#include "tst_core.moc"
