// The real programs together: the service binary in a device folder with the
// backend simulator, driven with zunaroctl as the UI and the user would.

#include <QtTest>

#include <QElapsedTimer>

#include "serviceprocess.h"
#include "testdevice.h"

namespace {
// A backend simulator order that makes it write `event` to its events file.
QString simEmit(const QByteArray &event)
{
    return QStringLiteral("sim emit ") + QString::fromUtf8(event);
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
