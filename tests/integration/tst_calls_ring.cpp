// A call reported by the simulated backend rings through the real service,
// and the user's press on the dialog reaches the UI.

#include <QtTest>

#include <QElapsedTimer>

#include "serviceprocess.h"
#include "testdevice.h"

namespace {
QString callEvent(int callId, const char *state)
{
    return QStringLiteral(R"(sim emit {"type":"call_update","call_id":%1,"chat_id":12,"user_id":3,"state":"%2","user_name":"Alice"})")
        .arg(callId)
        .arg(QLatin1String(state));
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
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
        QCOMPARE(ctl({"send", callEvent(7, "callStatePending")}), 0);
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

        QCOMPARE(ctl({"send", callEvent(7, "callStateDiscarded")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.exists("platform/hub/kvel_hub_call.json"), 5000);

        // A call that ends while it still rings takes its dialog with it.
        const auto ringing = [&] {
            return device.exists("platform/dialog.json") && device.exists("platform/hub/kvel_hub_call.json");
        };
        QCOMPARE(ctl({"send", callEvent(8, "callStatePending")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(ringing(), 5000);
        QCOMPARE(ctl({"send", callEvent(8, "callStateDiscarded")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.exists("platform/dialog.json") && !device.exists("platform/hub/kvel_hub_call.json"),
                                 5000);
        QCOMPARE(device.lines(invocations).size(), 3);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_calls_ring.moc"
