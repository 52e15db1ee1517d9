// An ended backend: reaping it, decoding how it ended, and the back-off
// before the tick launches it again.

#include "tst_backend_support.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
struct Run {
    qint64 runMs;
    int exitCode;
    int delayMs; // the back-off that follows
    int attempts;
};

QByteArray finishedLines(int exitCode, int exitStatus, int delayMs, int attempts, qint64 uptimeMs)
{
    return QString::asprintf("service: backend finished exitCode=%d status=%d\n"
                             "service: backend restart in %d ms (attempt=%d uptime_ms=%lld)",
                             exitCode, exitStatus, delayMs, attempts, uptimeMs).toUtf8();
}
} // namespace
Q_DECLARE_METATYPE(QList<Run>)

class ServiceTest : public QObject
{
    Q_OBJECT
    BACKEND_TEST_HELPERS

private slots:
    void backoff_data()
    {
        QTest::addColumn<QList<Run>>("runs");
        QTest::newRow("code 0 three times") << QList<Run> {{10000, 0, 1000, 1}, {10000, 0, 2000, 2}, {10000, 0, 4000, 3}};
        QTest::newRow("a long run resets") << QList<Run> {{1000, 1, 1000, 1}, {1000, 1, 2000, 2}, {31000, 1, 1000, 1}};
        QTest::newRow("exactly 30000 does not reset") << QList<Run> {{1000, 1, 1000, 1}, {30000, 1, 2000, 2}};
        QList<Run> code42;
        for (int delay : {30000, 60000, 120000, 240000, 480000, 600000, 600000})
            code42.append({100, 42, delay, int(code42.size()) + 1});
        QTest::newRow("code 42 up to its cap") << code42;
        QTest::newRow("code 9") << QList<Run> {{100, 9, 5000, 1}, {100, 9, 10000, 2}};
    }
    void backoff()
    {
        QFETCH(QList<Run>, runs);
        TestDevice device;
        auto service = backendService(device, false);
        LogCapture log;
        for (const Run &run : runs) {
            service->backendStartedMs = platform::nowMs();
            platform::advanceClockMs(run.runMs);
            log.clear();
            service->onBackendFinished(run.exitCode, QProcess::NormalExit);
            QCOMPARE(service->backendNextStartMs, platform::nowMs() + run.delayMs);
            QCOMPARE(service->backendRestartAttempts, run.attempts);
            QCOMPARE(service->backendStartedMs, qint64(0));
            QCOMPARE(log.lines(), finishedLines(run.exitCode, 0, run.delayMs, run.attempts, run.runMs).split('\n'));
        }
        // A stopped service schedules nothing.
        service->serviceActive = false;
        const qint64 next = service->backendNextStartMs;
        service->onBackendFinished(1, QProcess::NormalExit);
        QCOMPARE(service->backendNextStartMs, next);
        QCOMPARE(service->backendRestartAttempts, runs.last().attempts);
    }

    // A real backend that ends is reaped by the tick and comes back once its
    // back-off has passed.
    void reapAndRelaunch_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<int>("delay");
        QTest::newRow("SIGKILL") << "kill" << 137 << 1 << 1000;
        QTest::newRow("code 42") << "sim exit 42" << 42 << 0 << 30000;
    }
    void reapAndRelaunch()
    {
        QFETCH(QString, ending);
        QFETCH(int, exitCode);
        QFETCH(int, exitStatus);
        QFETCH(int, delay);
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        service->backendWanted = true;
        service->onTick();
        const int pid = service->backendPid;
        QVERIFY(pid > 0);
        if (ending == "kill")
            kill(pid, SIGKILL);
        else
            service->sendLine(ending);
        LogCapture log;
        QTRY_VERIFY_WITH_TIMEOUT((service->reapBackend(), service->backendPid < 0), 5000);
        QCOMPARE(service->backendStdinFd, -1);
        QVERIFY(service->backendInputNotifier == nullptr);
        QCOMPARE(log.lines(),
                 (QString::asprintf("service: backend waitpid pid=%d exitCode=%d status=%d\n", pid, exitCode, exitStatus)
                      .toUtf8()
                  + finishedLines(exitCode, exitStatus, delay, 1, 0))
                     .split('\n'));

        platform::advanceClockMs(delay - 1);
        service->onTick();
        QCOMPARE(service->backendPid, -1);
        platform::advanceClockMs(1);
        service->onTick();
        QVERIFY(service->backendPid > 0);
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(device), QList<QByteArray> {"ping"}, 5000);
    }

    // A process id that waitpid refuses is given up at once: no back-off.
    void waitpidFailure()
    {
        TestDevice device;
        auto service = backendService(device, false);
        int fds[2];
        QCOMPARE(pipe(fds), 0);
        close(fds[0]);
        service->backendPid = getpid(); // never a child of itself
        service->backendStdinFd = fds[1];
        LogCapture log;
        service->reapBackend();
        QCOMPARE(log.lines(), QList<QByteArray> {QString::asprintf("service: waitpid(%d) failed errno=10 (No child processes)",
                                                                   int(getpid())).toUtf8()});
        QCOMPARE(service->backendPid, -1);
        QCOMPARE(service->backendStdinFd, -1);
        QVERIFY(fcntl(fds[1], F_GETFD) < 0);
        QCOMPARE(service->backendNextStartMs, qint64(0));
        QCOMPARE(service->backendRestartAttempts, 0);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_restart.moc"
