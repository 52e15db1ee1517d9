// Hostile neighbours: whatever others put in the service's folders, it keeps answering and ends on SIGTERM.

#include <QtTest>

#include <unistd.h>

#include "bb/Application.h"
#include "serviceprocess.h"
#include "testdevice.h"

const char *const kStuckService = "--stuck-service";

class HostileTest : public QObject
{
    Q_OBJECT

private slots:
    // A FIFO nobody opens where a file is read or written (a blocking open would hold the service for good), then
    // what makes the service touch it; every wait is bounded, so a hang fails the row.
    void fifoInPlace_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("action"); // start, launch (the backend), call (an incoming call)
        const QList<QPair<QString, QStringList>> places {
            {"start", {"data/service_notif_defaults_applied.txt", "data/ui_alive.txt", "data/tgpush_proxy.env",
                       "data/tgpush_since.txt", "data/backend_events.jsonl", "platform/notification_settings.json"}},
            {"launch", {"accounts/1000/shared/misc/nimbrel/tg_api.env", "data/td_backend_service.out",
                        "data/td_backend_service.err"}},
            {"call", {"data/ui_running.txt", "data/hub_open.env", "platform/lock_state", "platform/invocations.jsonl",
                      "platform/dialog.json", "platform/hub/journal.jsonl", "platform/hub/kvel_hub_call.json"}}};
        for (const auto &[action, paths] : places) {
            for (const QString &path : paths)
                QTest::newRow(qPrintable(path)) << path << action;
        }
    }
    void fifoInPlace()
    {
        QFETCH(QString, path);
        QFETCH(QString, action);
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        QVERIFY(placeAt(device.path(path), "<fifo>"));
        ServiceProcess service(device);
        QVERIFY(service.start());
        const auto log = [&service] { return service.lines().join('\n'); };
        if (action != "start") {
            QCOMPARE(zunaroctl(device, {"send", "ping"}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(log().contains("service: backend starting"), 10000);
        }
        if (action == "call") {
            QCOMPARE(zunaroctl(device, {"send", "sim emit " + callEvent(7, "callStatePending")}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(log().contains("service: incoming_call dialog show"), 10000);
        }
        // Still serving its event loop, and SIGTERM ends it.
        QCOMPARE(zunaroctl(device, {"online", "1"}).exitCode, 0);
        service.process().terminate();
        QVERIFY(service.process().waitForFinished(5000));
    }

    void sigtermEndsAStuckService()
    {
        TestDevice device; // where the program that is not in a device's app/native folder may run
        QProcess stuck;
        stuck.setEnvironment(QProcess::systemEnvironment() << "ZUNARO_DEVICE_ROOT=" + device.root());
        stuck.start(QCoreApplication::applicationFilePath(), {kStuckService});
        QVERIFY(stuck.waitForReadyRead(10000));
        stuck.terminate();
        QVERIFY(stuck.waitForFinished(10000));
        QCOMPARE(stuck.exitStatus(), QProcess::CrashExit);
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], kStuckService) == 0) { // a service whose thread never comes back to its loop
        int programOnly = 1; // the service takes no --stuck-service option
        bb::Application app(programOnly, argv);
        fputs("stuck\n", stdout);
        fflush(stdout);
        for (;;)
            pause();
    }
    QCoreApplication app(argc, argv);
    HostileTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostile.moc"
