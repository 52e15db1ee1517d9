// Push mode: the request URL, the back-off and the cursor file's atomic write;
// then in the service its settings files and start-up, the poll cycle against
// the simulated proxy on loopback, the cursor file and the statistics line.
// The settings lines, the cursor text and the answer scan are left to their
// fuzz targets.

#include <QtTest>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <tuple>
#include <memory>

#include "push/cursor_file.h"
#include "push/env_config.h"
#include "push/poll_rules.h"
#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/files.h"

namespace {
const QByteArray kMode = "service: tgpush mode enabled; TDLib backend disabled";
const QString kCursor = QStringLiteral("data/tgpush_since.txt");
using State = QList<qint64>;

bool jitteredAround(int delayMs, int baseMs)
{
    const int spread = qBound(250, baseMs / 10, 30000);
    return delayMs >= qMax(0, baseMs - spread) && delayMs <= baseMs + spread;
}

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    static int armed(const QTimer *timer) { return timer->isActive() ? timer->interval() : -1; }

    // The poll cycle's state, compared whole: {in flight, next poll in ms (-1:
    // none), back-off, polls started, ok, failed}. A next poll within the jitter
    // around `jitterBaseMs` reads as that base.
    static State pollState(const ZunaroHeadlessService &s, int jitterBaseMs = -1)
    {
        int next = armed(s.tgpushPollTimer);
        if (jitterBaseMs >= 0 && next >= 0 && jitteredAround(next, jitterBaseMs))
            next = jitterBaseMs;
        return {s.tgpushPollInFlight(), next, s.tgpushBackoffMs, qint64(s.tgpushStatStarted), qint64(s.tgpushStatOk),
                qint64(s.tgpushStatErr)};
    }

    // A device in push mode, the service's poll timer and tick stopped so the
    // test drives every poll itself, against the simulated proxy (ended with
    // the rig), or else whatever is at `port`.
    struct Rig
    {
        TestDevice device;
        QProcess proxy;
        int port = 9; // discard: nothing answers
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service;

        ~Rig()
        {
            proxy.kill(); // nothing of it is kept
            proxy.waitForFinished(5000);
        }
        bool start(int timeoutMs, const QString &query = QString(), bool withProxy = true)
        {
            if (withProxy) {
                proxy.start(builtTool(QStringLiteral("tgpush_proxy_sim")), {});
                // It names its port on its first line.
                if (!QTest::qWaitFor([this] { return proxy.canReadLine(); }, 5000))
                    return false;
                const QByteArray line = proxy.readLine();
                port = line.mid(line.lastIndexOf(':') + 1).trimmed().toInt();
            }
            device.write(QStringLiteral("data/tgpush_proxy.env"),
                         QStringLiteral("TGPUSH_POLL_URL=http://127.0.0.1:%1/poll%2\nTGPUSH_TIMEOUT_MS=%3\n")
                             .arg(port).arg(query).arg(timeoutMs).toUtf8());
            service = std::make_unique<ZunaroHeadlessService>(nullptr);
            service->tgpushPollTimer->stop();
            service->eventsTailTimer->stop();
            return service->tgpushMode;
        }
        // A request to the proxy's control side, answered within a bounded wait.
        QByteArray control(const QString &pathAndQuery)
        {
            QNetworkAccessManager manager;
            std::unique_ptr<QNetworkReply> reply(manager.get(
                QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/control/%2").arg(port).arg(pathAndQuery)))));
            QSignalSpy(reply.get(), &QNetworkReply::finished).wait(5000);
            return reply->readAll();
        }
        // Starts a poll, waits for it to finish and gives the state right then,
        // before the event loop could fire the next poll.
        bool poll(State &after, int jitterBaseMs)
        {
            service->onTgpushTick();
            QNetworkReply *reply = service->tgpushReply;
            bool done = false;
            if (reply) {
                QObject::connect(reply, &QNetworkReply::finished, service.get(), [&] {
                    after = pollState(*service, jitterBaseMs);
                    service->tgpushPollTimer->stop();
                    done = true;
                });
            }
            return QTest::qWaitFor([&done] { return done; }, 10000);
        }
        // Starts a poll and waits until the proxy holds it.
        bool pollHeld()
        {
            service->onTgpushTick();
            const auto held = [this] { return QJsonDocument::fromJson(control("stats")).object().value("waiting") == 1; };
            return QTest::qWaitFor(held, 5000) && service->tgpushPollInFlight();
        }
    };

private slots:
    void pollUrl()
    {
        const QList<std::tuple<QString, quint64, int, QString>> rows {
            {"http://h/poll", 0, 0, "http://h/poll?since=0&timeout_ms=0"},
            {"http://h/poll?k=1", 42, 300000, "http://h/poll?k=1&since=42&timeout_ms=300000"},
            {"http://h/poll?", 1, 5, "http://h/poll?&since=1&timeout_ms=5"},
            {"http://h/a%2Fb%31", 9, 1, "http://h/a%2Fb%31?since=9&timeout_ms=1"}}; // escapes kept
        for (const auto &[base, since, timeoutMs, url] : rows)
            QCOMPARE(push::pollRequestUrl(base, since, timeoutMs), url);
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
            QVERIFY2(push::parseCursorText(content, value) && content == push::cursorFileContent(value),
                     content.constData());
        }
    }

    // The settings files (data, shared/nimbrel, shared) and the cursor file,
    // by content or kind (placeAt()), "" for none; the "tgpush" log lines,
    // whole, with $1..$3 for the settings files' paths.
    void config_data()
    {
        QTest::addColumn<QByteArrayList>("files");
        QTest::addColumn<QString>("url");
        QTest::addColumn<State>("numbers"); // timeout, min interval, coalesce, delay on events, cursor
        QTest::addColumn<QByteArrayList>("lines");
        const State defaults {300000, 5000, 5000, 5000, 0};
        const QByteArray disabled = "service: tgpush disabled (missing TGPUSH_POLL_URL)";
        const QByteArray url = "TGPUSH_POLL_URL=http://h/s\n";
        const auto row = [](const char *name, const QByteArrayList &files, const char *url, const State &numbers,
                            const QByteArrayList &lines) { QTest::newRow(name) << files << QString(url) << numbers << lines; };
        const auto tried = [](char i, bool exists) {
            return QByteArray("service: tgpush try=$") + i + (exists ? " exists=1" : " exists=0");
        };
        const auto first = [&](const QByteArray &url, const QByteArrayList &more = {}) {
            return QByteArrayList {tried('1', 1), "service: tgpush config=$1 url=" + url} + more + QByteArrayList {kMode};
        };
        row("first unreadable, second read", {"<unreadable>", "TGPUSH_POLL_URL=http://h/p\n", "", ""}, "http://h/p",
            defaults,
            {tried('1', 1), "service: tgpush open failed path=$1", tried('2', 1),
             "service: tgpush config=$2 url=http://h/p", kMode});
        row("directory skipped", {"<dir>", "", "TGPUSH_POLL_URL=http://h/3\n", ""}, "http://h/3", defaults,
            {tried('1', 0), tried('2', 0), tried('3', 1), "service: tgpush config=$3 url=http://h/3", kMode});
        row("quoted empty url, numbers still read",
            {"TGPUSH_POLL_URL=\"\"\nTGPUSH_TIMEOUT_MS=0\nTGPUSH_NOTIFY_COALESCE_MS=\n"
             "TGPUSH_NOTIFY_MIN_INTERVAL_MS=99999999999\n", "", "", ""},
            "", {0, 5000, 5000, 5000, 0}, {tried('1', 1), disabled});
        row("last duplicate, boundaries",
            {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=2000\nTGPUSH_TIMEOUT_MS=1000\n"
             "TGPUSH_NOTIFY_MIN_INTERVAL_MS=3600000\nTGPUSH_NOTIFY_COALESCE_MS=600000\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=0\n",
             "", "", ""},
            "http://h/n", {1000, 3600000, 600000, 0, 0}, first("http://h/n"));
        row("out of range and malformed",
            {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=300001\nTGPUSH_NOTIFY_MIN_INTERVAL_MS=3600001\n"
             "TGPUSH_NOTIFY_COALESCE_MS=-1\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=5s\n", "", "", ""},
            "http://h/n", defaults, first("http://h/n"));
        // The line cut at the size bound is skipped.
        row("oversized settings: cut line dropped",
            {"TGPUSH_POLL_URL=http://h/o\nX=" + QByteArray(2 * 1024 * 1024, 'x') + "\nTGPUSH_TIMEOUT_MS=1\n", "", "", ""},
            "http://h/o", defaults, first("http://h/o"));
        row("cursor with blanks", {url, "", "", "  42 \n"}, "http://h/s", {300000, 5000, 5000, 5000, 42},
            first("http://h/s", {"service: tgpush since loaded=42"}));
        row("cursor a fifo", {url, "", "", "<fifo>"}, "http://h/s", defaults, first("http://h/s"));
        row("cursor in backend mode", {"", "", "", "7\n"}, "", {300000, 5000, 5000, 5000, 7},
            {tried('1', 0), tried('2', 0), tried('3', 0), disabled, "service: tgpush since loaded=7"});
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
        QTEST(service.tgpushPollUrl, "url");
        QTEST((State {service.tgpushTimeoutMs, service.notifyMinIntervalMs, service.notifyCoalesceMs,
                      service.tgpushPollDelayOnEventsMs, qint64(service.tgpushSince)}),
              "numbers");
        QFETCH(QByteArrayList, lines);
        for (QByteArray &line : lines) {
            for (int i = 0; i < 3; ++i)
                line.replace("$" + QByteArray::number(i + 1), device.path(paths[i]).toUtf8());
        }
        QCOMPARE(log.matching("service: tgpush "), lines);
    }

    void startup()
    {
        for (const bool uiAlive : {false, true}) {
            TestDevice device;
            if (uiAlive)
                device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(zplatform::nowMs()));
            device.write(QStringLiteral("data/tgpush_proxy.env"), "TGPUSH_POLL_URL=http://127.0.0.1:9/poll\n");
            ZunaroHeadlessService s(nullptr);
            // No command socket, no tick, the tail at its pace, a poll at once
            // unless the UI is alive.
            QCOMPARE((State {s.cmdSocketFd, armed(s.tickTimer), armed(s.eventsTailTimer), armed(s.tgpushPollTimer)}),
                     (State {-1, -1, 750, uiAlive ? -1 : 0}));
        }
    }

    // Each fault (a query for the proxy's control) answered five times, each
    // logging `line`, then cleared; the last with a poll URL that has a query.
    void failuresBackOff()
    {
        const QList<std::tuple<QString, int, QByteArray>> rows {
            {"kind=status&code=500", 500, "service: tgpush poll failed http=500 err="},
            {"kind=invalid", 200, "service: tgpush poll invalid json (missing events)"},
            {"kind=reset", 0, "service: tgpush poll failed http=0 err="},
            {"kind=status&code=204", 204, "service: tgpush poll failed http=204 err=0 "}}; // 204 is a failure
        for (const auto &[fault, httpStatus, line] : rows) {
            Rig r;
            r.device.write(kCursor, "12\n");
            QVERIFY(r.start(200, httpStatus == 204 ? QStringLiteral("?k=v") : QString()));
            // Until cleared: the network stack may resend a request once when
            // a reused connection breaks, which would use up a counted fault.
            r.control("fault?" + fault + "&times=0");
            State after;
            for (const int wait : {5000, 10000, 20000, 40000, 80000}) {
                QVERIFY(r.poll(after, wait));
                const qint64 n = r.service->tgpushStatStarted;
                QCOMPARE(after, (State {0, wait, wait, n, 0, n}));
                QCOMPARE(r.service->tgpushLastHttpStatus, httpStatus);
            }
            QCOMPARE(r.log.matching(line).size(), 5);
            // The first request, and the statistics line written once before it.
            const QByteArray stats = r.control("stats");
            QVERIFY2(stats.contains("\"last_since\":12,\"last_timeout_ms\":200"), stats.constData());
            QCOMPARE(r.log.matching("service: tgpush stats reason=first_poll"),
                     QList<QByteArray> {"service: tgpush stats reason=first_poll started=1 ok=0 timeout=0 err=0 "
                                        "events=0 hub=0 since=12 backoff_ms=0 last_http=0 last_net=0 last_dur_ms=0 "
                                        "timeout_ms=200"});
            r.control("fault?kind=none");
            // An accepted answer resets the back-off; without events it polls
            // again once a second has passed, as the proxy held it only 200 ms.
            QVERIFY(r.poll(after, -1));
            QCOMPARE(after, (State {0, 1000, 0, 6, 1, 5}));
        }
    }

    void eventsAdvanceCursor()
    {
        Rig r;
        QVERIFY(r.start(5000));
        r.control("publish?count=2");
        State after;
        QVERIFY(r.poll(after, 5000));
        ZunaroHeadlessService &s = *r.service;
        QCOMPARE(after, (State {0, 5000, 0, 1, 1, 0}));
        // since, events, pending notifications, cursor dirty, its flush armed.
        QCOMPARE((State {qint64(s.tgpushSince), qint64(s.tgpushStatEvents), qint64(s.pendingNotifyCount),
                         s.tgpushSinceDirty, s.tgpushSinceFlushTimer->isActive()}),
                 (State {2, 2, 2, 1, 1}));
        s.onTgpushSinceFlush();
        QCOMPARE(r.device.read(kCursor), QByteArray("2\n"));
    }

    // Going offline drops the poll silently and retries in about a minute;
    // still offline then, only the timer is re-armed; back online, a poll at
    // once with the back-off reset.
    void offlineDuringPoll()
    {
        Rig r;
        QVERIFY(r.start(60000));
        ZunaroHeadlessService &s = *r.service;
        s.tgpushBackoffMs = 20000;
        QVERIFY(r.pollHeld());
        emit s.networkConfigManager->onlineStateChanged(false);
        QCOMPARE(pollState(s, 60000), (State {0, 60000, 20000, 1, 0, 0}));
        s.onTgpushTick();
        QCOMPARE(pollState(s, 60000), (State {0, 60000, 20000, 1, 0, 0}));
        emit s.networkConfigManager->onlineStateChanged(true);
        QCOMPARE(pollState(s), (State {0, 0, 0, 1, 0, 0}));
        QCOMPARE(r.log.matching("service: net onlineStateChanged"),
                 (QList<QByteArray> {"service: net onlineStateChanged=0", "service: net onlineStateChanged=1"}));
    }

    // The UI coming alive ends the poll in flight as a failure; nothing
    // starts one while it stays alive, and its going away polls at once.
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
        QCOMPARE(r.log.matching("service: tgpush stats reason=poll_error").size(), 1);
        QCOMPARE(pollState(s), (State {0, -1, 5000, 1, 0, 1}));
        emit s.networkConfigManager->onlineStateChanged(true);
        s.onTgpushTick();
        QCOMPARE(pollState(s), (State {0, -1, 5000, 1, 0, 1}));
        QVERIFY(QFile::remove(r.device.path(QStringLiteral("data/ui_alive.txt"))));
        s.onTick();
        QCOMPARE(armed(s.tgpushPollTimer), 0);
    }

    // A reply the service lost track of may not end the poll now in flight.
    void staleReplyIgnored()
    {
        Rig r;
        QVERIFY(r.start(60000));
        ZunaroHeadlessService &s = *r.service;
        s.onTgpushTick();
        QPointer<QNetworkReply> stale = s.tgpushReply;
        s.tgpushReply = nullptr;
        s.onTgpushTick();
        QNetworkReply *current = s.tgpushReply;
        QVERIFY(current && current != stale);
        stale->abort();
        QCOMPARE(s.tgpushReply.data(), current);
        QCOMPARE(pollState(s), (State {1, -1, 0, 2, 0, 0}));
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
        Rig r;
        r.port = proxy.serverPort();
        QVERIFY(r.start(300000, QString(), false));
        ZunaroHeadlessService &s = *r.service;
        s.onTgpushTick();
        QTRY_VERIFY_WITH_TIMEOUT(!s.tgpushPollInFlight() && closed, 60000);
        QVERIFY(r.log.matching("service: tgpush poll failed http=200 err=").value(0).endsWith(
            "(answer larger than 67108864 bytes)"));
        QVERIFY2(sent <= (64 + 16) * 1024 * 1024, qPrintable(QString::number(sent)));
        QCOMPARE(s.tgpushAnswer.capacity(), 0);
    }

    // A proxy that holds the poll past the timeout and a grace: given up as a
    // timed-out failure.
    void deadlineEndsSilentPoll()
    {
        Rig r;
        QVERIFY(r.start(1000));
        ZunaroHeadlessService &s = *r.service;
        r.control("fault?kind=hang");
        QVERIFY(r.pollHeld());
        QCOMPARE(armed(s.tgpushPollDeadlineTimer), 31000);
        s.onTgpushPollDeadline();
        QCOMPARE(r.log.matching("service: tgpush poll failed http=0 err=4 (no answer within 31000 ms)").size(), 1);
        // ... and the network error, the deadline timer.
        QCOMPARE(pollState(s, 5000) << s.tgpushLastNetError << armed(s.tgpushPollDeadlineTimer),
                 (State {0, 5000, 5000, 1, 0, 1, 4, -1}));
        r.control("fault?kind=none");
    }

    // Advances of the cursor a gap apart: written once they settle, or at once
    // when the oldest unwritten one is a minute old (index `writtenAt`).
    void cursorTiming()
    {
        for (const auto &[gapMs, advances, writtenAt] : {std::array<int, 3> {1000, 3, -1}, {4000, 17, 15}}) {
            TestDevice device;
            zplatform::setClockMs(1700000000000);
            ZunaroHeadlessService service(nullptr);
            for (int i = 0; i < advances; ++i) {
                if (i > 0)
                    zplatform::advanceClockMs(gapMs);
                service.tgpushSince = quint64(100 + i);
                service.markTgpushSinceDirty();
                const QByteArray expected = i == writtenAt ? QByteArray::number(100 + i) + "\n"
                    : writtenAt >= 0 && i > writtenAt  ? QByteArray::number(100 + writtenAt) + "\n"
                                                       : QByteArray();
                QCOMPARE(device.read(kCursor), expected);
                QCOMPARE((State {service.tgpushSinceDirty, service.tgpushSinceFlushTimer->isActive()}),
                         (State {i != writtenAt, i != writtenAt}));
            }
            service.onTgpushSinceFlush();
            QCOMPARE(device.read(kCursor), QByteArray::number(100 + advances - 1) + "\n");
            QCOMPARE((State {service.tgpushSinceDirty, service.tgpushSinceDirtyMs}), (State {0, 0}));
        }
    }

    // STOP writes a dirty cursor, and only a dirty one; an unwritable folder
    // is not logged about either.
    void cursorOnStop()
    {
        for (const auto &[dirty, writable, content] : {std::tuple<bool, bool, QByteArray> {true, true, "42\n"},
                                                       {false, true, ""}, {true, false, ""}}) {
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
            QCOMPARE(device.read(kCursor), content);
            QCOMPARE((State {service.tgpushSinceDirty, service.tgpushSinceFlushTimer->isActive(),
                             qint64(service.tgpushSince)}),
                     (State {0, 0, 42}));
            QCOMPARE(log.lines(), QList<QByteArray> {"service: invoked action=com.kvel.zunaro.service.STOP"});
        }
    }

    // At most one statistics line in 30 minutes, unless forced; a forced one
    // starts the window again, and a clock that goes back prints nothing.
    void statsWindow()
    {
        TestDevice device;
        zplatform::setClockMs(1700000000000);
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        const QList<std::pair<qint64, bool>> steps {{0, false},       {60000, false}, {1739999, false},
                                                    {1, false},       {1000, true},   {600000, false},
                                                    {-3600000, false}, {4800000, false}};
        QList<int> printed;
        for (const auto &[advanceMs, force] : steps) {
            zplatform::advanceClockMs(advanceMs);
            log.clear();
            service.maybeLogTgpushStats(force ? "poll_error" : "poll_ok", force);
            printed << int(log.lines().size());
        }
        QCOMPARE(printed, (QList<int> {1, 0, 0, 1, 1, 0, 0, 1}));
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
            QCOMPARE((State {qint64(r.service->tgpushStatTimeout), qint64(r.service->tgpushStatOk),
                             r.log.matching("service: tgpush stats reason=poll_ok ").size()}),
                     (State {timeouts, 1, 1}));
        }
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_push_service.moc"
