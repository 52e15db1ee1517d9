// The Hub summary as the service composes and posts it, and the timing of
// the post on the movable clock.

#include <QtTest>

#include "events/hub_summary.h"
#include "servicerig.h"

namespace {
constexpr qint64 kT = kRigClockMs;
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceRig> rig;
    TestDevice *dev = nullptr;
    LogCapture *log = nullptr;
    ZunaroHeadlessService *svc = nullptr;

    QJsonObject hubEntry() const { return dev->json(QStringLiteral("platform/hub/kvel_hub_summary.json")); }
    QString body() const { return hubEntry().value(QStringLiteral("body")).toString(); }
    int posts() const { return dev->column(QStringLiteral("platform/hub/journal.jsonl"), QStringLiteral("op")).count(QStringLiteral("post")); }

    // Feeds lines through the dispatch; "push N" stands for N push events.
    void feed(const QList<QByteArray> &lines)
    {
        for (const QByteArray &line : lines) {
            if (line.startsWith("push "))
                svc->enqueueTgpushNotification(line.mid(5).toInt());
            else
                svc->dispatchBackendEvent(line);
        }
    }

    // Moves the clock to when the notify timer is due and fires it.
    void fire(qint64 atMs)
    {
        zplatform::setClockMs(atMs);
        svc->tgpushNotifyTimer->stop();
        svc->onTgpushNotifyTimer();
    }

private slots:
    void init()
    {
        rig = std::make_unique<ServiceRig>();
        dev = &rig->device;
        log = &rig->log;
        svc = rig->service.get();
    }
    void cleanup() { rig.reset(); }

    void composition_data()
    {
        QTest::addColumn<QList<QByteArray>>("events");
        QTest::addColumn<QString>("body");
        QTest::addColumn<qint64>("timestampMs");
        const qint64 posted = kT + 5000;
        QTest::newRow("one message") << QList<QByteArray> {messageEvent(1, "Alice", "Hi")}
                                     << "1 new message from 1 chat\nAlice: Hi" << posted;
        QTest::newRow("newest first, newest date")
            << QList<QByteArray> {messageEvent(1, "Alice", "a", 1690000100), messageEvent(2, "Team", "b", 1690000500, "Bob"),
                                  messageEvent(1, "Alice", "c", 1690000200)}
            << "3 new messages from 2 chats\nAlice: c\nTeam: Bob: b\nAlice: a" << 1690000500000LL;
        QTest::newRow("date beyond the calendar") << QList<QByteArray> {messageEvent(1, "A", "x", 9000000000000000000LL)}
                                                  << "1 new message from 1 chat\nA: x" << posted;
        QTest::newRow("unread 5 to 0") << QList<QByteArray> {unreadEvent(3, 5), unreadEvent(4, 2), unreadEvent(3, 0)}
                                       << "2 new messages from 1 chat" << posted;
        QTest::newRow("unread numbers, message lines")
            << QList<QByteArray> {messageEvent(1, "Alice", "Hi"), unreadEvent(1, 4), unreadEvent(2, 3)}
            << "7 new messages from 2 chats\nAlice: Hi" << posted;
        QTest::newRow("push only, 1") << QList<QByteArray> {"push 1"} << "1 new message" << posted;
        QTest::newRow("push only, 7") << QList<QByteArray> {"push 3", "push 4"} << "7 new messages" << posted;
        QTest::newRow("message without chat") << QList<QByteArray> {messageEvent(0, "X", "y")} << "1 new message" << posted;
    }
    void composition()
    {
        QFETCH(QList<QByteArray>, events);
        feed(events);
        fire(kT + 5000);

        const QJsonObject entry = hubEntry();
        QTEST(entry.value(QStringLiteral("body")).toString(), "body");
        QTEST(qint64(entry.value(QStringLiteral("timestamp_ms")).toDouble()), "timestampMs");
        QCOMPARE(entry.value(QStringLiteral("title")).toString(), QStringLiteral("Telegram Vyn"));
        const QJsonObject invoke = entry.value(QStringLiteral("invoke")).toObject();
        QCOMPARE(QStringList({invoke["target"].toString(), invoke["action"].toString(), invoke["uri"].toString()}),
                 QStringList({"com.kvel.zunaro", "bb.action.START", "zunaro://hub?screen=chats"}));
        QCOMPARE(dev->read(QStringLiteral("data/hub_open.env")),
                 QByteArray("HUB_OPEN=chats\nHUB_TS_MS=") + QByteArray::number(kT + 5000) + "\nHUB_REASON=summary\n");
        QVERIFY(log->contains("service: notify summary err=0 key=kvel_hub_summary"));
        QCOMPARE(svc->pendingNotifyCount, quint64(0));
        QCOMPARE(svc->tgpushStatHub, quint64(1));
        QCOMPARE(svc->lastNotifyPostMs, kT + 5000);
        QCOMPARE(posts(), 1);
    }

    // 101 messages: 93 spread over four chats, then 8 from a fifth.
    void linesAreBounded()
    {
        for (int i = 0; i < 101; ++i) {
            const bool last = i >= 93;
            feed({messageEvent(last ? 9 : 1 + i % 4, last ? "N" : "C" + QByteArray::number(i % 4),
                          "m" + QByteArray::number(i))});
        }
        QCOMPARE(svc->hubSummaryLines.size(), 100);
        QCOMPARE(svc->hubSummaryLines.last().text, QStringLiteral("C1: m1"));
        fire(kT + 5000);
        QCOMPARE(body(), QStringLiteral("101 new messages from 5 chats\nN: m100\nN: m99\nN: m98\nN: m97\nN: m96\n"
                                        "C0: m92\nC3: m91\nC2: m90\nC1: m89\nC0: m88\nC3: m87\nC2: m86\nC1: m85\n"
                                        "C0: m84\nC3: m83"));
    }

    // Only what differs from an unknown chat is kept, and the per-chat
    // tables stop at their bound with one log line each.
    void perChatStateIsBounded()
    {
        const int bound = hubsummary::kMaxTrackedChats;
        for (qint64 chat = 1; chat <= bound + 10; ++chat) {
            svc->applyChatUnread(chat, 0);
            svc->applyChatUnread(-chat, 1);
            svc->enqueueHubSummaryMessage({{"chat_id", chat}, {"text", "x"}});
        }
        QCOMPARE(svc->chatUnreadCounts.size(), bound);
        QVERIFY(!svc->chatUnreadCounts.contains(1));
        QCOMPARE(svc->hubUnreadCounts.size(), bound);
        QCOMPARE(svc->hubUnreadTotal, quint64(bound));
        QCOMPARE(svc->hubSummaryChatIds.size(), bound);
        QCOMPARE(log->matching("service: unread counts full at").size(), 1);
        QCOMPARE(log->matching("service: unread news full at").size(), 1);
        QCOMPARE(log->matching("service: summary chats full at").size(), 1);
        svc->applyChatUnread(-1, 3); // a chat it holds still counts
        QCOMPARE(svc->hubUnreadTotal, quint64(bound) + 2);
    }

    void duplicateSummary_data()
    {
        QTest::addColumn<qint64>("gapMs");
        QTest::addColumn<int>("posted");
        QTest::newRow("within 2000 ms") << qint64(1999) << 1;
        QTest::newRow("after 2000 ms") << qint64(2000) << 2;
    }
    void duplicateSummary()
    {
        QFETCH(qint64, gapMs);
        QFETCH(int, posted);
        feed({messageEvent(1, "A", "x")});
        svc->postHubSummary(kT);
        svc->postHubSummary(kT + gapMs);
        QCOMPARE(posts(), posted);
        QCOMPARE(log->contains("service: skip duplicate hub summary"), posted == 1);
        QCOMPARE(svc->lastNotifyPostMs, kT + gapMs);
    }

    void duplicateSkipDelaysTheNext()
    {
        svc->notifyCoalesceMs = 1000;
        feed({messageEvent(1, "A", "x")});
        svc->postHubSummary(kT);
        svc->postHubSummary(kT + 1000); // the same body: skipped
        zplatform::setClockMs(kT + 1500);
        feed({unreadEvent(1, 0), "push 1"});
        QCOMPARE(svc->tgpushNotifyTimer->interval(), 4500);
    }

    void uiInFront_data()
    {
        QTest::addColumn<bool>("frontAtEvent");
        QTest::addColumn<bool>("frontAtPost");
        QTest::newRow("in front when the message comes: dropped") << true << false;
        QTest::newRow("in front when due: suppressed") << false << true;
    }
    void uiInFront()
    {
        QFETCH(bool, frontAtEvent);
        QFETCH(bool, frontAtPost);
        const QString running = QStringLiteral("data/ui_running.txt");
        if (frontAtEvent)
            QVERIFY(dev->write(running, QByteArray::number(kT)));
        feed({messageEvent(1, "A", "x")});
        QCOMPARE(svc->hubSummaryMessageCount, quint64(frontAtEvent ? 0 : 1));
        if (frontAtPost)
            QVERIFY(dev->write(running, QByteArray::number(kT + 4000)));
        else
            QFile::remove(dev->path(running));
        svc->pendingNotifyCount = 1; // due in either case
        fire(kT + 5000);
        QCOMPARE(log->contains("service: hub notify suppressed (UI active)"), frontAtPost);
        QCOMPARE(svc->pendingNotifyCount, quint64(0));
        QCOMPARE(posts(), frontAtPost ? 0 : 1);
    }

    // Events at the given offsets from kT, with a previous post at
    // `lastPost` (0: none): the timer's delay after the first event, and the
    // one summary posted when it fires.
    void coalescing_data()
    {
        QTest::addColumn<int>("coalesceMs");
        QTest::addColumn<int>("minIntervalMs");
        QTest::addColumn<qint64>("lastPost");
        QTest::addColumn<QList<qint64>>("eventsAt");
        QTest::addColumn<int>("delayMs");
        QTest::newRow("0 s, 1 s, 3 s: one post at 5 s") << 5000 << 5000 << qint64(0) << QList<qint64> {0, 1000, 3000}
                                                        << 5000;
        QTest::newRow("post at T, event at T+1 s: T+6 s") << 5000 << 5000 << kT << QList<qint64> {1000} << 5000;
        QTest::newRow("60 s minimum interval") << 5000 << 60000 << kT << QList<qint64> {1000} << 59000;
        QTest::newRow("coalescing and interval 0") << 0 << 0 << kT << QList<qint64> {1000} << 0;
    }
    void coalescing()
    {
        QFETCH(QList<qint64>, eventsAt);
        QFETCH(int, delayMs);
        QFETCH(int, coalesceMs);
        QFETCH(int, minIntervalMs);
        QFETCH(qint64, lastPost);
        svc->notifyCoalesceMs = coalesceMs;
        svc->notifyMinIntervalMs = minIntervalMs;
        svc->lastNotifyPostMs = lastPost;
        for (int i = 0; i < eventsAt.size(); ++i) {
            zplatform::setClockMs(kT + eventsAt.at(i));
            feed({messageEvent(1, "A", "m" + QByteArray::number(i))});
            QVERIFY(svc->tgpushNotifyTimer->isActive());
            QCOMPARE(svc->tgpushNotifyTimer->interval(), delayMs);
        }
        QCOMPARE(svc->pendingNotifySinceMs, kT + eventsAt.first());
        QCOMPARE(posts(), 0);
        fire(kT + eventsAt.first() + delayMs);
        QCOMPARE(posts(), 1);
        QVERIFY(body().startsWith(eventsAt.size() == 1 ? QStringLiteral("1 new message ")
                                                       : QStringLiteral("%1 new messages ").arg(eventsAt.size())));
        QVERIFY(!svc->tgpushNotifyTimer->isActive());
    }

    void earlyTimerWaitsForTheInterval()
    {
        svc->notifyMinIntervalMs = 60000;
        svc->lastNotifyPostMs = kT;
        feed({messageEvent(1, "A", "x")});
        fire(kT + 30000);
        QCOMPARE(posts(), 0);
        QCOMPARE(svc->tgpushNotifyTimer->interval(), 30000);
        fire(kT + 60000);
        QCOMPARE(posts(), 1);
    }

    // While the UI is alive a summary that would only give numbers for known
    // chats waits for lines, every 750 ms, up to 8000 ms after the first item.
    void waitingForLines_data()
    {
        QTest::addColumn<QList<QByteArray>>("events");
        QTest::addColumn<qint64>("postedAt");
        QTest::newRow("unread counts of two chats") << QList<QByteArray> {unreadEvent(1, 2), unreadEvent(2, 1)} << qint64(8000);
        QTest::newRow("push counts only: no waiting") << QList<QByteArray> {"push 2"} << qint64(5000);
        QTest::newRow("lines present: no waiting") << QList<QByteArray> {unreadEvent(1, 2), messageEvent(1, "A", "x")}
                                                   << qint64(5000);
    }
    void waitingForLines()
    {
        QFETCH(QList<QByteArray>, events);
        svc->uiAliveRecent = true;
        feed(events);
        qint64 at = 5000;
        fire(kT + at);
        while (posts() == 0 && at < 20000) {
            QCOMPARE(svc->tgpushNotifyTimer->interval(), 750);
            fire(kT + (at += 750));
        }
        QTEST(at, "postedAt");
        QCOMPARE(posts(), 1);
    }

    void enqueueThatChangesNothing_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("active");
        QTest::newRow("zero") << 0 << true;
        QTest::newRow("negative") << -3 << true;
        QTest::newRow("stopped") << 4 << false;
    }
    void enqueueThatChangesNothing()
    {
        QFETCH(int, count);
        QFETCH(bool, active);
        svc->serviceActive = active;
        svc->enqueueTgpushNotification(count);
        feed({messageEvent(1, "A", "x"), unreadEvent(2, 3)});
        QCOMPARE(svc->pendingNotifyCount, quint64(active ? 4 : 0));
        QCOMPARE(svc->pendingNotifySinceMs != 0, active);
        QCOMPARE(svc->tgpushNotifyTimer->isActive(), active);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_summary.moc"
