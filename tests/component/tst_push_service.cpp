// Push mode: the settings lines and files, the cursor text, the answer scan
// and the request URL as pure helpers; then in the service its start-up, the
// poll cycle against the simulated proxy on loopback, the cursor file and the
// statistics line.

#include <QtTest>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <tuple>
#include <memory>

#include "core/env_file.h"
#include "push/cursor_file.h"
#include "push/env_config.h"
#include "push/events_scan.h"
#include "push/poll_rules.h"
#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/files.h"

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
        // It names its port on its first line.
        if (!m_process.waitForStarted(5000) || !QTest::qWaitFor([this] { return m_process.canReadLine(); }, 5000))
            return false;
        const QByteArray line = m_process.readLine();
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
        QSignalSpy(reply.get(), &QNetworkReply::finished).wait(5000);
        return reply->readAll();
    }
    int waitingPolls()
    {
        return QJsonDocument::fromJson(control(QStringLiteral("/control/stats"))).object().value("waiting").toInt(-1);
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
            return QTest::qWaitFor([&done] { return done; }, 10000);
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
            return QTest::qWaitFor([this] { return sim.waitingPolls() == 1; }, 5000) && service->tgpushPollInFlight();
        }
    };

private slots:
    // line, key and value; no key: the line is skipped. The quotes rule of
    // this dialect; the rest is checked by the settings files' fuzz target.
    void envLine()
    {
        const QList<std::array<QByteArray, 3>> rows {
            {"  TGPUSH_POLL_URL =  http://h/p # remark \r", "TGPUSH_POLL_URL", "http://h/p # remark"},
            {"  # A=b", "", ""}, {"A=\"\"", "A", ""}, {"A=\" x \"", "A", " x "}, {"A=\"http://h", "A", "\"http://h"},
            {"A=\"x'", "A", "\"x'"}};
        for (const auto &[line, key, value] : rows) {
            using Settings = QMap<QString, QString>;
            const Settings expected = key.isEmpty() ? Settings() : Settings {{QString(key), QString(value)}};
            QVERIFY2(envfile::parsePushSettings(line) == expected, line.constData());
        }
    }

    void cursorText()
    {
        const QList<std::tuple<QByteArray, bool, quint64>> rows {
            {"  42 \n", true, 42}, {"0", true, 0}, {"", false, 0}, {"abc", false, 0}, {"+5", false, 0},
            {"-1", false, 0}, {"4 2", false, 0}, {"18446744073709551615", true, ~quint64(0)},
            {"18446744073709551616", false, 0}};
        for (const auto &[content, ok, value] : rows) {
            quint64 out = 0;
            QVERIFY2(push::parseCursorText(content, out) == ok && out == value, content.constData());
        }
    }

    void scan_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<quint64>("since");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("count");
        QTest::addColumn<quint64>("best");
        const int ok = push::EventsScan::Accepted, missing = push::EventsScan::MissingEvents;
        const auto row = [](const char *name, const QByteArray &body, quint64 since, int status, int count,
                            quint64 best) { QTest::newRow(name) << body << since << status << count << best; };
        // One row per outcome; the rest of the scan's rules are checked by its
        // fuzz target against a plain reading of them.
        row("empty array, next_since", "{\"events\":[],\"next_since\":17}", 5, ok, 0, 17);
        row("blank before [", "{\"events\": [{\"id\":9}]}", 0, missing, 0, 0);
        row("unterminated", "{\"events\":[{\"id\":9}", 0, push::EventsScan::UnterminatedEvents, 0, 0);
        row("nested id", "{\"events\":[{\"id\":12,\"m\":{\"id\":40}}]}", 0, ok, 2, 40);
        row("smaller ids keep cursor", "{\"events\":[{\"id\":3},{\"id\":4}],\"next_since\":4}", 10, ok, 2, 10);
    }
    void scan()
    {
        QFETCH(QByteArray, body);
        QFETCH(quint64, since);
        const push::EventsScan result = push::scanEvents(body, since);
        QTEST(int(result.status), "status");
        QTEST(result.count, "count");
        QTEST(result.best, "best");
    }

    void pollUrl_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<quint64>("since");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("url");
        const auto row = [](const char *name, const char *base, quint64 since, int timeoutMs, const char *url) {
            QTest::newRow(name) << QString(base) << since << timeoutMs << QString(url);
        };
        row("no query", "http://h/poll", 0, 0, "http://h/poll?since=0&timeout_ms=0");
        row("query", "http://h/poll?k=1", 42, 300000, "http://h/poll?k=1&since=42&timeout_ms=300000");
        row("ends in ?", "http://h/poll?", 1, 5, "http://h/poll?&since=1&timeout_ms=5");
        row("percent escapes kept", "http://h/a%2Fb%31", 9, 1, "http://h/a%2Fb%31?since=9&timeout_ms=1");
    }
    void pollUrl()
    {
        QFETCH(QString, base);
        QFETCH(quint64, since);
        QFETCH(int, timeoutMs);
        QTEST(push::pollRequestUrl(base, since, timeoutMs), "url");
    }

    void backoff()
    {
        int current = -3;
        for (const int step : {5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000})
            QCOMPARE(current = push::nextBackoffMs(current), step);
    }

    void cursorWriteSurvivesKill()
    {
        // A writer killed at random moments must leave the old or the new
        // cursor, never an empty or cut file.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tgpush_since.txt"));
        QVERIFY(zplatform::writeFileAtomically(path, push::cursorFileContent(42)));
        for (int round = 0; round < 20; ++round) {
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                for (quint64 v = 1;; v = v * 977 % 1000000007)
                    zplatform::writeFileAtomically(path, push::cursorFileContent(v));
            }
            const QDateTime before = QFileInfo(path).lastModified();
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).lastModified() != before, 5000);
            usleep(useconds_t(round * 97 % 500));
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray content = file.readAll();
            quint64 value = 0;
            QVERIFY2(content.endsWith('\n') && push::parseCursorText(content, value), content.constData());
            QVERIFY(content == push::cursorFileContent(value));
        }
    }

    // Files are given by content or kind (placeAt()); empty for no file.
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
        const auto row = [](const char *name, const QByteArrayList &files, const char *url, const QList<int> &numbers,
                            quint64 since, const QByteArrayList &lines, const QByteArray &absent) {
            QTest::newRow(name) << files << QString(url) << numbers << since << lines << absent;
        };
        const auto tried = [](char i, bool exists) {
            return QByteArray("service: tgpush try=$") + i + (exists ? " exists=1" : " exists=0");
        };
        row("no candidate", {"", "", "", ""}, "", defaults, 0, {tried('1', 0), tried('2', 0), tried('3', 0), disabled},
            loaded);
        row("first unreadable, second read", {"<unreadable>", "TGPUSH_POLL_URL=http://h/p\n", "", ""}, "http://h/p",
            defaults, 0,
            {tried('1', 1), "service: tgpush open failed path=$1", tried('2', 1), "service: tgpush config=$2 url=http://h/p"},
            "service: tgpush try=$3");
        row("directory skipped", {"<dir>", "", "TGPUSH_POLL_URL=http://h/3\n", ""}, "http://h/3", defaults, 0,
            {tried('1', 0), tried('2', 0), tried('3', 1), "service: tgpush config=$3 url=http://h/3"},
            "service: tgpush open failed");
        row("quoted empty url, numbers still read",
            {"TGPUSH_POLL_URL=\"\"\nTGPUSH_TIMEOUT_MS=0\nTGPUSH_NOTIFY_COALESCE_MS=\n"
             "TGPUSH_NOTIFY_MIN_INTERVAL_MS=99999999999\n", "", "", ""},
            "", {0, 5000, 5000, 5000}, 0, {tried('1', 1), disabled}, "service: tgpush try=$2");
        row("last duplicate, boundaries",
            {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=2000\nTGPUSH_TIMEOUT_MS=1000\n"
             "TGPUSH_NOTIFY_MIN_INTERVAL_MS=3600000\nTGPUSH_NOTIFY_COALESCE_MS=600000\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=0\n",
             "", "", ""},
            "http://h/n", {1000, 3600000, 600000, 0}, 0, {kMode}, disabled);
        row("out of range and malformed",
            {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=300001\nTGPUSH_NOTIFY_MIN_INTERVAL_MS=3600001\n"
             "TGPUSH_NOTIFY_COALESCE_MS=-1\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=5s\n", "", "", ""},
            "http://h/n", defaults, 0, {kMode}, disabled);
        // Hostile settings files: a FIFO is never opened, a line cut at the size
        // bound is skipped (what bytes that are no text do is the settings
        // files' fuzz target's to check).
        row("settings a fifo", {"<fifo>", "TGPUSH_POLL_URL=http://h/f\n", "", ""}, "http://h/f", defaults, 0,
            {"service: tgpush config=$2 url=http://h/f"}, "service: tgpush config=$1");
        row("oversized settings: cut line dropped",
            {"TGPUSH_POLL_URL=http://h/o\nX=" + QByteArray(2 * 1024 * 1024, 'x') + "\nTGPUSH_TIMEOUT_MS=1\n", "", "", ""},
            "http://h/o", defaults, 0, {kMode}, disabled);
        row("cursor with blanks", {url, "", "", "  42 \n"}, "http://h/s", defaults, 42, {loaded + "=42"}, disabled);
        row("cursor zero", {url, "", "", "0\n"}, "http://h/s", defaults, 0, {loaded + "=0"}, disabled);
        row("cursor a fifo", {url, "", "", "<fifo>"}, "http://h/s", defaults, 0, {kMode}, loaded);
        row("cursor in backend mode", {"", "", "", "7\n"}, "", defaults, 7, {disabled, loaded + "=7"}, kMode);
    }
    void config()
    {
        QFETCH(QByteArrayList, files);
        TestDevice device;
        const QStringList paths {QStringLiteral("data/tgpush_proxy.env"),
                                 QStringLiteral("accounts/1000/shared/misc/nimbrel/tgpush_proxy.env"),
                                 QStringLiteral("accounts/1000/shared/misc/tgpush_proxy.env"), kCursor};
        for (int i = 0; i < paths.size(); ++i)
            QVERIFY(placeAt(device.path(paths[i]), files[i].isEmpty() ? "<none>" : files[i]));

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
            device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(zplatform::nowMs()));
        device.write(QStringLiteral("data/tgpush_proxy.env"), "TGPUSH_POLL_URL=http://127.0.0.1:9/poll\n");
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(log.lines().last(), kMode);
        QCOMPARE(service.cmdSocketFd, -1);
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
        const auto row = [](const char *name, const char *query, const char *fault, int http, const char *line) {
            QTest::newRow(name) << QString(query) << QString(fault) << http << QByteArray(line);
        };
        row("500", "", "kind=status&code=500", 500, "service: tgpush poll failed http=500 err=");
        row("204 is a failure, url with query", "?k=v", "kind=status&code=204", 204,
            "service: tgpush poll failed http=204 err=0 ");
        row("body without events", "", "kind=invalid", 200, "service: tgpush poll invalid json (missing events)");
        row("reset", "", "kind=reset", 0, "service: tgpush poll failed http=0 err=");
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

        // An accepted answer resets the back-off; without events it polls
        // again once a second has passed, as the proxy held it only 200 ms.
        QVERIFY(r.poll(after));
        QCOMPARE(r.service->tgpushStatOk, quint64(1));
        QCOMPARE(after.backoffMs, 0);
        QVERIFY(after.scheduled);
        QCOMPARE(after.delayMs, 1000);
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
        QVERIFY(!s.tgpushPollInFlight() && !s.tgpushReply);
        QVERIFY(r.log.matching("service: tgpush poll failed").isEmpty());
        QCOMPARE(s.tgpushStatErr, quint64(0));
        QVERIFY(s.tgpushPollTimer->isActive());
        const int delay = s.tgpushPollTimer->interval();
        QVERIFY2(delay >= 54000 && delay <= 66000, qPrintable(QString::number(delay)));

        // Still offline when the timer fires: only re-armed, nothing sent.
        s.onTgpushTick();
        QVERIFY(!s.tgpushPollInFlight());
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
        r.device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(zplatform::nowMs()));
        s.onTick();
        QVERIFY(r.log.contains("service: ui_alive_recent=1"));
        QCOMPARE(r.log.matching("service: tgpush poll failed http=0 err=5 ").size(), 1);
        QCOMPARE(s.tgpushStatErr, quint64(1));
        QCOMPARE(r.log.matching("service: tgpush stats reason=poll_error").size(), 1);
        QVERIFY(!s.tgpushPollTimer->isActive());

        // Nothing starts a poll while the UI stays alive.
        emit s.networkConfigManager->onlineStateChanged(true);
        s.onTgpushTick();
        QVERIFY(!s.tgpushPollTimer->isActive() && !s.tgpushPollInFlight());
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
        s.onTgpushTick();
        QNetworkReply *current = s.tgpushReply;
        QVERIFY(current && current != stale);
        stale->abort();
        QCOMPARE(s.tgpushReply.data(), current);
        QVERIFY(s.tgpushPollInFlight());
        QCOMPARE(s.tgpushStatErr, quint64(0));
        QVERIFY(!s.tgpushPollTimer->isActive());
    }

    // A proxy that answers 200 and then streams without end: the answer is
    // taken as it arrives and the poll given up at the 64 MiB cap, with not
    // much more than that let in, and the memory given back.
    void endlessAnswerCut()
    {
        QTcpServer proxy;
        QVERIFY(proxy.listen(QHostAddress::LocalHost));
        qint64 sent = 0;
        bool closed = false;
        const QByteArray chunk(256 * 1024, ' ');
        connect(&proxy, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = proxy.nextPendingConnection();
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n{\"events\":[");
            const auto more = [&, socket] {
                while (socket->bytesToWrite() < chunk.size() && socket->state() == QAbstractSocket::ConnectedState)
                    sent += socket->write(chunk);
            };
            connect(socket, &QTcpSocket::bytesWritten, this, more);
            connect(socket, &QTcpSocket::disconnected, this, [&] { closed = true; });
            more();
        });
        TestDevice device;
        LogCapture log;
        device.write(QStringLiteral("data/tgpush_proxy.env"),
                     "TGPUSH_POLL_URL=http://127.0.0.1:" + QByteArray::number(proxy.serverPort()) + "/poll\n");
        ZunaroHeadlessService s(nullptr);
        s.tgpushPollTimer->stop();
        s.onTgpushTick();
        QTRY_VERIFY_WITH_TIMEOUT(!s.tgpushPollInFlight() && closed, 60000);
        QCOMPARE(log.matching("service: tgpush poll failed http=200 err=").value(0).endsWith(
                     "(answer larger than 67108864 bytes)"),
                 true);
        QVERIFY2(sent <= (64 + 16) * 1024 * 1024, qPrintable(QString::number(sent)));
        QCOMPARE(s.tgpushAnswer.capacity(), 0);
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
        QVERIFY(!s.tgpushPollInFlight());
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
        zplatform::setClockMs(1700000000000);
        ZunaroHeadlessService service(nullptr);
        for (int i = 0; i < advances; ++i) {
            if (i > 0)
                zplatform::advanceClockMs(gapMs);
            service.tgpushSince = quint64(100 + i);
            service.markTgpushSinceDirty();
            if (i == writtenAt) {
                QCOMPARE(device.read(kCursor), QByteArray::number(100 + i) + "\n");
                QVERIFY(!service.tgpushSinceDirty && !service.tgpushSinceFlushTimer->isActive());
            } else {
                QCOMPARE(device.exists(kCursor), writtenAt >= 0 && i > writtenAt);
                QVERIFY(service.tgpushSinceFlushTimer->isActive());
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
        service.onInvoked(invocation(QStringLiteral("com.kvel.zunaro.service.STOP")));
        QTEST(device.read(kCursor), "content");
        QVERIFY(!service.tgpushSinceDirty && !service.tgpushSinceFlushTimer->isActive());
        QCOMPARE(service.tgpushSince, quint64(42));
        QCOMPARE(log.lines(), QList<QByteArray> {"service: invoked action=com.kvel.zunaro.service.STOP"});
    }

    void statsWindow()
    {
        TestDevice device;
        zplatform::setClockMs(1700000000000);
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
            zplatform::advanceClockMs(step.advanceMs);
            log.clear();
            service.maybeLogTgpushStats(step.reason, step.force);
            QCOMPARE(log.lines().size(), step.printed ? 1 : 0);
        }
    }

    // timeout, poll duration, answer, whether it counts as a timeout.
    void timeoutCounted()
    {
        const QByteArray empty = "{\"events\":[],\"next_since\":0}";
        const QList<std::tuple<int, qint64, QByteArray, int>> rows {
            {300000, 298500, empty, 1}, {300000, 298499, empty, 0}, {1000, 0, empty, 1}, {0, 400000, empty, 0},
            {300000, 300000, "{\"events\":[{\"id\":1}]}", 0}};
        for (const auto &[timeoutMs, durMs, body, timeouts] : rows) {
            Rig r;
            QVERIFY(r.start(timeoutMs, QString(), false));
            r.service->tgpushLastPollDurMs = durMs;
            r.service->takeTgpushAnswer(body);
            QCOMPARE(r.service->tgpushStatTimeout, quint64(timeouts));
            QCOMPARE(r.service->tgpushStatOk, quint64(1));
            QCOMPARE(r.log.matching("service: tgpush stats reason=poll_ok ").size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_push_service.moc"
