// An ended backend: reaping it, decoding how it ended, and the back-off
// before the tick launches it again.

#include "tst_backend_support.h"

#include <fcntl.h>
#include <unistd.h>

#include "zunaro/device.h"

namespace {
struct Run {
    qint64 runMs;
    int exitCode;
};
} // namespace
Q_DECLARE_METATYPE(QList<Run>)

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void backoff_data()
    {
        QTest::addColumn<QList<Run>>("runs");
        QTest::addColumn<QList<int>>("delays");
        QTest::addColumn<QList<int>>("attempts");
        QTest::newRow("code 0 three times")
            << QList<Run> {{10000, 0}, {10000, 0}, {10000, 0}} << QList<int> {1000, 2000, 4000} << QList<int> {1, 2, 3};
        QTest::newRow("a long run resets")
            << QList<Run> {{1000, 1}, {1000, 1}, {31000, 1}} << QList<int> {1000, 2000, 1000} << QList<int> {1, 2, 1};
        QTest::newRow("exactly 30000 does not reset")
            << QList<Run> {{1000, 1}, {30000, 1}} << QList<int> {1000, 2000} << QList<int> {1, 2};
        QTest::newRow("code 42 up to its cap")
            << QList<Run> {{100, 42}, {100, 42}, {100, 42}, {100, 42}, {100, 42}, {100, 42}, {100, 42}}
            << QList<int> {30000, 60000, 120000, 240000, 480000, 600000, 600000} << QList<int> {1, 2, 3, 4, 5, 6, 7};
        QTest::newRow("code 9") << QList<Run> {{100, 9}, {100, 9}} << QList<int> {5000, 10000} << QList<int> {1, 2};
    }
    void backoff()
    {
        QFETCH(QList<Run>, runs);
        QFETCH(QList<int>, delays);
        QFETCH(QList<int>, attempts);
        TestDevice device;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        platform::setClockMs(2000000000);
        LogCapture log;
        for (int i = 0; i < runs.size(); ++i) {
            service->backendStartedMs = platform::nowMs();
            platform::advanceClockMs(runs.at(i).runMs);
            log.clear();
            service->onBackendFinished(runs.at(i).exitCode, QProcess::NormalExit);
            QCOMPARE(service->backendNextStartMs, platform::nowMs() + delays.at(i));
            QCOMPARE(service->backendRestartAttempts, attempts.at(i));
            QCOMPARE(service->backendStartedMs, qint64(0));
            const QList<QByteArray> expected {
                QString::asprintf("service: backend finished exitCode=%d status=0", runs.at(i).exitCode).toUtf8(),
                QString::asprintf("service: backend restart in %d ms (attempt=%d uptime_ms=%lld)", delays.at(i),
                                  attempts.at(i), runs.at(i).runMs).toUtf8()};
            QCOMPARE(log.lines(), expected);
        }

        // A stopped service schedules nothing.
        service->serviceActive = false;
        const qint64 next = service->backendNextStartMs;
        service->onBackendFinished(1, QProcess::NormalExit);
        QCOMPARE(service->backendNextStartMs, next);
        QCOMPARE(service->backendRestartAttempts, attempts.last());
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
        QTest::newRow("code 9") << "sim exit 9" << 9 << 0 << 5000;
        QTest::newRow("code 0") << "sim exit 0" << 0 << 0 << 1000;
    }
    void reapAndRelaunch()
    {
        QFETCH(QString, ending);
        QFETCH(int, exitCode);
        QFETCH(int, exitStatus);
        QFETCH(int, delay);
        TestDevice device;
        device.installTool(QStringLiteral("td_backend_sim"), QStringLiteral("td_backend"));
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        BackendReaper reaper {&service->backendPid};
        service->tickTimer->stop();
        service->backendWanted = true;
        platform::setClockMs(2000000000);
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
        const QList<QByteArray> expected {
            QString::asprintf("service: backend waitpid pid=%d exitCode=%d status=%d", pid, exitCode, exitStatus).toUtf8(),
            QString::asprintf("service: backend finished exitCode=%d status=%d", exitCode, exitStatus).toUtf8(),
            QString::asprintf("service: backend restart in %d ms (attempt=1 uptime_ms=0)", delay).toUtf8()};
        QCOMPARE(log.lines(), expected);

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
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        int fds[2];
        QCOMPARE(pipe(fds), 0);
        close(fds[0]);
        service->backendPid = getpid(); // never a child of itself
        service->backendStdinFd = fds[1];
        LogCapture log;
        service->reapBackend();
        QCOMPARE(log.lines(), QList<QByteArray> {QString::asprintf("service: waitpid(%d) failed errno=10 (No child processes)", int(getpid())).toUtf8()});
        QCOMPARE(service->backendPid, -1);
        QCOMPARE(service->backendStdinFd, -1);
        QVERIFY(fcntl(fds[1], F_GETFD) < 0);
        QCOMPARE(service->backendNextStartMs, qint64(0));
        QCOMPARE(service->backendRestartAttempts, 0);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_restart.moc"
