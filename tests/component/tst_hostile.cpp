// Hostile neighbours: whatever other programs put in the service's folders,
// the service keeps answering and still ends on SIGTERM.

#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "bb/Application.h"
#include "serviceprocess.h"
#include "testdevice.h"

namespace {
const char *const kStuckService = "--stuck-service";

// A service whose thread never comes back to its event loop: SIGTERM must
// end it all the same.
int stuckService(int argc, char **argv)
{
    bb::Application app(argc, argv);
    fputs("stuck\n", stdout);
    fflush(stdout);
    for (;;)
        pause();
}
} // namespace

class HostileTest : public QObject
{
    Q_OBJECT

private slots:
    // Each row puts a FIFO where the service or the platform reads or writes
    // a file, then does what makes them touch it. Opening a FIFO the usual
    // way blocks until a writer (or reader) comes; here none ever does, so a
    // blocking open would hold the service for good. Every step is bounded,
    // so a hang fails the row instead of stalling the suite.
    void fifoInPlace_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("action"); // start, launch (the backend), call (an incoming call)
        const auto row = [](const char *path, const char *action) { QTest::newRow(path) << path << action; };
        row("data/service_notif_defaults_applied.txt", "start");
        row("data/ui_alive.txt", "start");
        row("data/tgpush_proxy.env", "start");
        row("data/tgpush_since.txt", "start");
        row("data/backend_events.jsonl", "start");
        row("platform/notification_settings.json", "start");
        row("accounts/1000/shared/misc/nimbrel/tg_api.env", "launch");
        row("data/td_backend_service.out", "launch");
        row("data/td_backend_service.err", "launch");
        row("data/ui_running.txt", "call");
        row("data/hub_open.env", "call");
        row("platform/lock_state", "call");
        row("platform/invocations.jsonl", "call");
        row("platform/dialog.json", "call");
        row("platform/hub/journal.jsonl", "call");
        row("platform/hub/kvel_hub_call.json", "call");
    }
    void fifoInPlace()
    {
        QFETCH(QString, path);
        QFETCH(QString, action);
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        QVERIFY(QDir().mkpath(QFileInfo(device.path(path)).absolutePath()));
        QCOMPARE(mkfifo(QFile::encodeName(device.path(path)).constData(), 0600), 0);
        ServiceProcess service(device);
        QVERIFY(service.start());
        const auto logged = [&service](const QByteArray &prefix) {
            const QList<QByteArray> lines = service.lines();
            return std::any_of(lines.begin(), lines.end(), [&](const QByteArray &l) { return l.startsWith(prefix); });
        };
        if (action != "start") {
            QCOMPARE(zunaroctl(device, {"send", "ping"}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(logged("service: backend starting"), 10000);
        }
        if (action == "call") {
            QCOMPARE(zunaroctl(device, {"send", R"(sim emit {"type":"call_update","call_id":7,"chat_id":12,)"
                                                R"("user_id":3,"state":"callStatePending","user_name":"Al"})"})
                         .exitCode,
                     0);
            QTRY_VERIFY_WITH_TIMEOUT(logged("service: incoming_call dialog show"), 10000);
        }
        // Still serving its event loop, and SIGTERM ends it.
        QCOMPARE(zunaroctl(device, {"online", "1"}).exitCode, 0);
        service.process().terminate();
        QVERIFY(service.process().waitForFinished(5000));
    }

    void sigtermEndsAStuckService()
    {
        QProcess stuck;
        stuck.start(QCoreApplication::applicationFilePath(), {kStuckService});
        QVERIFY(stuck.waitForReadyRead(10000));
        stuck.terminate();
        // (QProcess kills it at the end of the test if it is still there.)
        QVERIFY(stuck.waitForFinished(10000));
        QCOMPARE(stuck.exitStatus(), QProcess::CrashExit);
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], kStuckService) == 0)
        return stuckService(argc, argv);
    QCoreApplication app(argc, argv);
    HostileTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostile.moc"
