// The Hub summary as the service composes and posts it, and the timing of
// the post on the movable clock.

#include <QtTest>

#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

namespace {
constexpr qint64 kT = 1700000000000LL;

QByteArray message(qint64 chatId, const QByteArray &title, const QByteArray &text, qint64 date = 0,
                   const QByteArray &sender = QByteArray())
{
    return "{\"type\":\"hub_notify_message\",\"chat_id\":" + QByteArray::number(chatId) + ",\"chat_title\":\"" + title
        + "\",\"text\":\"" + text + "\"" + (date ? ",\"date\":" + QByteArray::number(date) : QByteArray())
        + (sender.isEmpty() ? QByteArray() : ",\"sender_name\":\"" + sender + "\"") + "}";
}

QByteArray unread(qint64 chatId, int count)
{
    return "{\"type\":\"chat_unread\",\"chat_id\":" + QByteArray::number(chatId) + ",\"unread_count\":"
        + QByteArray::number(count) + "}";
}

QJsonObject hubEntry(const TestDevice &device)
{
    return QJsonDocument::fromJson(device.read(QStringLiteral("platform/hub/kvel_hub_summary.json"))).object();
}

int posts(const TestDevice &device)
{
    int n = 0;
    for (const QByteArray &line : device.lines(QStringLiteral("platform/hub/journal.jsonl")))
        n += QJsonDocument::fromJson(line).object().value(QStringLiteral("op")).toString() == QLatin1String("post");
    return n;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    // Feeds lines through the dispatch; "push N" stands for N push events.
    static void feed(ZunaroHeadlessService &service, const QList<QByteArray> &lines)
    {
        for (const QByteArray &line : lines) {
            if (line.startsWith("push "))
                service.enqueueTgpushNotification(line.mid(5).toInt());
            else
                service.dispatchBackendEvent(line);
        }
    }

    // Moves the clock to when the notify timer is due and fires it.
    static void fireNotifyTimer(ZunaroHeadlessService &service, qint64 atMs)
    {
        platform::setClockMs(atMs);
        service.tgpushNotifyTimer->stop();
        service.onTgpushNotifyTimer();
    }

private slots:
    void composition_data()
    {
        QTest::addColumn<QList<QByteArray>>("events");
        QTest::addColumn<QString>("body");
        QTest::newRow("one message") << QList<QByteArray> { message(1, "Alice", "Hi") }
                                     << "1 new message from 1 chat\nAlice: Hi";
        QTest::newRow("group message") << QList<QByteArray> { message(2, "Team", "Lunch?", 0, "Bob") }
                                       << "1 new message from 1 chat\nTeam: Bob: Lunch?";
        QTest::newRow("newest first") << QList<QByteArray> { message(1, "Alice", "a"), message(2, "Team", "b", 0, "Bob"),
                                                             message(1, "Alice", "c") }
                                      << "3 new messages from 2 chats\nAlice: c\nTeam: Bob: b\nAlice: a";
        QTest::newRow("2^53+1 chat") << QList<QByteArray> { message(9007199254740993LL, "Big", "x"),
                                                            message(9007199254740992LL, "Near", "y") }
                                     << "2 new messages from 2 chats\nNear: y\nBig: x";
        QTest::newRow("unread 2 then 5") << QList<QByteArray> { unread(3, 2), unread(3, 5) }
                                         << "5 new messages from 1 chat";
        QTest::newRow("unread 5 to 0") << QList<QByteArray> { unread(3, 5), unread(4, 2), unread(3, 0) }
                                       << "2 new messages from 1 chat";
        QTest::newRow("unread numbers, message lines")
            << QList<QByteArray> { message(1, "Alice", "Hi"), unread(1, 4), unread(2, 3) }
            << "7 new messages from 2 chats\nAlice: Hi";
        QTest::newRow("push only, 1") << QList<QByteArray> { "push 1" } << "1 new message";
        QTest::newRow("push only, 7") << QList<QByteArray> { "push 3", "push 4" } << "7 new messages";
        QTest::newRow("message without chat") << QList<QByteArray> { message(0, "X", "y") } << "1 new message";
    }
    void composition()
    {
        QFETCH(QList<QByteArray>, events);
        QFETCH(QString, body);
        TestDevice device;
        LogCapture log;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        feed(service, events);
        fireNotifyTimer(service, kT + 5000);

        const QJsonObject entry = hubEntry(device);
        QCOMPARE(entry.value(QStringLiteral("body")).toString(), body);
        QCOMPARE(entry.value(QStringLiteral("title")).toString(), QStringLiteral("Telegram Vyn"));
        const QJsonObject invoke = entry.value(QStringLiteral("invoke")).toObject();
        QCOMPARE(invoke.value(QStringLiteral("target")).toString(), QStringLiteral("com.kvel.zunaro"));
        QCOMPARE(invoke.value(QStringLiteral("action")).toString(), QStringLiteral("bb.action.START"));
        QCOMPARE(invoke.value(QStringLiteral("uri")).toString(), QStringLiteral("zunaro://hub?screen=chats"));
        QCOMPARE(device.read(QStringLiteral("data/hub_open.env")),
                 QByteArray("HUB_OPEN=chats\nHUB_TS_MS=") + QByteArray::number(kT + 5000) + "\nHUB_REASON=summary\n");
        QVERIFY(log.contains("service: notify summary err=0 key=kvel_hub_summary"));
        QCOMPARE(service.pendingNotifyCount, quint64(0));
        QCOMPARE(service.tgpushStatHub, quint64(1));
        QCOMPARE(service.lastNotifyPostMs, kT + 5000);
        QCOMPARE(posts(device), 1);
    }

    void linesAreBounded()
    {
        TestDevice device;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        for (int i = 0; i < 101; ++i)
            feed(service, { message(1 + i % 4, "C" + QByteArray::number(i % 4), "m" + QByteArray::number(i)) });
        QCOMPARE(service.hubSummaryLines.size(), 100);
        QCOMPARE(service.hubSummaryLines.last().text, QStringLiteral("C1: m1"));
        fireNotifyTimer(service, kT + 5000);
        const QStringList body = hubEntry(device).value(QStringLiteral("body")).toString().split(QLatin1Char('\n'));
        QCOMPARE(body.first(), QStringLiteral("101 new messages from 4 chats"));
        QCOMPARE(body.size(), 1 + 15);
        QCOMPARE(body.at(1), QStringLiteral("C0: m100"));
        QCOMPARE(body.last(), QStringLiteral("C2: m86"));
    }

    void timestamp_data()
    {
        QTest::addColumn<QList<qint64>>("dates");
        QTest::addColumn<qint64>("timestampMs");
        QTest::newRow("newest date") << QList<qint64> { 1690000100, 1690000500, 1690000200 } << 1690000500000LL;
        QTest::newRow("no dates: posting time") << QList<qint64> { 0, 0 } << kT + 5000;
        QTest::newRow("date beyond the calendar") << QList<qint64> { 9000000000000000000LL } << kT + 5000;
    }
    void timestamp()
    {
        QFETCH(QList<qint64>, dates);
        QFETCH(qint64, timestampMs);
        TestDevice device;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        for (qint64 date : dates)
            feed(service, { message(1, "A", "x", date) });
        fireNotifyTimer(service, kT + 5000);
        QCOMPARE(qint64(hubEntry(device).value(QStringLiteral("timestamp_ms")).toDouble()), timestampMs);
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
        TestDevice device;
        LogCapture log;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        feed(service, { message(1, "A", "x") });
        service.postHubSummary(kT);
        service.postHubSummary(kT + gapMs);
        QCOMPARE(posts(device), posted);
        QCOMPARE(log.contains("service: skip duplicate hub summary"), posted == 1);
        QCOMPARE(service.lastNotifyPostMs, kT + gapMs);
    }

    void uiInFront_data()
    {
        QTest::addColumn<bool>("frontAtEvent");
        QTest::addColumn<bool>("frontAtPost");
        QTest::addColumn<quint64>("counted");
        QTest::newRow("in front when the message comes: dropped") << true << false << quint64(0);
        QTest::newRow("in front when due: suppressed") << false << true << quint64(1);
    }
    void uiInFront()
    {
        QFETCH(bool, frontAtEvent);
        QFETCH(bool, frontAtPost);
        QFETCH(quint64, counted);
        TestDevice device;
        LogCapture log;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        const QString running = QStringLiteral("data/ui_running.txt");
        if (frontAtEvent)
            QVERIFY(device.write(running, QByteArray::number(kT)));
        feed(service, { message(1, "A", "x") });
        QCOMPARE(service.hubSummaryMessageCount, counted);
        if (frontAtPost)
            QVERIFY(device.write(running, QByteArray::number(kT + 4000)));
        else
            QFile::remove(device.path(running));
        service.pendingNotifyCount = 1; // due in either case
        fireNotifyTimer(service, kT + 5000);
        QCOMPARE(log.contains("service: hub notify suppressed (UI active)"), frontAtPost);
        QCOMPARE(service.pendingNotifyCount, quint64(0));
        QCOMPARE(posts(device), frontAtPost ? 0 : 1);
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
        QTest::newRow("0 s, 1 s, 3 s: one post at 5 s") << 5000 << 5000 << qint64(0)
                                                        << QList<qint64> { 0, 1000, 3000 } << 5000;
        QTest::newRow("post at T, event at T+1 s: T+6 s") << 5000 << 5000 << kT << QList<qint64> { 1000 } << 5000;
        QTest::newRow("60 s minimum interval") << 5000 << 60000 << kT << QList<qint64> { 1000 } << 59000;
        QTest::newRow("coalescing and interval 0") << 0 << 0 << kT << QList<qint64> { 1000 } << 0;
    }
    void coalescing()
    {
        QFETCH(int, coalesceMs);
        QFETCH(int, minIntervalMs);
        QFETCH(qint64, lastPost);
        QFETCH(QList<qint64>, eventsAt);
        QFETCH(int, delayMs);
        TestDevice device;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        service.notifyCoalesceMs = coalesceMs;
        service.notifyMinIntervalMs = minIntervalMs;
        service.lastNotifyPostMs = lastPost;
        for (int i = 0; i < eventsAt.size(); ++i) {
            platform::setClockMs(kT + eventsAt.at(i));
            feed(service, { message(1, "A", "m" + QByteArray::number(i)) });
            QVERIFY(service.tgpushNotifyTimer->isActive());
            QCOMPARE(service.tgpushNotifyTimer->interval(), delayMs);
        }
        QCOMPARE(service.pendingNotifySinceMs, kT + eventsAt.first());
        QCOMPARE(posts(device), 0);
        fireNotifyTimer(service, kT + eventsAt.first() + delayMs);
        QCOMPARE(posts(device), 1);
        QVERIFY(hubEntry(device).value(QStringLiteral("body")).toString().startsWith(
            eventsAt.size() == 1 ? QStringLiteral("1 new message ") : QStringLiteral("%1 new messages ").arg(eventsAt.size())));
        QVERIFY(!service.tgpushNotifyTimer->isActive());
    }

    void earlyTimerWaitsForTheInterval()
    {
        TestDevice device;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        service.notifyMinIntervalMs = 60000;
        service.lastNotifyPostMs = kT;
        feed(service, { message(1, "A", "x") });
        fireNotifyTimer(service, kT + 30000);
        QCOMPARE(posts(device), 0);
        QCOMPARE(service.tgpushNotifyTimer->interval(), 30000);
        fireNotifyTimer(service, kT + 60000);
        QCOMPARE(posts(device), 1);
    }

    void coalescingZeroPostsOnTheNextTurn()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        service.notifyCoalesceMs = 0;
        service.notifyMinIntervalMs = 0;
        feed(service, { message(1, "A", "x") });
        QCOMPARE(posts(device), 0);
        QTRY_COMPARE_WITH_TIMEOUT(posts(device), 1, 5000);
    }

    void duplicateSkipDelaysTheNext()
    {
        TestDevice device;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        service.notifyCoalesceMs = 1000;
        feed(service, { message(1, "A", "x") });
        service.postHubSummary(kT);
        service.postHubSummary(kT + 1000); // the same body: skipped
        platform::setClockMs(kT + 1500);
        feed(service, { unread(1, 0) });
        service.enqueueTgpushNotification(1);
        QCOMPARE(service.tgpushNotifyTimer->interval(), 4500);
    }

    // While the UI is alive a summary that would only give numbers for known
    // chats waits for lines, every 750 ms, up to 8000 ms after the first item.
    void waitingForLines_data()
    {
        QTest::addColumn<QList<QByteArray>>("events");
        QTest::addColumn<qint64>("postedAt");
        QTest::newRow("unread counts of two chats") << QList<QByteArray> { unread(1, 2), unread(2, 1) } << qint64(8000);
        QTest::newRow("push counts only: no waiting") << QList<QByteArray> { "push 2" } << qint64(5000);
        QTest::newRow("lines present: no waiting") << QList<QByteArray> { unread(1, 2), message(1, "A", "x") }
                                                   << qint64(5000);
    }
    void waitingForLines()
    {
        QFETCH(QList<QByteArray>, events);
        QFETCH(qint64, postedAt);
        TestDevice device;
        platform::setClockMs(kT);
        ZunaroHeadlessService service(nullptr);
        service.uiAliveRecent = true;
        feed(service, events);
        qint64 at = 5000;
        fireNotifyTimer(service, kT + at);
        while (posts(device) == 0 && at < 20000) {
            QCOMPARE(service.tgpushNotifyTimer->interval(), 750);
            at += 750;
            fireNotifyTimer(service, kT + at);
        }
        QCOMPARE(at, postedAt);
        QCOMPARE(posts(device), 1);
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
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        service.serviceActive = active;
        service.enqueueTgpushNotification(count);
        feed(service, { message(1, "A", "x"), unread(2, 3) });
        QCOMPARE(service.pendingNotifyCount, quint64(active ? 4 : 0));
        QCOMPARE(service.pendingNotifySinceMs != 0, active);
        QCOMPARE(service.tgpushNotifyTimer->isActive(), active);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_summary.moc"
