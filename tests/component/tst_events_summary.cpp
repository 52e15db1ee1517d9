// The Hub summary as the service composes and posts it, and the timing of
// the post on the movable clock.

#include <QtTest>

#include "events/summary_logic.h"
#include "servicerig.h"

namespace {
constexpr qint64 kT = kRigClockMs;
constexpr qint64 kPost = kT + 5000;
} // namespace

class EventsSummaryTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceRig> rig;
    ServiceProbe *svc = nullptr;

    QJsonObject hubEntry() const { return rig->device.json(QStringLiteral("platform/hub/kvel_hub_summary.json")); }
    QString body() const { return hubEntry().value(QStringLiteral("body")).toString(); }
    int posts() const { return rig->device.column("platform/hub/journal.jsonl", "op").count("post"); }

private slots:
    void init()
    {
        rig = std::make_unique<ServiceRig>();
        svc = &rig->probe;
    }
    void cleanup() { rig.reset(); }

    void composition_data()
    {
        QTest::addColumn<QList<QByteArray>>("events");
        QTest::addColumn<QString>("body");
        QTest::addColumn<qint64>("timestampMs");
        const auto row = [](const char *name, const QList<QByteArray> &events, const QString &body, qint64 at = kPost) {
            QTest::newRow(name) << events << body << at;
        };
        const QString one = "1 new message from 1 chat\n";
        row("one message", {messageEvent(1, "Alice", "Hi")}, one + "Alice: Hi");
        // A line: white space folded, fallbacks for blank parts, the sender only when not the title, cut at 178.
        row("line folded", {messageEvent(1, " Te\\tam ", "a\\n\\nb\\tc  d", 0, "Bo\\r\\nb")},
            one + "Te am: Bo b: a b c d");
        row("line fallbacks", {messageEvent(1, "  ", "\\n")}, one + "Chat: New message");
        row("line placeholders stay text", {messageEvent(1, "%2", "x", 0, "%1")}, one + "%2: %1: x");
        const QByteArray xs(300, 'x');
        row("line of 300 characters", {messageEvent(1, "T", xs)}, one + "T: " + xs.left(177) + QChar(0x2026));
        row("line cut before a pair", {messageEvent(1, "T", xs.left(176) + "\U0001F600yyyy")},
            one + "T: " + xs.left(176) + QChar(0x2026));
        row("newest first, newest date",
            {messageEvent(1, "Alice", "a", 1690000100), messageEvent(2, "Team", "b", 1690000500, "Bob"),
             messageEvent(1, "Alice", "c", 1690000200)},
            "3 new messages from 2 chats\nAlice: c\nTeam: Bob: b\nAlice: a", 1690000500000LL);
        row("date beyond the calendar", {messageEvent(1, "A", "x", 9000000000000000000LL)},
            "1 new message from 1 chat\nA: x");
        row("unread 5 to 0", {unreadEvent(3, 5), unreadEvent(4, 2), unreadEvent(3, 0)}, "2 new messages from 1 chat");
        row("unread numbers, message lines", {messageEvent(1, "Alice", "Hi"), unreadEvent(1, 4), unreadEvent(2, 3)},
            "7 new messages from 2 chats\nAlice: Hi");
        row("message without chat", {messageEvent(0, "X", "y")}, "1 new message");
        // 93 messages spread over four chats, then 8 from a fifth: 15 lines, 5 of one chat, 100 stored.
        QList<QByteArray> many;
        for (int i = 0; i < 101; ++i) {
            const QByteArray title = i >= 93 ? QByteArray("N") : "C" + QByteArray::number(i % 4);
            many << messageEvent(i >= 93 ? 9 : 1 + i % 4, title, "m" + QByteArray::number(i));
        }
        row("lines bounded", many,
            "101 new messages from 5 chats\nN: m100\nN: m99\nN: m98\nN: m97\nN: m96\nC0: m92\nC3: m91\nC2: m90\n"
            "C1: m89\nC0: m88\nC3: m87\nC2: m86\nC1: m85\nC0: m84\nC3: m83");
    }
    void composition()
    {
        QFETCH(QList<QByteArray>, events);
        for (const QByteArray &event : events)
            svc->dispatchBackendEvent(event);
        QCOMPARE_LE(svc->summary.hubSummaryLines.size(), hubsummary::kMaxStoredLines);
        zplatform::setClockMs(kPost);
        svc->postHubSummary(kPost);

        const QJsonObject entry = hubEntry();
        QTEST(entry.value(QStringLiteral("body")).toString(), "body");
        QTEST(qint64(entry.value(QStringLiteral("timestamp_ms")).toDouble()), "timestampMs");
        const QJsonObject invoke = entry.value(QStringLiteral("invoke")).toObject();
        QCOMPARE(QStringList({entry["title"].toString(), invoke["target"].toString(), invoke["action"].toString(),
                              invoke["uri"].toString()}),
                 QStringList({"Telegram Vyn", "com.kvel.zunaro", "bb.action.START", "zunaro://hub?screen=chats"}));
        QCOMPARE(svc->push.tgpushStatHub, quint64(1));
    }

    // Only what differs from an unknown chat is kept, and the per-chat
    // tables stop at their bound with one log line each.
    void perChatStateIsBounded()
    {
        const int bound = hubsummary::kMaxTrackedChats;
        for (qint64 chat = 1; chat <= bound + 10; ++chat) {
            svc->applyChatUnread(chat, 0);
            svc->applyChatUnread(-chat, 1);
            svc->enqueueHubSummaryMessage({chat, 0, {}, {}, "x"});
        }
        QVERIFY(!svc->summary.chatUnreadCounts.contains(1));
        const QString sizes = QStringLiteral("unread counts %1, unread news %2, summary chats %3, total %4");
        QCOMPARE(sizes.arg(svc->summary.chatUnreadCounts.size()).arg(svc->summary.hubUnreadCounts.size())
                     .arg(svc->summary.hubSummaryChatIds.size()).arg(svc->summary.hubUnreadTotal),
                 sizes.arg(bound).arg(bound).arg(bound).arg(bound));
        for (const char *table : {"unread counts", "unread news", "summary chats"})
            QVERIFY2(rig->log.matching(QByteArray("service: ") + table + " full at").size() == 1, table);
        svc->applyChatUnread(-1, 3); // a chat it holds still counts
        QCOMPARE(svc->summary.hubUnreadTotal, quint64(bound) + 2);
    }

    // Steps at ms after kT: "m" a message of chat 1, "unread C N", "push N", "fire" the due timer, "post" the summary
    // at once, "front" the UI in front from then; "coalesce N", "interval N", "last" (the last post was now),
    // "alive" (the UI is alive), "stop" (the service stopped) set the stage. After " => ": the timer's interval or
    // "-", the pending count, the posts so far, and the first line of a summary this step posted.
    void timing_data()
    {
        QTest::addColumn<QStringList>("steps");
        const auto row = [](const char *name, const QStringList &steps) { QTest::newRow(name) << steps; };
        row("0 s, 1 s, 3 s: one post at 5 s", {"0 m => 5000 1 0", "1000 m => 5000 2 0", "3000 m => 5000 3 0",
            "5000 fire => - 0 1, 3 new messages from 1 chat"});
        row("post at T, message at T+1 s: T+6 s",
            {"0 last", "1000 m => 5000 1 0", "6000 fire => - 0 1, 1 new message from 1 chat"});
        row("early timer waits for the 60 s interval", {"0 interval 60000", "0 last", "1000 m => 59000 1 0",
            "30000 fire => 30000 1 0", "60000 fire => - 0 1, 1 new message from 1 chat"});
        row("coalescing and interval 0", {"0 coalesce 0", "0 interval 0", "0 last", "1000 m => 0 1 0",
            "1000 fire => - 0 1, 1 new message from 1 chat"});
        // While the UI is alive, bare numbers for known chats wait for lines, every 750 ms, up to 8 s after the first.
        row("unread counts of two chats wait", {"0 alive", "0 unread 1 2", "3000 unread 2 1 => 5000 3 0",
            "5000 fire => 750 3 0", "7250 fire => 750 3 0", "8000 fire => - 0 1, 3 new messages from 2 chats"});
        row("push counts only: no waiting",
            {"0 alive", "0 push 3", "0 push 4 => 5000 7 0", "5000 fire => - 0 1, 7 new messages"});
        row("lines present: no waiting",
            {"0 alive", "0 unread 1 2", "0 m", "5000 fire => - 0 1, 2 new messages from 1 chat"});
        // The same summary within 2000 ms is skipped, yet the next waits the interval from it.
        row("duplicate within 2000 ms", {"0 coalesce 1000", "0 m", "0 post => - 0 1, 1 new message from 1 chat",
            "1999 post => - 0 1", "2499 push 1 => 4500 1 1"});
        row("duplicate after 2000 ms", {"0 coalesce 1000", "0 m", "0 post",
            "2000 post => - 0 2, 1 new message from 1 chat", "2500 push 1 => 4500 1 2"});
        row("UI in front when the message comes: dropped", {"0 front", "0 m => - 0 0"});
        row("UI in front when due: suppressed", {"0 m", "4000 front", "5000 fire => - 0 0"});
        row("push of 0 or less", {"0 push 0 => - 0 0", "0 push -3 => - 0 0", "0 m", "0 unread 2 3 => 5000 4 0"});
        row("stopped", {"0 stop", "0 push 4", "0 m", "0 unread 2 3 => - 0 0"});
    }
    void timing()
    {
        QFETCH(QStringList, steps);
        for (const QString &step : steps) {
            const QStringList words = step.section(QStringLiteral(" => "), 0, 0).split(QLatin1Char(' '));
            const qint64 at = kT + words.at(0).toLongLong();
            const QString what = words.at(1);
            const int n = words.value(2).toInt();
            const int postsBefore = posts();
            zplatform::setClockMs(at);
            if (what == "fire")
                svc->summary.tgpushNotifyTimer->stop();
            if (what == "m")
                svc->dispatchBackendEvent(messageEvent(1, "A", "x"));
            else if (what == "unread")
                svc->dispatchBackendEvent(unreadEvent(n, words.value(3).toInt()));
            else if (what == "push")
                svc->enqueueTgpushNotification(n);
            else if (what == "fire") // as the timer would, when due
                svc->onTgpushNotifyTimer();
            else if (what == "post")
                svc->postHubSummary(at);
            else if (what == "front")
                QVERIFY(rig->device.write("data/ui_running.txt", QByteArray::number(at)));
            else if (what == "coalesce")
                svc->summary.notifyCoalesceMs = n;
            else if (what == "interval")
                svc->summary.notifyMinIntervalMs = n;
            else if (what == "last")
                svc->summary.lastNotifyPostMs = at;
            else if (what == "alive")
                svc->uiAliveRecent = true;
            else if (what == "stop")
                svc->serviceActive = false;
            else
                QFAIL(qPrintable(step));
            if (!step.contains(QStringLiteral(" => ")))
                continue;
            const QTimer *timer = svc->summary.tgpushNotifyTimer;
            const QString due = timer->isActive() ? QString::number(timer->interval()) : QStringLiteral("-");
            QString seen = QStringLiteral("%1 %2 %3").arg(due).arg(svc->summary.pendingNotifyCount).arg(posts());
            if (posts() > postsBefore)
                seen += QStringLiteral(", ") + body().section(QLatin1Char('\n'), 0, 0);
            QCOMPARE(step.section(QStringLiteral(" => "), 0, 0) + QStringLiteral(" => ") + seen, step); // names the step
        }
    }
};

QTEST_GUILESS_MAIN(EventsSummaryTest)
#include "tst_events_summary.moc"
