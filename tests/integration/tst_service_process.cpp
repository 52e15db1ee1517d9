// The real programs together: the service binary in a device folder with the
// backend simulator, driven with zunaroctl as the UI and the user would.

#include <QtTest>

#include <QElapsedTimer>

#include <csignal>

#include "serviceprocess.h"
#include "testdevice.h"

namespace {
// A backend simulator order that makes it write `event` to its events file.
QString simEmit(const QByteArray &event)
{
    return QStringLiteral("sim emit ") + QString::fromUtf8(event);
}

// The processes running the device's backend, by id (a zombie runs nothing).
QList<int> backendPids(const TestDevice &device)
{
    QList<int> pids;
    const QString exe = device.appDir() + QStringLiteral("/td_backend");
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry.toInt() > 0 && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)) == exe)
            pids << entry.toInt();
    }
    return pids;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void startsListensAndAnswersInvocations()
    {
        TestDevice device;
        ServiceProcess service(device);
        QVERIFY(service.start());
        // The log, the defaults and the port's binding are checked in-process;
        // here the real program answers the user's invocations.
        for (const char *action : {"com.kvel.zunaro.service.STOP", "com.kvel.zunaro.service.START"}) {
            QCOMPARE(zunaroctl(device, {QStringLiteral("invoke"), QString::fromLatin1(action)}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(service.hasLine(QByteArray("service: invoked action=") + action), 10000);
        }

        // SIGTERM ends the event loop: the process exits normally and takes
        // its control socket with it.
        service.process().terminate();
        QVERIFY(service.process().waitForFinished(10000));
        QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.process().exitCode(), 0);
        QVERIFY(!device.exists("platform/control.sock"));
    }

    // After a stop, the UI's command brings the service back: its lines reach the backend in order, and the
    // backend's end is noticed.
    void commandAfterStop()
    {
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        ServiceProcess service(device);
        QVERIFY(service.start());
        QCOMPARE(zunaroctl(device, {"invoke", "com.kvel.zunaro.service.STOP"}).exitCode, 0);
        QCOMPARE(zunaroctl(device, {"send", "r1", "r2", "sim exit 3"}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(device.lines("data/td_backend_service.out"),
                                  (QList<QByteArray> {"ping", "r1", "r2", "sim exit 3"}), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(service.hasLine("service: backend finished exitCode=3 status=0"), 5000);
    }

    void noBackendLeftBehind_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("service terminated") << false;
        QTest::newRow("service killed, a second one started") << true;
    }
    // A backend that reads no more and ignores SIGTERM neither outlives its service's SIGTERM nor runs beside the
    // next service's backend after its service was killed.
    void noBackendLeftBehind()
    {
        QFETCH(bool, killed);
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        const auto endLeftovers = qScopeGuard([&] {
            for (const int pid : backendPids(device))
                kill(pid, SIGKILL);
        });
        QList<int> first;
        {
            ServiceProcess service(device);
            QVERIFY(service.start());
            QCOMPARE(zunaroctl(device, {"send", "sim ignore-term", "sim stop-reading"}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("sim stop-reading"), 5000);
            first = backendPids(device);
            QCOMPARE(first.size(), 1);
            killed ? service.process().kill() : service.process().terminate();
            QVERIFY(service.process().waitForFinished(10000));
        }
        if (!killed) {
            QCOMPARE(backendPids(device), QList<int>());
            return;
        }
        ServiceProcess second(device);
        QVERIFY(second.start());
        QCOMPARE(zunaroctl(device, {"send", "hello"}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("hello"), 10000);
        const QList<int> now = backendPids(device);
        QVERIFY2(now.size() == 1 && now != first, qPrintable(QString::number(now.size())));
    }

    // A call reported by the simulated backend rings through the service, and
    // the user's press on the dialog reaches the UI.
    void ringsAnswersAndEnds()
    {
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        ServiceProcess service(device);
        QVERIFY(service.start());
        const auto ctl = [&](const QStringList &args) { return zunaroctl(device, args).exitCode; };
        // The backend runs once the UI has asked for it.
        QCOMPARE(ctl({"send", "ping"}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("ping"), 10000);

        const QString uri = "zunaro://call?chat_id=12&call_id=7&user_id=3";
        const QString invocations = "platform/invocations.jsonl";
        QCOMPARE(ctl({"send", simEmit(callEvent(7, "callStatePending"))}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/backend_events.jsonl").contains("callStatePending"), 5000);
        QElapsedTimer sinceAppended;
        sinceAppended.start();
        QTRY_VERIFY_WITH_TIMEOUT(device.lines(invocations).size() == 1, 2500);
        qInfo("rang after %lld ms", sinceAppended.elapsed());
        QCOMPARE(device.column(invocations, "uri"), QStringList {uri});
        QCOMPARE(device.column("platform/hub/journal.jsonl", "op"), (QStringList {"delete", "post", "dialog_show"}));
        QVERIFY(device.read("platform/hub/kvel_hub_call.json").contains(uri.toUtf8()));
        QVERIFY(device.read("platform/dialog.json").contains("Incoming call from Alice"));

        QCOMPARE(ctl({"press", "Answer"}), 0);
        QCOMPARE(device.column(invocations, "uri"), (QStringList {uri, uri + "&auto=answer"}));
        QCOMPARE(device.column(invocations, "by"), (QStringList {"service", "user"}));
        QVERIFY(!device.exists("platform/dialog.json"));

        QCOMPARE(ctl({"send", simEmit(callEvent(7, "callStateDiscarded"))}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.exists("platform/hub/kvel_hub_call.json"), 5000);

    }

    // Messages reported by the simulated backend reach the Hub as one
    // coalesced summary.
    void threeMessagesOneSummary()
    {
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        // History from before start-up is never announced.
        QVERIFY(device.write("data/backend_events.jsonl",
                             R"({"type":"hub_notify_message","chat_id":5,"chat_title":"Old","text":"stale"})"
                             "\n"));
        ServiceProcess service(device);
        QVERIFY(service.start());
        QCOMPARE(zunaroctl(device, {"send", "ping"}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("ping"), 10000);

        const auto summaries = [&] {
            int n = 0;
            for (const QJsonObject &o : device.jsonLines("platform/hub/journal.jsonl"))
                n += o.value("op") == "post" && o.value("key") == "kvel_hub_summary";
            return n;
        };
        QElapsedTimer sinceFirst;
        sinceFirst.start();
        QCOMPARE(zunaroctl(device, {"send", simEmit(messageEvent(9007199254740993LL, "Alice", "Hi", 1700000100, "Alice")),
                                    simEmit(messageEvent(42, "Team", "Lunch?", 1700000200, "Bob")),
                                    simEmit(messageEvent(9007199254740993LL, "Alice", "See you\\tthere", 1700000300))})
                     .exitCode,
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(device.lines("data/backend_events.jsonl").size(), 4, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(summaries(), 1, 15000);
        // Coalesced: the window opens with the first message.
        QVERIFY2(sinceFirst.elapsed() >= 4000, qPrintable(QString::number(sinceFirst.elapsed())));

        const QJsonObject entry = device.json("platform/hub/kvel_hub_summary.json");
        QCOMPARE(entry.value("body").toString(),
                 QStringLiteral("3 new messages from 2 chats\nAlice: See you there\nTeam: Bob: Lunch?\nAlice: Hi"));
        QCOMPARE(summaries(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service_process.moc"
