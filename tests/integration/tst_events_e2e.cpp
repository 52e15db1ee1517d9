// Messages reported by the simulated backend reach the Hub of the real
// service as one coalesced summary.

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
    p.start(builtTool(QStringLiteral("zunaroctl")), QStringList { QStringLiteral("--root"), device.root() } + args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString emitMessage(const char *chatId, const char *title, const char *sender, const char *text, int date)
{
    return QStringLiteral(R"(sim emit {"type":"hub_notify_message","chat_id":%1,"chat_title":"%2","sender_name":"%3","text":"%4","date":%5})")
        .arg(QLatin1String(chatId), QLatin1String(title), QLatin1String(sender), QLatin1String(text))
        .arg(date);
}

QList<QJsonObject> summaryPosts(const TestDevice &device)
{
    QList<QJsonObject> out;
    for (const QByteArray &line : device.lines(QStringLiteral("platform/hub/journal.jsonl"))) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value(QStringLiteral("op")).toString() == QLatin1String("post")
            && o.value(QStringLiteral("key")).toString() == QLatin1String("kvel_hub_summary"))
            out.append(o);
    }
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
    void threeMessagesOneSummary()
    {
        TestDevice device;
        QVERIFY(device.installTool("zunaro-service", "zunaro-service"));
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        // History from before start-up is never announced.
        QVERIFY(device.write("data/backend_events.jsonl",
                             R"({"type":"hub_notify_message","chat_id":5,"chat_title":"Old","text":"stale"})"
                             "\n"));
        Service service;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("ZUNARO_DEVICE_ROOT");
        service.process.setProcessEnvironment(env);
        service.process.start(device.appDir() + "/zunaro-service");
        QTRY_VERIFY_WITH_TIMEOUT(device.exists("platform/control.sock"), 10000);

        QCOMPARE(ctl(device, { "send", "ping" }), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("ping"), 10000);

        QElapsedTimer sinceFirst;
        sinceFirst.start();
        QCOMPARE(ctl(device, { "send", emitMessage("9007199254740993", "Alice", "Alice", "Hi", 1700000100),
                               emitMessage("42", "Team", "Bob", "Lunch?", 1700000200),
                               emitMessage("9007199254740993", "Alice", "", "See you\\tthere", 1700000300) }),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(device.lines("data/backend_events.jsonl").size(), 4, 5000);

        QTRY_COMPARE_WITH_TIMEOUT(summaryPosts(device).size(), 1, 15000);
        // Coalesced: the window opens with the first message.
        QVERIFY2(sinceFirst.elapsed() >= 4000, qPrintable(QString::number(sinceFirst.elapsed())));

        const QJsonObject entry =
            QJsonDocument::fromJson(device.read("platform/hub/kvel_hub_summary.json")).object();
        QCOMPARE(entry.value("body").toString(),
                 QStringLiteral("3 new messages from 2 chats\nAlice: See you there\nTeam: Bob: Lunch?\nAlice: Hi"));
        QCOMPARE(entry.value("invoke").toObject().value("uri").toString(), QStringLiteral("zunaro://hub?screen=chats"));
        QCOMPARE(qint64(entry.value("timestamp_ms").toDouble()), 1700000300000LL);

        const QList<QByteArray> request = device.lines("data/hub_open.env");
        QCOMPARE(request.value(0), QByteArray("HUB_OPEN=chats"));
        QCOMPARE(request.value(2), QByteArray("HUB_REASON=summary"));
        QCOMPARE(request.size(), 3);
        QCOMPARE(summaryPosts(device).size(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_e2e.moc"
