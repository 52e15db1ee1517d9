// Start, stop and system-started invocations in backend mode.

#include <QtTest>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

#include "bb/platform/Notification.h"
#include "service_main.h"
#include "testdevice.h"

namespace {
const QString kStop = QStringLiteral("com.kvel.zunaro.service.STOP");
const QString kStart = QStringLiteral("com.kvel.zunaro.service.START");
const QString kStarted = QStringLiteral("bb.action.system.STARTED");

bb::system::InvokeRequest request(const QString &action)
{
    bb::system::InvokeRequest r;
    r.setAction(action);
    return r;
}

// A child of this process that the service can stop as if it were its
// backend.
pid_t spawnSleeper()
{
    pid_t pid = -1;
    char arg0[] = "/bin/sleep";
    char arg1[] = "30";
    char *argv[] = {arg0, arg1, nullptr};
    if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

bool processGone(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Ends the child whatever the test's outcome.
struct Reaper {
    pid_t pid;
    ~Reaper()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void actions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("tickRunning");
        QTest::addColumn<bool>("summaryRemoved");
        QTest::addColumn<bool>("stateCleared");
        QTest::newRow("stop") << kStop << false << false << true << true;
        QTest::newRow("start") << kStart << true << true << true << true;
        QTest::newRow("system started") << kStarted << true << true << false << false;
        QTest::newRow("stop in other letter case") << "com.kvel.zunaro.service.stop" << true << true << false << false;
        QTest::newRow("unknown") << "bb.action.OPEN" << true << true << false << false;
        QTest::newRow("empty") << QString() << true << true << false << false;
    }

    void actions()
    {
        QFETCH(QString, action);
        QFETCH(bool, active);
        QFETCH(bool, tickRunning);
        QFETCH(bool, summaryRemoved);
        QFETCH(bool, stateCleared);
        TestDevice device;
        ZunaroHeadlessService service(nullptr);

        bb::platform::Notification summary(QStringLiteral("kvel_hub_summary"));
        QCOMPARE(summary.notify(), 0);
        service.backendWanted = true;
        service.pendingNotifyCount = 3;
        service.lastNotifyPostMs = 1234;
        service.hubSummaryMessageCount = 2;
        service.hubSummaryChatIds.insert(7);
        service.hubSummaryLines.append({7, 1700000000, QStringLiteral("Team: Bob: hi")});
        service.pendingBackendLines << QStringLiteral("queued");

        LogCapture log;
        service.onInvoked(request(action));

        QCOMPARE(log.lines().value(0), "service: invoked action=" + action.toUtf8());
        QCOMPARE(service.serviceActive, active);
        QCOMPARE(service.tickTimer->isActive(), tickRunning);
        QVERIFY(!service.eventsTailTimer->isActive());
        QCOMPARE(device.exists("platform/hub/kvel_hub_summary.json"), !summaryRemoved);
        QCOMPARE(service.backendWanted, !stateCleared);
        QCOMPARE(service.pendingNotifyCount, stateCleared ? quint64(0) : quint64(3));
        QCOMPARE(service.hubSummaryMessageCount, stateCleared ? quint64(0) : quint64(2));
        QCOMPARE(service.hubSummaryLines.isEmpty(), stateCleared);
        QCOMPARE(service.hubSummaryChatIds.isEmpty(), stateCleared);
        // Only the stop forgets when the last summary went out.
        QCOMPARE(service.lastNotifyPostMs, action == kStop ? qint64(0) : qint64(1234));
        // Queued commands wait for the next backend whatever happens.
        QCOMPARE(service.pendingBackendLines, QStringList {QStringLiteral("queued")});
        // Nothing ran, so nothing was stopped.
        QVERIFY(log.matching("service: backend stopping").isEmpty());
    }

    void startTwiceStopsBackendAndKeepsTickPhase()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        const int tickId = service.tickTimer->timerId();

        const pid_t first = spawnSleeper();
        Reaper firstReaper {first};
        QVERIFY(first > 0);
        service.backendPid = first;
        service.onInvoked(request(kStart));
        QCOMPARE(service.backendPid, -1);
        QVERIFY(processGone(first));

        const pid_t second = spawnSleeper();
        Reaper secondReaper {second};
        QVERIFY(second > 0);
        service.backendPid = second;
        service.onInvoked(request(kStart));
        QCOMPARE(service.backendPid, -1);
        QVERIFY(processGone(second));

        QCOMPARE(service.tickTimer->timerId(), tickId);
    }

    void stopThenStartRestartsTick()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        service.onInvoked(request(kStop));
        QVERIFY(!service.tickTimer->isActive());
        service.onInvoked(request(kStarted));
        QVERIFY(service.serviceActive);
        QVERIFY(service.tickTimer->isActive());
        const int tickId = service.tickTimer->timerId();
        service.onInvoked(request(kStart));
        QCOMPARE(service.tickTimer->timerId(), tickId);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_invocations.moc"
