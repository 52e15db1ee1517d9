// Start, stop and system-started invocations in backend mode.

#include <QtTest>

#include <spawn.h>
#include <sys/wait.h>

#include "bb/platform/Notification.h"
#include "service_main.h"
#include "serviceprocess.h"
#include "testdevice.h"

namespace {
const QString kStop = QStringLiteral("com.kvel.zunaro.service.STOP");
const QString kStart = QStringLiteral("com.kvel.zunaro.service.START");

bb::system::InvokeRequest request(const QString &action)
{
    bb::system::InvokeRequest r;
    r.setAction(action);
    return r;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void actions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("stateCleared"); // also takes the summary off the Hub
        QTest::newRow("stop") << kStop << false << true;
        QTest::newRow("start") << kStart << true << true;
        QTest::newRow("system started") << "bb.action.system.STARTED" << true << false;
        QTest::newRow("stop in other letter case") << "com.kvel.zunaro.service.stop" << true << false;
        QTest::newRow("unknown") << "bb.action.OPEN" << true << false;
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
        service.onInvoked(request(action));
        // Nothing ran, so nothing was stopped: the one line is the invocation's.
        QCOMPARE(log.lines(), QList<QByteArray> {"service: invoked action=" + action.toUtf8()});
        QCOMPARE(service.serviceActive, active);
        QCOMPARE(service.tickTimer->isActive(), active);
        QVERIFY(!service.eventsTailTimer->isActive());
        QCOMPARE(device.exists("platform/hub/kvel_hub_summary.json"), !stateCleared);
        QCOMPARE(service.backendWanted, !stateCleared);
        QCOMPARE(service.pendingNotifyCount, stateCleared ? 0u : 3u);
        QCOMPARE(service.hubSummaryMessageCount, stateCleared ? 0u : 2u);
        QCOMPARE(service.hubSummaryLines.isEmpty(), stateCleared);
        QCOMPARE(service.hubSummaryChatIds.isEmpty(), stateCleared);
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
            service.onInvoked(request(kStart));
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
        service.onInvoked(request(kStop));
        QVERIFY(!service.tickTimer->isActive());
        service.onInvoked(request(QStringLiteral("bb.action.system.STARTED")));
        QVERIFY(service.serviceActive && service.tickTimer->isActive());
        const int tickId = service.tickTimer->timerId();
        service.onInvoked(request(kStart));
        QCOMPARE(service.tickTimer->timerId(), tickId);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_invocations.moc"
