// Messages reported by the simulated backend reach the Hub of the real
// service as one coalesced summary.

#include <QtTest>

#include <QElapsedTimer>

#include "serviceprocess.h"
#include "testdevice.h"

namespace {
QString emitMessage(const char *chatId, const char *title, const char *sender, const char *text, int date)
{
    return QStringLiteral(R"(sim emit {"type":"hub_notify_message","chat_id":%1,"chat_title":"%2","sender_name":"%3","text":"%4","date":%5})")
        .arg(QLatin1String(chatId), QLatin1String(title), QLatin1String(sender), QLatin1String(text))
        .arg(date);
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
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
        QCOMPARE(zunaroctl(device, {"send", emitMessage("9007199254740993", "Alice", "Alice", "Hi", 1700000100),
                                    emitMessage("42", "Team", "Bob", "Lunch?", 1700000200),
                                    emitMessage("9007199254740993", "Alice", "", "See you\\tthere", 1700000300)})
                     .exitCode,
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(device.lines("data/backend_events.jsonl").size(), 4, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(summaries(), 1, 15000);
        // Coalesced: the window opens with the first message.
        QVERIFY2(sinceFirst.elapsed() >= 4000, qPrintable(QString::number(sinceFirst.elapsed())));

        const QJsonObject entry = device.json("platform/hub/kvel_hub_summary.json");
        QCOMPARE(entry.value("body").toString(),
                 QStringLiteral("3 new messages from 2 chats\nAlice: See you there\nTeam: Bob: Lunch?\nAlice: Hi"));
        QCOMPARE(entry.value("invoke").toObject().value("uri").toString(), QStringLiteral("zunaro://hub?screen=chats"));
        QCOMPARE(qint64(entry.value("timestamp_ms").toDouble()), 1700000300000LL);

        const QList<QByteArray> request = device.lines("data/hub_open.env");
        QCOMPARE(request.size(), 3);
        QCOMPARE(request.value(0), QByteArray("HUB_OPEN=chats"));
        QCOMPARE(request.value(2), QByteArray("HUB_REASON=summary"));
        QCOMPARE(summaries(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_e2e.moc"
