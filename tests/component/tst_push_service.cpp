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
const QString kCursor = QStringLiteral("data/tgpush_since.txt");

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
    QString pollUrl(const QString &query) const { return QStringLiteral("http://127.0.0.1:%1/poll%2").arg(m_port).arg(query); }
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

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    // A device in push mode with the service's poll timer and tick stopped, so
    // the test drives every poll itself; against a fresh simulated proxy unless
    // told otherwise.
    struct Rig
    {
        TestDevice device;
        ProxySim sim;
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service;

        bool start(int timeoutMs, const QString &query = QString(), bool withProxy = true)
        {
            if (withProxy && !sim.start())
                return false;
            const QString url = withProxy ? sim.pollUrl(query) : QStringLiteral("http://127.0.0.1:9/poll");
            device.write(QStringLiteral("data/tgpush_proxy.env"),
                         "TGPUSH_POLL_URL=" + url.toUtf8() + "\nTGPUSH_TIMEOUT_MS=" + QByteArray::number(timeoutMs) + "\n");
            service = std::make_unique<ZunaroHeadlessService>(nullptr);
            service->tgpushPollTimer->stop();
            service->eventsTailTimer->stop();
            return service->tgpushMode;
        }
        // Waits for the poll in flight to finish; `meanwhile` runs once it is
        // watched.
        bool finish(AfterPoll &after, const std::function<void()> &meanwhile = {})
        {
            QNetworkReply *reply = service->tgpushReply;
            if (!reply)
                return false;
            bool done = false;
            QObject::connect(reply, &QNetworkReply::finished, service.get(), [&] {
                after = {service->tgpushPollTimer->isActive(), service->tgpushPollTimer->interval(),
                         service->tgpushBackoffMs};
                service->tgpushPollTimer->stop();
                done = true;
            });
            if (meanwhile)
                meanwhile();
            QDeadlineTimer deadline(10000);
            while (!done && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return done;
        }
        bool poll(AfterPoll &after)
        {
            service->onTgpushTick();
            return finish(after);
        }
        // Starts a poll and waits until the proxy holds it.
        bool pollHeld()
        {
            service->onTgpushTick();
            QDeadlineTimer deadline(5000);
            while (sim.waitingPolls() != 1 && !deadline.hasExpired())
                QTest::qWait(20);
            return service->tgpushPollInFlight && sim.waitingPolls() == 1;
        }
    };

private slots:
    // Files are given by content; "<dir>", "<fifo>" and "<unreadable>" stand
    // for what they say, an empty string for no file.
    void config_data()
    {
        QTest::addColumn<QByteArrayList>("files"); // data, shared/nimbrel, shared, cursor
        QTest::addColumn<QString>("url");
        QTest::addColumn<QList<int>>("numbers"); // timeout, min interval, coalesce, delay on events
        QTest::addColumn<quint64>("since");
        QTest::addColumn<QByteArrayList>("lines"); // in this order
        QTest::addColumn<QByteArray>("absent");
        const QList<int> defaults {300000, 5000, 5000, 5000};
        const QByteArray disabled = "service: tgpush disabled (missing TGPUSH_POLL_URL)";
        const QByteArray url = "TGPUSH_POLL_URL=http://h/s\n", loaded = "service: tgpush since loaded";
        QTest::newRow("no candidate")
            << QByteArrayList {"", "", "", ""} << "" << defaults << quint64(0)
            << QByteArrayList {"service: tgpush try=$1 exists=0", "service: tgpush try=$2 exists=0",
                               "service: tgpush try=$3 exists=0", disabled}
            << loaded;
        QTest::newRow("first unreadable, second read")
            << QByteArrayList {"<unreadable>", "TGPUSH_POLL_URL=http://h/p\n", "", ""} << "http://h/p" << defaults
            << quint64(0)
            << QByteArrayList {"service: tgpush try=$1 exists=1", "service: tgpush open failed path=$1",
                               "service: tgpush try=$2 exists=1", "service: tgpush config=$2 url=http://h/p"}
            << QByteArray("service: tgpush try=$3");
        QTest::newRow("directory skipped")
            << QByteArrayList {"<dir>", "", "TGPUSH_POLL_URL=http://h/3\n", ""} << "http://h/3" << defaults << quint64(0)
            << QByteArrayList {"service: tgpush try=$1 exists=0", "service: tgpush try=$2 exists=0",
                               "service: tgpush try=$3 exists=1", "service: tgpush config=$3 url=http://h/3"}
            << QByteArray("service: tgpush open failed");
        QTest::newRow("quoted empty url, numbers still read")
            << QByteArrayList {"TGPUSH_POLL_URL=\"\"\nTGPUSH_TIMEOUT_MS=0\nTGPUSH_NOTIFY_COALESCE_MS=\n"
                               "TGPUSH_NOTIFY_MIN_INTERVAL_MS=99999999999\n", "", "", ""} << ""
            << QList<int> {0, 5000, 5000, 5000} << quint64(0)
            << QByteArrayList {"service: tgpush try=$1 exists=1", disabled} << QByteArray("service: tgpush try=$2");
        QTest::newRow("last duplicate, boundaries")
            << QByteArrayList {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=2000\nTGPUSH_TIMEOUT_MS=1000\n"
                               "TGPUSH_NOTIFY_MIN_INTERVAL_MS=3600000\nTGPUSH_NOTIFY_COALESCE_MS=600000\n"
                               "TGPUSH_POLL_DELAY_ON_EVENTS_MS=0\n",
                               "", "", ""}
            << "http://h/n" << QList<int> {1000, 3600000, 600000, 0} << quint64(0) << QByteArrayList {kMode} << disabled;
        QTest::newRow("out of range and malformed")
            << QByteArrayList {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=300001\n"
                               "TGPUSH_NOTIFY_MIN_INTERVAL_MS=3600001\nTGPUSH_NOTIFY_COALESCE_MS=-1\n"
                               "TGPUSH_POLL_DELAY_ON_EVENTS_MS=5s\n",
                               "", "", ""}
            << "http://h/n" << defaults << quint64(0) << QByteArrayList {kMode} << disabled;
        QTest::newRow("cursor with blanks") << QByteArrayList {url, "", "", "  42 \n"} << "http://h/s" << defaults
                                            << quint64(42) << QByteArrayList {loaded + "=42"} << disabled;
        QTest::newRow("cursor zero") << QByteArrayList {url, "", "", "0\n"} << "http://h/s" << defaults << quint64(0)
                                     << QByteArrayList {loaded + "=0"} << disabled;
        QTest::newRow("cursor a fifo") << QByteArrayList {url, "", "", "<fifo>"} << "http://h/s" << defaults
                                       << quint64(0) << QByteArrayList {kMode} << loaded;
        QTest::newRow("cursor in backend mode") << QByteArrayList {"", "", "", "7\n"} << "" << defaults << quint64(7)
                                                << QByteArrayList {disabled, loaded + "=7"} << kMode;
    }
    void config()
    {
        QFETCH(QByteArrayList, files);
        TestDevice device;
        const QStringList paths {QStringLiteral("data/tgpush_proxy.env"),
                                 QStringLiteral("accounts/1000/shared/misc/nimbrel/tgpush_proxy.env"),
                                 QStringLiteral("accounts/1000/shared/misc/tgpush_proxy.env"), kCursor};
        for (int i = 0; i < paths.size(); ++i) {
            const QString path = device.path(paths[i]);
            if (files[i] == "<dir>")
                QVERIFY(QDir().mkpath(path));
            else if (files[i] == "<fifo>")
                QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            else if (files[i] == "<unreadable>") // even for root: a write-only kernel setting
                QVERIFY(QFile::link(QStringLiteral("/proc/sys/vm/compact_memory"), path));
            else if (!files[i].isEmpty())
                QVERIFY(device.write(paths[i], files[i]));
        }

        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QFETCH(QString, url);
        QCOMPARE(service.tgpushPollUrl, url);
        QCOMPARE(service.tgpushMode, !url.isEmpty());
        QTEST((QList<int> {service.tgpushTimeoutMs, service.notifyMinIntervalMs, service.notifyCoalesceMs,
                           service.tgpushPollDelayOnEventsMs}),
              "numbers");
        QTEST(service.tgpushSince, "since");

        const auto expand = [&](QByteArray line) {
            for (int i = 0; i < 3; ++i)
                line.replace("$" + QByteArray::number(i + 1), device.path(paths[i]).toUtf8());
            return line;
        };
        QFETCH(QByteArrayList, lines);
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
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(log.lines().last(), kMode);
        QCOMPARE(service.cmdSocketFd, -1);
        QVERIFY(!service.cmdSocketNotifier);
        QVERIFY(!service.tickTimer->isActive());
        QVERIFY(service.eventsTailTimer->isActive());
        QCOMPARE(service.eventsTailTimer->interval(), 750);
        QCOMPARE(service.tgpushPollTimer->isActive(), !uiAlive);
        if (!uiAlive)
            QCOMPARE(service.tgpushPollTimer->interval(), 0);
    }

    // Each fault, answered five times, then cleared.
    void failuresBackOff_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("line"); // logged for each failure
        QTest::newRow("500") << "" << "kind=status&code=500" << 500
                             << QByteArray("service: tgpush poll failed http=500 err=");
        QTest::newRow("204 is a failure, url with query") << "?k=v" << "kind=status&code=204" << 204
                                                          << QByteArray("service: tgpush poll failed http=204 err=0 ");
        QTest::newRow("body without events") << "" << "kind=invalid" << 200
                                             << QByteArray("service: tgpush poll invalid json (missing events)");
        QTest::newRow("reset") << "" << "kind=reset" << 0 << QByteArray("service: tgpush poll failed http=0 err=");
    }
    void failuresBackOff()
    {
        QFETCH(QString, query);
        QFETCH(QString, fault);
        QFETCH(QByteArray, line);
        Rig r;
        r.device.write(kCursor, "12\n");
        QVERIFY(r.start(200, query));
        // Until cleared: the network stack may resend a request once when a
        // reused connection breaks, which would use up a counted fault.
        r.sim.control(QStringLiteral("/control/fault?") + fault + QStringLiteral("&times=0"));
        AfterPoll after;
        for (const int wait : {5000, 10000, 20000, 40000, 80000}) {
            QVERIFY(r.poll(after));
            QCOMPARE(after.backoffMs, wait);
            QVERIFY2(after.scheduled && jitteredAround(after.delayMs, wait), qPrintable(QString::number(after.delayMs)));
            QTEST(r.service->tgpushLastHttpStatus, "httpStatus");
        }
        QCOMPARE(r.log.matching(line).size(), 5);
        QCOMPARE(r.service->tgpushStatErr, quint64(5));
        QCOMPARE(r.service->tgpushStatOk, quint64(0));
        // The first request, and the statistics line written once before it.
        const QByteArray stats = r.sim.control(QStringLiteral("/control/stats"));
        QVERIFY2(stats.contains("\"last_since\":12,\"last_timeout_ms\":200"), stats.constData());
        QCOMPARE(r.log.matching("service: tgpush stats reason=first_poll").size(), 1);
        QVERIFY(r.log.contains("service: tgpush stats reason=first_poll started=1 ok=0 timeout=0 err=0 events=0 "
                               "hub=0 since=12 backoff_ms=0 last_http=0 last_net=0 last_dur_ms=0 timeout_ms=200"));
        r.sim.control(QStringLiteral("/control/fault?kind=none"));

        // An accepted answer resets the back-off and, without events, polls
        // again at once.
        QVERIFY(r.poll(after));
        QCOMPARE(r.service->tgpushStatOk, quint64(1));
        QCOMPARE(after.backoffMs, 0);
        QVERIFY(after.scheduled);
        QCOMPARE(after.delayMs, 0);
    }

    void eventsAdvanceCursor()
    {
        Rig r;
        QVERIFY(r.start(5000));
        r.service->onTgpushTick();
        AfterPoll after;
        QVERIFY(r.finish(after, [&] {
            QTRY_COMPARE_WITH_TIMEOUT(r.sim.waitingPolls(), 1, 5000);
            r.sim.control(QStringLiteral("/control/publish?count=2"));
        }));
        ZunaroHeadlessService &s = *r.service;
        QCOMPARE(s.tgpushSince, quint64(2));
        QCOMPARE(s.tgpushStatEvents, quint64(2));
        QCOMPARE(s.pendingNotifyCount, quint64(2));
        QVERIFY(s.tgpushSinceDirty && s.tgpushSinceFlushTimer->isActive());
        QVERIFY(jitteredAround(after.delayMs, 5000));
        s.onTgpushSinceFlush();
        QCOMPARE(r.device.read(kCursor), QByteArray("2\n"));
    }

    void offlineDuringPoll()
    {
        Rig r;
        QVERIFY(r.start(60000));
        ZunaroHeadlessService &s = *r.service;
        s.tgpushBackoffMs = 20000;
        QVERIFY(r.pollHeld());
        emit s.networkConfigManager->onlineStateChanged(false);
        QVERIFY(!s.tgpushPollInFlight && !s.tgpushReply);
        QVERIFY(r.log.matching("service: tgpush poll failed").isEmpty());
        QCOMPARE(s.tgpushStatErr, quint64(0));
        QVERIFY(s.tgpushPollTimer->isActive());
        const int delay = s.tgpushPollTimer->interval();
        QVERIFY2(delay >= 54000 && delay <= 66000, qPrintable(QString::number(delay)));

        // Still offline when the timer fires: only re-armed, nothing sent.
        s.onTgpushTick();
        QVERIFY(!s.tgpushPollInFlight);
        QCOMPARE(s.tgpushStatStarted, quint64(1));

        emit s.networkConfigManager->onlineStateChanged(true);
        QCOMPARE(s.tgpushBackoffMs, 0);
        QVERIFY(s.tgpushPollTimer->isActive());
        QCOMPARE(s.tgpushPollTimer->interval(), 0);
        QVERIFY(r.log.contains("service: net onlineStateChanged=0"));
        QVERIFY(r.log.contains("service: net onlineStateChanged=1"));
    }

    void uiAliveAbortsPoll()
    {
        Rig r;
        QVERIFY(r.start(60000));
        ZunaroHeadlessService &s = *r.service;
        QVERIFY(r.pollHeld());
        r.device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(platform::nowMs()));
        s.onTick();
        QVERIFY(r.log.contains("service: ui_alive_recent=1"));
        QCOMPARE(r.log.matching("service: tgpush poll failed http=0 err=5 ").size(), 1);
        QCOMPARE(s.tgpushStatErr, quint64(1));
        QCOMPARE(r.log.matching("service: tgpush stats reason=poll_error").size(), 1);
        QVERIFY(!s.tgpushPollTimer->isActive());

        // Nothing starts a poll while the UI stays alive.
        emit s.networkConfigManager->onlineStateChanged(true);
        s.onTgpushTick();
        QVERIFY(!s.tgpushPollTimer->isActive() && !s.tgpushPollInFlight);
        QCOMPARE(s.tgpushStatStarted, quint64(1));

        QVERIFY(QFile::remove(r.device.path(QStringLiteral("data/ui_alive.txt"))));
        s.onTick();
        QVERIFY(s.tgpushPollTimer->isActive());
        QCOMPARE(s.tgpushPollTimer->interval(), 0);
    }

    void staleReplyIgnored()
    {
        Rig r;
        QVERIFY(r.start(60000));
        ZunaroHeadlessService &s = *r.service;
        s.onTgpushTick();
        QPointer<QNetworkReply> stale = s.tgpushReply;
        // Lose track of it without aborting, then start the next poll.
        s.tgpushReply = nullptr;
        s.tgpushPollInFlight = false;
        s.onTgpushTick();
        QNetworkReply *current = s.tgpushReply;
        QVERIFY(current && current != stale);
        stale->abort();
        QCOMPARE(s.tgpushReply, current);
        QVERIFY(s.tgpushPollInFlight);
        QCOMPARE(s.tgpushStatErr, quint64(0));
        QVERIFY(!s.tgpushPollTimer->isActive());
    }

    void deadlineEndsSilentPoll()
    {
        Rig r;
        QVERIFY(r.start(1000));
        ZunaroHeadlessService &s = *r.service;
        r.sim.control(QStringLiteral("/control/fault?kind=hang"));
        QVERIFY(r.pollHeld());
        QVERIFY(s.tgpushPollDeadlineTimer->isActive());
        QCOMPARE(s.tgpushPollDeadlineTimer->interval(), 31000);
        s.onTgpushPollDeadline();
        QCOMPARE(r.log.matching("service: tgpush poll failed http=0 err=4 (no answer within 31000 ms)").size(), 1);
        QVERIFY(!s.tgpushPollInFlight);
        QCOMPARE(s.tgpushStatErr, quint64(1));
        QCOMPARE(s.tgpushLastNetError, 4);
        QCOMPARE(s.tgpushBackoffMs, 5000);
        QVERIFY(s.tgpushPollTimer->isActive());
        QVERIFY(!s.tgpushPollDeadlineTimer->isActive());
        r.sim.control(QStringLiteral("/control/fault?kind=none"));
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
        ZunaroHeadlessService service(nullptr);
        for (int i = 0; i < advances; ++i) {
            if (i > 0)
                platform::advanceClockMs(gapMs);
            service.tgpushSince = quint64(100 + i);
            service.markTgpushSinceDirty();
            if (i == writtenAt) {
                QCOMPARE(device.read(kCursor), QByteArray::number(100 + i) + "\n");
                QVERIFY(!service.tgpushSinceDirty && !service.tgpushSinceFlushTimer->isActive());
            } else {
                QCOMPARE(device.exists(kCursor), writtenAt >= 0 && i > writtenAt);
                QVERIFY(service.tgpushSinceFlushTimer->isActive());
                QCOMPARE(service.tgpushSinceFlushTimer->interval(), 5000);
            }
        }
        service.onTgpushSinceFlush();
        QCOMPARE(device.read(kCursor), QByteArray::number(100 + advances - 1) + "\n");
        QVERIFY(!service.tgpushSinceDirty);
        QCOMPARE(service.tgpushSinceDirtyMs, qint64(0));
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
        ZunaroHeadlessService service(nullptr);
        if (!writable) {
            // Below a regular file nothing can be created, not even by root.
            device.write(QStringLiteral("blocker"), "x");
            service.dataDir = device.path(QStringLiteral("blocker/data"));
        }
        service.tgpushSince = 42;
        if (dirty)
            service.markTgpushSinceDirty();
        log.clear();
        bb::system::InvokeRequest stop;
        stop.setAction(QStringLiteral("com.kvel.zunaro.service.STOP"));
        service.onInvoked(stop);
        QTEST(device.read(kCursor), "content");
        QVERIFY(!service.tgpushSinceDirty && !service.tgpushSinceFlushTimer->isActive());
        QCOMPARE(service.tgpushSince, quint64(42));
        QCOMPARE(log.lines(), QList<QByteArray> {"service: invoked action=com.kvel.zunaro.service.STOP"});
    }

    void statsWindow()
    {
        TestDevice device;
        platform::setClockMs(1700000000000);
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        const struct {
            qint64 advanceMs;
            const char *reason;
            bool force;
            bool printed;
        } steps[] = {
            {0, "poll_ok", false, true},          // the first line
            {60000, "poll_ok", false, false},     // within the window
            {1739999, "poll_ok", false, false},   // 1799999 after the first
            {1, "poll_ok", false, true},          // 30 minutes
            {1000, "poll_error", true, true},     // forced, restarts the window
            {600000, "poll_ok", false, false},    // 10 minutes after it
            {-3600000, "poll_ok", false, false},  // the clock went back
            {4800000, "poll_ok", false, true},    // 30 minutes after the forced line
        };
        for (const auto &step : steps) {
            platform::advanceClockMs(step.advanceMs);
            log.clear();
            service.maybeLogTgpushStats(step.reason, step.force);
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
        QTest::newRow("timeout shorter than the margin") << 1000 << qint64(0) << empty << quint64(1);
        QTest::newRow("timeout 0") << 0 << qint64(400000) << empty << quint64(0);
        QTest::newRow("with events never") << 300000 << qint64(300000) << QByteArray("{\"events\":[{\"id\":1}]}")
                                           << quint64(0);
    }
    void timeoutCounted()
    {
        QFETCH(int, timeoutMs);
        QFETCH(qint64, durMs);
        QFETCH(QByteArray, body);
        Rig r;
        QVERIFY(r.start(timeoutMs, QString(), false));
        r.service->tgpushLastPollDurMs = durMs;
        r.service->takeTgpushAnswer(body);
        QTEST(r.service->tgpushStatTimeout, "timeouts");
        QCOMPARE(r.service->tgpushStatOk, quint64(1));
        QCOMPARE(r.log.matching("service: tgpush stats reason=poll_ok ").size(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_push_service.moc"
