// Push mode in the service: the settings it reads, its start-up, the poll
// cycle against the simulated proxy on loopback, the cursor file and the
// statistics line.

#include <QtTest>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <sys/stat.h>

#include <functional>
#include <memory>

#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

namespace {
const QByteArray kMode = "service: tgpush mode enabled; TDLib backend disabled";

// The simulated proxy, started and ended by the test.
class ProxySim
{
public:
    ~ProxySim()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool start()
    {
        m_process.start(builtTool(QStringLiteral("tgpush_proxy_sim")), {});
        if (!m_process.waitForStarted(5000))
            return false;
        QByteArray line;
        for (int i = 0; i < 50 && !line.endsWith('\n'); ++i) {
            m_process.waitForReadyRead(100);
            line += m_process.readAllStandardOutput();
        }
        m_port = line.mid(line.lastIndexOf(':') + 1).trimmed().toInt();
        return m_port > 0;
    }
    QString pollUrl(const QString &query = QString()) const
    {
        return QStringLiteral("http://127.0.0.1:%1/poll%2").arg(m_port).arg(query);
    }
    // A control request, answered within a bounded wait.
    QByteArray control(const QString &pathAndQuery)
    {
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(
            QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(pathAndQuery)))));
        QDeadlineTimer deadline(5000);
        while (!reply->isFinished() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return reply->readAll();
    }
    int waitingPolls()
    {
        const QByteArray stats = control(QStringLiteral("/control/stats"));
        const int at = stats.indexOf("\"waiting\":");
        return at < 0 ? -1 : stats.mid(at + 10, stats.indexOf(',', at) - at - 10).toInt();
    }

private:
    QProcess m_process;
    int m_port = 0;
};

// What the service chose right after a poll finished, before the event loop
// could fire the next poll.
struct AfterPoll
{
    bool scheduled = false;
    int delayMs = -1;
    int backoffMs = -1;
};

bool jitteredAround(int delayMs, int baseMs)
{
    const int spread = qBound(250, baseMs / 10, 30000);
    return delayMs >= qMax(0, baseMs - spread) && delayMs <= baseMs + spread;
}

bb::system::InvokeRequest request(const QString &action)
{
    bb::system::InvokeRequest r;
    r.setAction(action);
    return r;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    // Starts the service in push mode against `url` with the poll timer and
    // the tick stopped, so the test drives every poll itself.
    std::unique_ptr<ZunaroHeadlessService> pushService(TestDevice &device, const QString &url,
                                                       const QByteArray &extra = QByteArray())
    {
        device.write(QStringLiteral("data/tgpush_proxy.env"), "TGPUSH_POLL_URL=" + url.toUtf8() + "\n" + extra);
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        service->tgpushPollTimer->stop();
        service->eventsTailTimer->stop();
        return service;
    }

    // Sends one poll and waits for it to finish.
    bool poll(ZunaroHeadlessService &service, AfterPoll &after)
    {
        service.onTgpushTick();
        return finish(service, after);
    }

    // `meanwhile` runs once the poll is watched, while it is in flight.
    bool finish(ZunaroHeadlessService &service, AfterPoll &after, const std::function<void()> &meanwhile = {})
    {
        QNetworkReply *reply = service.tgpushReply;
        if (!reply)
            return false;
        bool done = false;
        QObject::connect(reply, &QNetworkReply::finished, &service, [&] {
            after = {service.tgpushPollTimer->isActive(), service.tgpushPollTimer->interval(),
                     service.tgpushBackoffMs};
            service.tgpushPollTimer->stop();
            done = true;
        });
        if (meanwhile)
            meanwhile();
        QDeadlineTimer deadline(10000);
        while (!done && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done;
    }

private slots:
    void config_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("mode");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QList<int>>("numbers"); // timeout, min interval, coalesce, delay on events
        QTest::addColumn<quint64>("since");
        QTest::addColumn<QList<QByteArray>>("lines"); // in this order
        QTest::addColumn<QByteArray>("absent");
        const QList<int> defaults {300000, 5000, 5000, 5000};
        const QByteArray disabled = "service: tgpush disabled (missing TGPUSH_POLL_URL)";
        QTest::newRow("no candidate")
            << "none" << false << "" << defaults << quint64(0)
            << QList<QByteArray> {"service: tgpush try=$1 exists=0", "service: tgpush try=$2 exists=0",
                                  "service: tgpush try=$3 exists=0", disabled}
            << QByteArray("service: tgpush since loaded");
        QTest::newRow("first unreadable, second read")
            << "unreadable" << true << "http://h/p" << defaults << quint64(0)
            << QList<QByteArray> {"service: tgpush try=$1 exists=1", "service: tgpush open failed path=$1",
                                  "service: tgpush try=$2 exists=1", "service: tgpush config=$2 url=http://h/p"}
            << QByteArray("service: tgpush try=$3");
        QTest::newRow("directory skipped")
            << "directory" << true << "http://h/3" << defaults << quint64(0)
            << QList<QByteArray> {"service: tgpush try=$1 exists=0", "service: tgpush try=$2 exists=0",
                                  "service: tgpush try=$3 exists=1", "service: tgpush config=$3 url=http://h/3"}
            << QByteArray("service: tgpush open failed");
        QTest::newRow("quoted empty url, numbers still read")
            << "quoted-empty" << false << "" << QList<int> {0, 5000, 5000, 5000} << quint64(0)
            << QList<QByteArray> {"service: tgpush try=$1 exists=1", disabled} << QByteArray("service: tgpush try=$2");
        QTest::newRow("single-quoted empty url")
            << "single-quoted-empty" << false << "" << defaults << quint64(0) << QList<QByteArray> {disabled}
            << kMode;
        QTest::newRow("unbalanced quote kept")
            << "unbalanced" << true << "\"http://h/q" << defaults << quint64(0)
            << QList<QByteArray> {"service: tgpush config=$1 url=\"http://h/q", kMode} << disabled;
        QTest::newRow("last duplicate, boundaries")
            << "numbers" << true << "http://h/n" << QList<int> {1000, 3600000, 600000, 0} << quint64(0)
            << QList<QByteArray> {kMode} << disabled;
        QTest::newRow("out of range and malformed")
            << "numbers-bad" << true << "http://h/n" << defaults << quint64(0) << QList<QByteArray> {kMode}
            << disabled;
        QTest::newRow("cursor with blanks") << "since-blanks" << true << "http://h/s" << defaults << quint64(42)
                                            << QList<QByteArray> {"service: tgpush since loaded=42"} << disabled;
        QTest::newRow("cursor empty") << "since-empty" << true << "http://h/s" << defaults << quint64(0)
                                      << QList<QByteArray> {kMode} << QByteArray("service: tgpush since loaded");
        QTest::newRow("cursor letters") << "since-letters" << true << "http://h/s" << defaults << quint64(0)
                                        << QList<QByteArray> {kMode} << QByteArray("service: tgpush since loaded");
        QTest::newRow("cursor zero") << "since-zero" << true << "http://h/s" << defaults << quint64(0)
                                     << QList<QByteArray> {"service: tgpush since loaded=0"} << disabled;
        QTest::newRow("cursor a fifo") << "since-fifo" << true << "http://h/s" << defaults << quint64(0)
                                       << QList<QByteArray> {kMode} << QByteArray("service: tgpush since loaded");
        QTest::newRow("cursor in backend mode")
            << "since-backend" << false << "" << defaults << quint64(7)
            << QList<QByteArray> {disabled, "service: tgpush since loaded=7"} << kMode;
    }

    void config()
    {
        QFETCH(QString, setup);
        TestDevice device;
        const QString d1 = QStringLiteral("data/tgpush_proxy.env");
        const QString d2 = QStringLiteral("accounts/1000/shared/misc/nimbrel/tgpush_proxy.env");
        const QString d3 = QStringLiteral("accounts/1000/shared/misc/tgpush_proxy.env");
        const QString cursor = QStringLiteral("data/tgpush_since.txt");
        if (setup == "unreadable") {
            // Unreadable even for root: a write-only kernel setting.
            QVERIFY(QFile::link(QStringLiteral("/proc/sys/vm/compact_memory"), device.path(d1)));
            device.write(d2, "TGPUSH_POLL_URL=http://h/p\n");
        } else if (setup == "directory") {
            QVERIFY(QDir().mkpath(device.path(d1)));
            device.write(d3, "TGPUSH_POLL_URL=http://h/3\n");
        } else if (setup == "quoted-empty") {
            device.write(d1, "TGPUSH_POLL_URL=\"\"\nTGPUSH_TIMEOUT_MS=0\n");
        } else if (setup == "single-quoted-empty") {
            device.write(d1, "TGPUSH_POLL_URL=''\n");
        } else if (setup == "unbalanced") {
            device.write(d1, "TGPUSH_POLL_URL=\"http://h/q\n");
        } else if (setup == "numbers") {
            device.write(d1, "TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=2000\nTGPUSH_TIMEOUT_MS=1000\n"
                             "TGPUSH_NOTIFY_MIN_INTERVAL_MS=3600000\nTGPUSH_NOTIFY_COALESCE_MS=600000\n"
                             "TGPUSH_POLL_DELAY_ON_EVENTS_MS=0\n");
        } else if (setup == "numbers-bad") {
            device.write(d1, "TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=300001\n"
                             "TGPUSH_NOTIFY_MIN_INTERVAL_MS=3600001\nTGPUSH_NOTIFY_COALESCE_MS=-1\n"
                             "TGPUSH_POLL_DELAY_ON_EVENTS_MS=5s\n");
        } else if (setup.startsWith("since-")) {
            if (setup != "since-backend")
                device.write(d1, "TGPUSH_POLL_URL=http://h/s\n");
            if (setup == "since-blanks")
                device.write(cursor, "  42 \n");
            else if (setup == "since-empty")
                device.write(cursor, "");
            else if (setup == "since-letters")
                device.write(cursor, "forty\n");
            else if (setup == "since-zero")
                device.write(cursor, "0\n");
            else if (setup == "since-fifo")
                QCOMPARE(mkfifo(QFile::encodeName(device.path(cursor)).constData(), 0600), 0);
            else
                device.write(cursor, "7\n");
        }

        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        QTEST(service->tgpushMode, "mode");
        QTEST(service->tgpushPollUrl, "url");
        QTEST((QList<int> {service->tgpushTimeoutMs, service->notifyMinIntervalMs, service->notifyCoalesceMs,
                           service->tgpushPollDelayOnEventsMs}),
              "numbers");
        QTEST(service->tgpushSince, "since");

        auto expand = [&](QByteArray line) {
            return line.replace("$1", device.path(d1).toUtf8())
                .replace("$2", device.path(d2).toUtf8())
                .replace("$3", device.path(d3).toUtf8());
        };
        QFETCH(QList<QByteArray>, lines);
        int previous = -1;
        for (const QByteArray &line : lines) {
            const int at = log.lines().indexOf(expand(line));
            QVERIFY2(at > previous, expand(line).constData());
            previous = at;
        }
        QFETCH(QByteArray, absent);
        for (const QByteArray &line : log.lines())
            QVERIFY2(!line.startsWith(expand(absent)), line.constData());
    }

    void startup_data()
    {
        QTest::addColumn<bool>("uiAlive");
        QTest::newRow("ui away: poll at once") << false;
        QTest::newRow("ui alive: no poll") << true;
    }

    void startup()
    {
        QFETCH(bool, uiAlive);
        TestDevice device;
        if (uiAlive)
            device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(platform::nowMs()));
        device.write(QStringLiteral("data/tgpush_proxy.env"), "TGPUSH_POLL_URL=http://127.0.0.1:9/poll\n");
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        QCOMPARE(log.lines().last(), kMode);
        QCOMPARE(service->cmdSocketFd, -1);
        QVERIFY(!service->cmdSocketNotifier);
        QVERIFY(!service->tickTimer->isActive());
        QVERIFY(service->eventsTailTimer->isActive());
        QCOMPARE(service->eventsTailTimer->interval(), 750);
        QCOMPARE(service->tgpushPollTimer->isActive(), !uiAlive);
        if (!uiAlive)
            QCOMPARE(service->tgpushPollTimer->interval(), 0);
    }

    void firstRequest_data()
    {
        QTest::addColumn<QString>("query");
        QTest::newRow("url without query") << QString();
        QTest::newRow("url with query") << QStringLiteral("?k=v");
    }

    void firstRequest()
    {
        QFETCH(QString, query);
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        device.write(QStringLiteral("data/tgpush_since.txt"), "12\n");
        LogCapture log;
        auto service = pushService(device, sim.pollUrl(query), "TGPUSH_TIMEOUT_MS=300\n");
        service->onTgpushTick();
        // The first statistics line goes out before the request.
        QCOMPARE(log.lines().last(),
                 QByteArray("service: tgpush stats reason=first_poll started=1 ok=0 timeout=0 err=0 events=0 "
                            "hub=0 since=12 backoff_ms=0 last_http=0 last_net=0 last_dur_ms=0 timeout_ms=300"));
        AfterPoll after;
        QVERIFY(finish(*service, after));
        const QByteArray stats = sim.control(QStringLiteral("/control/stats"));
        QVERIFY2(stats.contains("\"polls\":1,\"last_since\":12,\"last_timeout_ms\":300"), stats.constData());
        QCOMPARE(service->tgpushStatOk, quint64(1));
        QVERIFY(after.scheduled);
        QCOMPARE(after.delayMs, 0);
        QVERIFY(poll(*service, after));
        QCOMPARE(log.matching("service: tgpush stats reason=first_poll").size(), 1);
    }

    void failuresBackOff_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("line"); // logged for each failure
        QTest::newRow("500") << "kind=status&code=500" << 500 << QByteArray("service: tgpush poll failed http=500 err=");
        QTest::newRow("204 is a failure") << "kind=status&code=204" << 204
                                          << QByteArray("service: tgpush poll failed http=204 err=0 ");
        QTest::newRow("body without events") << "kind=invalid" << 200
                                             << QByteArray("service: tgpush poll invalid json (missing events)");
        QTest::newRow("reset") << "kind=reset" << 0 << QByteArray("service: tgpush poll failed http=0 err=");
    }

    void failuresBackOff()
    {
        QFETCH(QString, fault);
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, line);
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        LogCapture log;
        auto service = pushService(device, sim.pollUrl(), "TGPUSH_TIMEOUT_MS=200\n");
        // Until cleared: the network stack may resend a request once when a
        // reused connection breaks, which would use up a counted fault.
        sim.control(QStringLiteral("/control/fault?") + fault + QStringLiteral("&times=0"));
        const QList<int> waits {5000, 10000, 20000, 40000, 80000};
        for (int i = 0; i < waits.size(); ++i) {
            AfterPoll after;
            QVERIFY(poll(*service, after));
            QCOMPARE(after.backoffMs, waits.at(i));
            QVERIFY2(after.scheduled && jitteredAround(after.delayMs, waits.at(i)),
                     qPrintable(QString::number(after.delayMs)));
            QCOMPARE(service->tgpushLastHttpStatus, httpStatus);
        }
        QCOMPARE(log.matching(line).size(), 5);
        QCOMPARE(service->tgpushStatErr, quint64(5));
        QCOMPARE(service->tgpushStatOk, quint64(0));
        sim.control(QStringLiteral("/control/fault?kind=none"));

        // An accepted answer resets the back-off and, without events, polls
        // again at once.
        AfterPoll after;
        QVERIFY(poll(*service, after));
        QCOMPARE(service->tgpushStatOk, quint64(1));
        QCOMPARE(after.backoffMs, 0);
        QCOMPARE(after.delayMs, 0);
    }

    void eventsAdvanceCursor()
    {
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        auto service = pushService(device, sim.pollUrl(), "TGPUSH_TIMEOUT_MS=5000\n");
        service->onTgpushTick();
        AfterPoll after;
        QVERIFY(finish(*service, after, [&] {
            QTRY_COMPARE_WITH_TIMEOUT(sim.waitingPolls(), 1, 5000);
            sim.control(QStringLiteral("/control/publish?count=2"));
        }));
        QCOMPARE(service->tgpushSince, quint64(2));
        QCOMPARE(service->tgpushStatEvents, quint64(2));
        QCOMPARE(service->pendingNotifyCount, quint64(2));
        QVERIFY(service->tgpushSinceDirty);
        QVERIFY(service->tgpushSinceFlushTimer->isActive());
        QVERIFY(jitteredAround(after.delayMs, 5000));
        service->onTgpushSinceFlush();
        QCOMPARE(device.read(QStringLiteral("data/tgpush_since.txt")), QByteArray("2\n"));
    }

    void offlineDuringPoll()
    {
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        LogCapture log;
        auto service = pushService(device, sim.pollUrl(), "TGPUSH_TIMEOUT_MS=60000\n");
        service->tgpushBackoffMs = 20000;
        service->onTgpushTick();
        QTRY_COMPARE_WITH_TIMEOUT(sim.waitingPolls(), 1, 5000);
        emit service->networkConfigManager->onlineStateChanged(false);
        QVERIFY(!service->tgpushPollInFlight);
        QVERIFY(!service->tgpushReply);
        QVERIFY(log.matching("service: tgpush poll failed").isEmpty());
        QCOMPARE(service->tgpushStatErr, quint64(0));
        QVERIFY(service->tgpushPollTimer->isActive());
        const int delay = service->tgpushPollTimer->interval();
        QVERIFY2(delay >= 54000 && delay <= 66000, qPrintable(QString::number(delay)));

        // Still offline when the timer fires: only re-armed, nothing sent.
        service->onTgpushTick();
        QVERIFY(!service->tgpushPollInFlight);
        QCOMPARE(service->tgpushStatStarted, quint64(1));

        emit service->networkConfigManager->onlineStateChanged(true);
        QCOMPARE(service->tgpushBackoffMs, 0);
        QVERIFY(service->tgpushPollTimer->isActive());
        QCOMPARE(service->tgpushPollTimer->interval(), 0);
        QVERIFY(log.contains("service: net onlineStateChanged=0"));
        QVERIFY(log.contains("service: net onlineStateChanged=1"));
    }

    void uiAliveAbortsPoll()
    {
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        LogCapture log;
        auto service = pushService(device, sim.pollUrl(), "TGPUSH_TIMEOUT_MS=60000\n");
        service->onTgpushTick();
        QTRY_COMPARE_WITH_TIMEOUT(sim.waitingPolls(), 1, 5000);
        device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(platform::nowMs()));
        service->onTick();
        QVERIFY(log.contains("service: ui_alive_recent=1"));
        QCOMPARE(log.matching("service: tgpush poll failed http=0 err=5 ").size(), 1);
        QCOMPARE(service->tgpushStatErr, quint64(1));
        QCOMPARE(log.matching("service: tgpush stats reason=poll_error").size(), 1);
        QVERIFY(!service->tgpushPollTimer->isActive());

        // Nothing starts a poll while the UI stays alive.
        emit service->networkConfigManager->onlineStateChanged(true);
        service->onTgpushTick();
        QVERIFY(!service->tgpushPollTimer->isActive());
        QVERIFY(!service->tgpushPollInFlight);
        QCOMPARE(service->tgpushStatStarted, quint64(1));

        QVERIFY(QFile::remove(device.path(QStringLiteral("data/ui_alive.txt"))));
        service->onTick();
        QVERIFY(service->tgpushPollTimer->isActive());
        QCOMPARE(service->tgpushPollTimer->interval(), 0);
    }

    void staleReplyIgnored()
    {
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        auto service = pushService(device, sim.pollUrl(), "TGPUSH_TIMEOUT_MS=60000\n");
        service->onTgpushTick();
        QPointer<QNetworkReply> stale = service->tgpushReply;
        // Lose track of it without aborting, then start the next poll.
        service->tgpushReply = nullptr;
        service->tgpushPollInFlight = false;
        service->onTgpushTick();
        QNetworkReply *current = service->tgpushReply;
        QVERIFY(current && current != stale);
        stale->abort();
        QCOMPARE(service->tgpushReply, current);
        QVERIFY(service->tgpushPollInFlight);
        QCOMPARE(service->tgpushStatErr, quint64(0));
        QVERIFY(!service->tgpushPollTimer->isActive());
    }

    void deadlineEndsSilentPoll()
    {
        TestDevice device;
        ProxySim sim;
        QVERIFY(sim.start());
        LogCapture log;
        auto service = pushService(device, sim.pollUrl(), "TGPUSH_TIMEOUT_MS=1000\n");
        sim.control(QStringLiteral("/control/fault?kind=hang"));
        service->onTgpushTick();
        QTRY_COMPARE_WITH_TIMEOUT(sim.waitingPolls(), 1, 5000);
        QVERIFY(service->tgpushPollDeadlineTimer->isActive());
        QCOMPARE(service->tgpushPollDeadlineTimer->interval(), 31000);
        service->onTgpushPollDeadline();
        QCOMPARE(log.matching("service: tgpush poll failed http=0 err=4 (no answer within 31000 ms)").size(), 1);
        QVERIFY(!service->tgpushPollInFlight);
        QCOMPARE(service->tgpushStatErr, quint64(1));
        QCOMPARE(service->tgpushLastNetError, 4);
        QCOMPARE(service->tgpushBackoffMs, 5000);
        QVERIFY(service->tgpushPollTimer->isActive());
        QVERIFY(!service->tgpushPollDeadlineTimer->isActive());
        // Going offline later is again the silent cancel.
        service->tgpushPollTimer->stop();
        service->onTgpushTick();
        emit service->networkConfigManager->onlineStateChanged(false);
        QCOMPARE(service->tgpushStatErr, quint64(1));
        sim.control(QStringLiteral("/control/fault?kind=none"));
    }

    void cursorTiming_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<int>("advances");
        QTest::addColumn<int>("writtenAt"); // index of the advance that writes at once; -1: none
        QTest::newRow("three a second apart") << 1000 << 3 << -1;
        QTest::newRow("every 4 s: forced after a minute") << 4000 << 17 << 15;
    }

    void cursorTiming()
    {
        QFETCH(int, gapMs);
        QFETCH(int, advances);
        QFETCH(int, writtenAt);
        TestDevice device;
        platform::setClockMs(1700000000000);
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        const QString file = QStringLiteral("data/tgpush_since.txt");
        for (int i = 0; i < advances; ++i) {
            if (i > 0)
                platform::advanceClockMs(gapMs);
            service->tgpushSince = quint64(100 + i);
            service->markTgpushSinceDirty();
            if (i == writtenAt) {
                QCOMPARE(device.read(file), QByteArray::number(100 + i) + "\n");
                QVERIFY(!service->tgpushSinceDirty);
                QVERIFY(!service->tgpushSinceFlushTimer->isActive());
            } else {
                QCOMPARE(device.exists(file), writtenAt >= 0 && i > writtenAt);
                QVERIFY(service->tgpushSinceFlushTimer->isActive());
                QCOMPARE(service->tgpushSinceFlushTimer->interval(), 5000);
            }
        }
        service->onTgpushSinceFlush();
        QCOMPARE(device.read(file), QByteArray::number(100 + advances - 1) + "\n");
        QVERIFY(!service->tgpushSinceDirty);
        QCOMPARE(service->tgpushSinceDirtyMs, qint64(0));
    }

    void cursorOnStop_data()
    {
        QTest::addColumn<bool>("dirty");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("dirty") << true << true << QByteArray("42\n");
        QTest::newRow("clean") << false << true << QByteArray();
        QTest::newRow("unwritable data directory") << true << false << QByteArray();
    }

    void cursorOnStop()
    {
        QFETCH(bool, dirty);
        QFETCH(bool, writable);
        TestDevice device;
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        if (!writable) {
            // Below a regular file nothing can be created, not even by root.
            device.write(QStringLiteral("blocker"), "x");
            service->dataDir = device.path(QStringLiteral("blocker/data"));
        }
        service->tgpushSince = 42;
        if (dirty)
            service->markTgpushSinceDirty();
        log.clear();
        service->onInvoked(request(QStringLiteral("com.kvel.zunaro.service.STOP")));
        QTEST(device.read(QStringLiteral("data/tgpush_since.txt")), "content");
        QVERIFY(!service->tgpushSinceDirty);
        QVERIFY(!service->tgpushSinceFlushTimer->isActive());
        QCOMPARE(service->tgpushSince, quint64(42));
        QCOMPARE(log.lines(), QList<QByteArray> {"service: invoked action=com.kvel.zunaro.service.STOP"});
    }

    void statsWindow()
    {
        TestDevice device;
        platform::setClockMs(1700000000000);
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        struct Step {
            qint64 advanceMs;
            const char *reason;
            bool force;
            bool printed;
        };
        const Step steps[] = {
            {0, "poll_ok", false, true},          // the first line
            {60000, "poll_ok", false, false},     // within the window
            {1739999, "poll_ok", false, false},   // 1799999 after the first
            {1, "poll_ok", false, true},          // 30 minutes
            {1000, "poll_error", true, true},     // forced, restarts the window
            {600000, "poll_ok", false, false},    // 10 minutes after it
            {1200000, "poll_ok", false, true},
        };
        for (const Step &step : steps) {
            platform::advanceClockMs(step.advanceMs);
            log.clear();
            service->maybeLogTgpushStats(step.reason, step.force);
            QCOMPARE(log.lines().size(), step.printed ? 1 : 0);
        }
    }

    void timeoutCounted_data()
    {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<qint64>("durMs");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<quint64>("timeouts");
        const QByteArray empty = "{\"events\":[],\"next_since\":0}";
        QTest::newRow("at the boundary") << 300000 << qint64(298500) << empty << quint64(1);
        QTest::newRow("a ms short") << 300000 << qint64(298499) << empty << quint64(0);
        QTest::newRow("timeout 0") << 0 << qint64(400000) << empty << quint64(0);
        QTest::newRow("with events never") << 300000 << qint64(300000) << QByteArray("{\"events\":[{\"id\":1}]}")
                                           << quint64(0);
    }

    void timeoutCounted()
    {
        QFETCH(int, timeoutMs);
        QFETCH(qint64, durMs);
        QFETCH(QByteArray, body);
        TestDevice device;
        LogCapture log;
        auto service = pushService(device, QStringLiteral("http://127.0.0.1:9/poll"));
        service->tgpushTimeoutMs = timeoutMs;
        service->tgpushLastPollDurMs = durMs;
        service->takeTgpushAnswer(body);
        QTEST(service->tgpushStatTimeout, "timeouts");
        QCOMPARE(service->tgpushStatOk, quint64(1));
        QCOMPARE(log.matching("service: tgpush stats reason=poll_ok ").size(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_push_service.moc"
