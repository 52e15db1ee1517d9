// A call reported by the simulated backend rings through the real service,
// and the user's press on the dialog reaches the UI.

#include <QtTest>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "testdevice.h"

namespace {
int ctl(const TestDevice &device, const QStringList &args)
{
    QProcess p;
    p.start(builtTool(QStringLiteral("zunaroctl")), QStringList {QStringLiteral("--root"), device.root()} + args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString callEvent(int callId, const char *state)
{
    return QStringLiteral(R"(sim emit {"type":"call_update","call_id":%1,"chat_id":12,"user_id":3,"state":"%2","user_name":"Alice"})")
        .arg(callId)
        .arg(QLatin1String(state));
}

// Values of `field` in a JSON-lines file of the device, in order.
QStringList column(const TestDevice &device, const QString &file, const char *field)
{
    QStringList out;
    for (const QByteArray &line : device.lines(file))
        out << QJsonDocument::fromJson(line).object().value(QLatin1String(field)).toVariant().toString();
    return out;
}

// The service as a child process, ended whatever the test's outcome.
struct Service {
    QProcess process;
    ~Service()
    {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
        }
    }
};
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void ringsAnswersAndEnds()
    {
        TestDevice device;
        QVERIFY(device.installTool("zunaro-service", "zunaro-service"));
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        Service service;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("ZUNARO_DEVICE_ROOT");
        service.process.setProcessEnvironment(env);
        service.process.start(device.appDir() + "/zunaro-service");
        QTRY_VERIFY_WITH_TIMEOUT(device.exists("platform/control.sock"), 10000);

        // The backend runs once the UI has asked for it.
        QCOMPARE(ctl(device, {"send", "ping"}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("ping"), 10000);

        const QString uri = "zunaro://call?chat_id=12&call_id=7&user_id=3";
        QCOMPARE(ctl(device, {"send", callEvent(7, "callStatePending")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/backend_events.jsonl").contains("callStatePending"), 5000);
        QElapsedTimer sinceAppended;
        sinceAppended.start();
        QTRY_VERIFY_WITH_TIMEOUT(device.lines("platform/invocations.jsonl").size() == 1, 2500);
        qInfo("rang after %lld ms", sinceAppended.elapsed());
        QCOMPARE(column(device, "platform/invocations.jsonl", "uri"), QStringList {uri});
        QCOMPARE(column(device, "platform/hub/journal.jsonl", "op"),
                 (QStringList {"delete", "post", "dialog_show"}));
        QVERIFY(device.read("platform/hub/kvel_hub_call.json").contains(uri.toUtf8()));
        QVERIFY(device.read("platform/dialog.json").contains("Incoming call from Alice"));

        QCOMPARE(ctl(device, {"press", "Answer"}), 0);
        QCOMPARE(column(device, "platform/invocations.jsonl", "uri"), (QStringList {uri, uri + "&auto=answer"}));
        QCOMPARE(column(device, "platform/invocations.jsonl", "by"), (QStringList {"service", "user"}));
        QVERIFY(!device.exists("platform/dialog.json"));

        QCOMPARE(ctl(device, {"send", callEvent(7, "callStateDiscarded")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.exists("platform/hub/kvel_hub_call.json"), 5000);

        // A call that ends while it still rings takes its dialog with it.
        QCOMPARE(ctl(device, {"send", callEvent(8, "callStatePending")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.exists("platform/dialog.json") && device.exists("platform/hub/kvel_hub_call.json"),
                                 5000);
        QCOMPARE(ctl(device, {"send", callEvent(8, "callStateDiscarded")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.exists("platform/dialog.json") && !device.exists("platform/hub/kvel_hub_call.json"),
                                 5000);
        QCOMPARE(device.lines("platform/invocations.jsonl").size(), 3);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_calls_ring.moc"
