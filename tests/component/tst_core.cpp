// The service's core: start-up in backend mode, the invocations, the UI
// presence files, the notification defaults and the hub open request.

#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bb/platform/Notification.h"
#include "core/notification_defaults.h"
#include "core/presence.h"
#include "events/hub_open_request.h"
#include "service_main.h"
#include "serviceprocess.h"
#include "testdevice.h"
#include "zunaro/device.h"

namespace {
constexpr qint64 kNow = 1700000000000;
const QString kStop = QStringLiteral("com.kvel.zunaro.service.STOP");
const QString kStart = QStringLiteral("com.kvel.zunaro.service.START");
const QString kMarker = QStringLiteral("data/service_notif_defaults_applied.txt");
const QByteArray kApplied = "service: notif_defaults apply err=0";

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void startUpLogAndSocket()
    {
        TestDevice device;
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        const QByteArray tgpushTry = "service: tgpush try=" + device.root().toUtf8();
        // A receive buffer as large as asked for, or as the system allows.
        int granted = 0;
        socklen_t grantedSize = sizeof granted;
        QCOMPARE(getsockopt(service.cmdSocketFd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize), 0);
        QFile rmemMax(QStringLiteral("/proc/sys/net/core/rmem_max"));
        QVERIFY(rmemMax.open(QIODevice::ReadOnly));
        QCOMPARE(granted, 2 * std::min(4 * 1024 * 1024, rmemMax.readAll().trimmed().toInt()));
        QCOMPARE(log.lines(), (QList<QByteArray> {
                                  "service: starting",
                                  "service: bps_initialize err=0",
                                  kApplied,
                                  "service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1",
                                  "service: net isOnline=1",
                                  tgpushTry + "/data/tgpush_proxy.env exists=0",
                                  tgpushTry + "/accounts/1000/shared/misc/nimbrel/tgpush_proxy.env exists=0",
                                  tgpushTry + "/accounts/1000/shared/misc/tgpush_proxy.env exists=0",
                                  "service: tgpush disabled (missing TGPUSH_POLL_URL)",
                                  "service: cmd socket receive buffer " + QByteArray::number(granted) + " bytes",
                                  "service: cmd socket listening on 127.0.0.1:47010",
                              }));
        // Backend mode: the tick runs, the push timers do not, and the
        // backend waits for a command.
        QVERIFY(service.tickTimer->isActive() && !service.eventsTailTimer->isActive());
        QVERIFY(service.serviceActive && !service.backendWanted && service.backendPid == -1);
        QCOMPARE(service.eventsFilePath, device.dataDir() + "/backend_events.jsonl");

        // Bound to 127.0.0.1:47010 and close-on-exec, so no backend inherits it.
        QVERIFY(service.cmdSocketNotifier);
        sockaddr_in bound {};
        socklen_t len = sizeof bound;
        QCOMPARE(getsockname(service.cmdSocketFd, reinterpret_cast<sockaddr *>(&bound), &len), 0);
        QCOMPARE(ntohs(bound.sin_port), zplatform::kCommandPort);
        QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
        QVERIFY(fcntl(service.cmdSocketFd, F_GETFD) & FD_CLOEXEC);
        // Nobody binds beside it, not even asking to share the address.
        const int rogue = socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        setsockopt(rogue, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        QCOMPARE(bind(rogue, reinterpret_cast<sockaddr *>(&bound), sizeof bound), -1);
        QCOMPARE(errno, EADDRINUSE);
        close(rogue);
    }

    void bindFailureLeavesTickRunning()
    {
        TestDevice device;
        // Bound without SO_REUSEADDR, so the service's bind fails.
        const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(zplatform::kCommandPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        LogCapture log;
        {
            ZunaroHeadlessService service(nullptr);
            QCOMPARE(log.lines().last(), "service: cmd bind() failed: errno=" + QByteArray::number(EADDRINUSE));
            QVERIFY(service.cmdSocketFd == -1 && !service.cmdSocketNotifier);
            QVERIFY(service.tickTimer->isActive());
            service.onTick();
        }
        close(blocker);
    }

    void existingEventsAreHistory()
    {
        TestDevice device;
        // Complete, valid message events: were they read, the summary would
        // count them.
        const QByteArray line = R"({"type":"hub_notify_message","chat_id":5,"date":1700000000,)"
                                R"("chat_title":"Team","text":"old","sender_name":"Bob"})" "\n";
        QByteArray content = line.repeated(5000 / line.size());
        content += QByteArray(5000 - content.size() - 1, ' ') + '\n';
        QVERIFY(device.write("data/backend_events.jsonl", content));
        ZunaroHeadlessService service(nullptr);
        service.onTick();
        QCOMPARE(service.hubSummaryMessageCount, quint64(0));
        QCOMPARE(service.eventsFileOffset, qint64(5000));
    }

    void uiAliveAtStartUpIsRemembered_data()
    {
        QTest::addColumn<qint64>("ageMs");
        QTest::addColumn<bool>("alive");
        QTest::newRow("just written") << qint64(0) << true;
        QTest::newRow("two minutes old") << qint64(120000) << false;
    }
    void uiAliveAtStartUpIsRemembered()
    {
        QFETCH(qint64, ageMs);
        TestDevice device;
        zplatform::setClockMs(kNow);
        QVERIFY(device.write("data/ui_alive.txt", QByteArray::number(kNow - ageMs)));
        ZunaroHeadlessService service(nullptr);
        QTEST(service.uiAliveRecent, "alive");
    }

    void actions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("stateCleared"); // also takes the summary off the Hub
        QTest::newRow("stop") << kStop << false << true;
        QTest::newRow("start") << kStart << true << true;
        QTest::newRow("system started") << "bb.action.system.STARTED" << true << false;
        QTest::newRow("stop in other letter case") << "com.kvel.zunaro.service.stop" << true << false;
        QTest::newRow("empty") << QString() << true << false;
    }
    void actions()
    {
        QFETCH(QString, action);
        QFETCH(bool, active);
        QFETCH(bool, stateCleared);
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(bb::platform::Notification(QStringLiteral("kvel_hub_summary")).notify(), 0);
        service.backendWanted = true;
        service.pendingNotifyCount = 3;
        service.lastNotifyPostMs = 1234;
        service.hubSummaryMessageCount = 2;
        service.hubSummaryChatIds.insert(7);
        service.hubSummaryLines.append({7, 1700000000, QStringLiteral("Team: Bob: hi")});
        service.pendingBackendLines << QStringLiteral("queued");

        LogCapture log;
        service.onInvoked(invocation(action));
        // Nothing ran, so nothing was stopped: the one line is the invocation's.
        QCOMPARE(log.lines(), QList<QByteArray> {"service: invoked action=" + action.toUtf8()});
        QCOMPARE(service.serviceActive, active);
        QCOMPARE(service.tickTimer->isActive(), active);
        QCOMPARE(device.exists("platform/hub/kvel_hub_summary.json"), !stateCleared);
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5").arg(int(service.backendWanted)).arg(service.pendingNotifyCount)
                     .arg(service.hubSummaryMessageCount).arg(service.hubSummaryLines.size())
                     .arg(service.hubSummaryChatIds.size()),
                 stateCleared ? "0 0 0 0 0" : "1 3 2 1 1");
        // Only the stop forgets when the last summary went out.
        QCOMPARE(service.lastNotifyPostMs, action == kStop ? 0 : 1234);
        // Queued commands wait for the next backend whatever happens.
        QCOMPARE(service.pendingBackendLines, QStringList {QStringLiteral("queued")});
    }

    // Each START ends a running backend; the tick keeps its phase.
    void startTwiceStopsBackendAndKeepsTickPhase()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        const int tickId = service.tickTimer->timerId();
        for (int i = 0; i < 2; ++i) {
            pid_t sleeper = -1;
            char arg0[] = "/bin/sleep", arg1[] = "30";
            char *argv[] = {arg0, arg1, nullptr};
            QCOMPARE(posix_spawn(&sleeper, argv[0], nullptr, nullptr, argv, environ), 0);
            ChildReaper reaper {&sleeper};
            service.backendPid = sleeper;
            service.onInvoked(invocation(kStart));
            QCOMPARE(service.backendPid, -1);
            // Reaped by the service: no such child any more.
            QVERIFY(waitpid(sleeper, nullptr, WNOHANG) < 0 && errno == ECHILD);
            sleeper = -1;
        }
        QCOMPARE(service.tickTimer->timerId(), tickId);
    }

    void stopThenStartRestartsTick()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        service.onInvoked(invocation(kStop));
        QVERIFY(!service.tickTimer->isActive());
        service.onInvoked(invocation(QStringLiteral("bb.action.system.STARTED")));
        QVERIFY(service.serviceActive && service.tickTimer->isActive());
        const int tickId = service.tickTimer->timerId();
        service.onInvoked(invocation(kStart));
        QCOMPARE(service.tickTimer->timerId(), tickId);
    }

    void freshness_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("mtimeAgeMs"); // -1: no usable modification time
        QTest::addColumn<bool>("fresh");
        // The window's edge and the fallback to the modification time; every
        // other content is checked by the state files' fuzz target.
        QTest::newRow("exactly the window") << QByteArray::number(kNow - 60000) << qint64(-1) << true;
        QTest::newRow("one past the window") << QByteArray::number(kNow - 60001) << qint64(-1) << false;
        QTest::newRow("no time, modified 10 s ago") << QByteArray("abc") << qint64(10000) << true;
        QTest::newRow("no time, modified 2 min ago") << QByteArray() << qint64(120000) << false;
        QTest::newRow("no time at all: existence counts") << QByteArray("x") << qint64(-1) << true;
    }
    void freshness()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, mtimeAgeMs);
        QTEST(presence::isFresh(content, mtimeAgeMs < 0 ? 0 : kNow - mtimeAgeMs, kNow, 60000), "fresh");
    }

    // What the file reader does before the rules above get the content: a
    // stamp that only starts after 64 bytes is not read (the file is old, so
    // it is not fresh); a huge file's first line is.
    void filesOnDisk()
    {
        const QList<QPair<QByteArray, bool>> rows {{"<none>", false}, {"<dir>", false}, {"<fifo>", false},
                                                   {QByteArray(70, ' ') + QByteArray::number(kNow), false},
                                                   {QByteArray::number(kNow) + "\n" + QByteArray(8 << 20, 'x'), true}};
        for (const auto &[content, fresh] : rows) {
            TestDevice device;
            const QString path = device.path("data/ui_alive.txt");
            QVERIFY(placeAt(path, content));
            QFile file(path);
            if (file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
                QVERIFY(file.setFileTime(QDateTime::fromMSecsSinceEpoch(kNow - 120000), QFileDevice::FileModificationTime));
            QVERIFY2(presence::fileIsFresh(path, kNow, 60000) == fresh, content.left(16).constData());
        }
    }

    void aliveAndRunningWindows()
    {
        TestDevice device;
        zplatform::setClockMs(kNow);
        const QByteArray twentySecondsAgo = QByteArray::number(kNow - 20000);
        QVERIFY(device.write("data/ui_alive.txt", twentySecondsAgo));
        QVERIFY(device.write("data/ui_running.txt", twentySecondsAgo));
        ZunaroHeadlessService service(nullptr);
        // The same age: inside the alive window, outside the running one.
        QVERIFY(service.isUiAliveRecent() && !service.isUiRunningActive());
        // Each call reads the files again.
        QVERIFY(device.write("data/ui_running.txt", QByteArray::number(kNow - 15000)));
        QVERIFY(service.isUiRunningActive());
        QVERIFY(QFile::remove(device.path("data/ui_alive.txt")));
        QVERIFY(!service.isUiAliveRecent());
    }

    void markerVersion()
    {
        const QList<QPair<QByteArray, int>> rows {{"  v2 \r\n", 2}, {"v10", 10}, {"ok\n", 1}, {"OK", 0}, {"vabc", 0},
                                                  {"v-3", 0}, {"v", 0}, {"v99999999999999999999999", 0},
                                                  {QByteArray("\xff\xfe\0v2", 5), 0}};
        for (const auto &[line, version] : rows)
            QVERIFY2(notifdefaults::markerVersion(line) == version, line.toPercentEncoding().constData());
    }

    // What the service does with each kind of marker; the parsing itself is
    // the table above.
    void applyOnce_data()
    {
        QTest::addColumn<QByteArray>("marker"); // "<dir>" for a directory, empty for none
        QTest::addColumn<bool>("applied");
        QTest::newRow("no marker") << QByteArray() << true;
        QTest::newRow("older version") << QByteArray("ok\n") << true;
        QTest::newRow("this version") << QByteArray("v2\n") << false;
        QTest::newRow("newer version is left alone") << QByteArray("  v3  \n") << false;
        QTest::newRow("directory at the marker path") << QByteArray("<dir>") << true;
    }
    void applyOnce()
    {
        QFETCH(QByteArray, marker);
        QFETCH(bool, applied);
        TestDevice device;
        const bool dir = marker == "<dir>";
        QVERIFY(dir ? QDir().mkpath(device.path(kMarker)) : marker.isEmpty() || device.write(kMarker, marker));
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QList<QByteArray> expected;
        if (applied)
            expected = {kApplied, "service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1"};
        QCOMPARE(log.matching("service: notif_"), expected);
        if (dir)
            QVERIFY(QFileInfo(device.path(kMarker)).isDir());
        else
            QCOMPARE(device.read(kMarker), applied ? QByteArray("v2\n") : marker);
    }

    void applyFailureIsRetriedNextTime()
    {
        TestDevice device;
        // A file where the platform keeps its state: the settings cannot be
        // written.
        QVERIFY(device.write("platform", "not a folder"));
        {
            LogCapture log;
            ZunaroHeadlessService service(nullptr);
            const QList<QByteArray> lines = log.matching("service: notif_");
            QCOMPARE(lines.size(), 2);
            QVERIFY(lines.at(0).startsWith("service: notif_defaults apply err=") && lines.at(0) != kApplied);
            QCOMPARE(lines.at(1), QByteArray("service: notif_settings alerts=1 sound=0 vibrate=0 led=0 preview=0"));
            QVERIFY(!device.exists(kMarker));
        }
        QVERIFY(QFile::remove(device.path("platform")));
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QVERIFY(log.contains(kApplied));
        QCOMPARE(device.read(kMarker), QByteArray("v2\n"));
    }

    void hubOpenCompose_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<qint64>("chatId");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("expected"); // without the time stamp line
        QTest::newRow("chat with blanks") << " chat  " << qint64(42) << "call"
                                          << QByteArray("HUB_OPEN=chat\nHUB_CHAT_ID=42\nHUB_REASON=call\n");
        QTest::newRow("negative chat id") << "chat" << qint64(-7) << "call" << QByteArray("HUB_OPEN=chat\nHUB_REASON=call\n");
        QTest::newRow("2^53+1, reason trimmed") << "chat" << qint64(9007199254740993) << " x "
                                                << QByteArray("HUB_OPEN=chat\nHUB_CHAT_ID=9007199254740993\nHUB_REASON=x\n");
        QTest::newRow("blank reason") << "chats" << qint64(0) << " \t " << QByteArray("HUB_OPEN=chats\n");
        QTest::newRow("percent signs stay") << "%1 %2" << qint64(0) << "%1" << QByteArray("HUB_OPEN=%1 %2\nHUB_REASON=%1\n");
    }
    void hubOpenCompose()
    {
        QFETCH(QString, screen);
        QFETCH(qint64, chatId);
        QFETCH(QString, reason);
        QFETCH(QByteArray, expected);
        // The time stamp always follows the ids.
        const int at = expected.indexOf("HUB_REASON");
        expected.insert(at < 0 ? expected.size() : at, "HUB_TS_MS=1700000000123\n");
        QCOMPARE(hubopen::compose(screen, chatId, reason, 1700000000123), expected);
    }

    // Each request replaces the last; without a data folder nothing is
    // written and nothing logged.
    void hubOpenWrittenThroughTheService()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        zplatform::setClockMs(kNow);
        service.writeHubOpenRequest(QStringLiteral("chat"), 42, QStringLiteral("call"));
        zplatform::setClockMs(kNow + 500);
        service.writeHubOpenRequest(QStringLiteral("chats"), 0, QStringLiteral("summary"));
        QCOMPARE(device.read("data/hub_open.env"),
                 QByteArray("HUB_OPEN=chats\nHUB_TS_MS=1700000000500\nHUB_REASON=summary\n"));
        QVERIFY(QDir(device.dataDir()).removeRecursively());
        LogCapture log;
        service.writeHubOpenRequest(QStringLiteral("chats"), 0, QStringLiteral("summary"));
        QVERIFY(!device.exists("data/hub_open.env"));
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core.moc"
