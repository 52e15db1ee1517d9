// Push mode. The settings lines, cursor text and answer scan have fuzz targets.

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "push/cursor_file.h"
#include "push/env_config.h"
#include "push/poll_rules.h"
#include "serviceprocess.h"
#include "servicerig.h"
#include "zunaro/files.h"

namespace {
const QByteArray kMode = "service: tgpush mode enabled; TDLib backend disabled";
const QString kCursor = QStringLiteral("data/tgpush_since.txt");

// Field names of the states the tests compare with named().
const char *const kSettings = "timeout minInterval coalesce delayOnEvents since";
const char *const kTimers = "cmdSocket tick tail pollTimer";
const char *const kAnswer = "timeouts events since pending dirty nextPoll statsLines";
QByteArray poll(const QList<qint64> &v) { return named("inFlight nextPoll backoff started ok failed http", v); }

// A delay within the jitter around a poll cycle delay reads as that delay.
int unjittered(int delayMs)
{
    for (const int base : {5000, 10000, 20000, 40000, 60000, 80000, 160000, 300000})
        delayMs = qAbs(delayMs - base) <= base / 10 ? base : delayMs;
    return delayMs;
}

} // namespace

class PushServiceTest : public QObject
{
    Q_OBJECT

    static int armed(const QTimer *timer) { return timer->isActive() ? timer->interval() : -1; }

    // The next poll is -1 when none is armed.
    static QByteArray pollState(ServiceProbe &s)
    {
        return poll({s.tgpushPollInFlight(), unjittered(armed(s.push.tgpushPollTimer)), s.push.tgpushBackoffMs,
                     qint64(s.push.tgpushStatStarted), qint64(s.push.tgpushStatOk), qint64(s.push.tgpushStatErr),
                     s.push.tgpushLastHttpStatus});
    }

    // The service in push mode, its timers stopped: the test drives every poll.
    struct Rig
    {
        explicit Rig(int proxyPort = 0) : port(proxyPort) {} // 0: start the simulated proxy
        int port;
        TestDevice device;
        QProcess proxy;
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service;
        std::optional<ServiceProbe> s;

        bool start(int timeoutMs, const QString &query = QString())
        {
            if (port == 0 && (port = startProxySim(proxy)) == 0)
                return false;
            device.write(QStringLiteral("data/tgpush_proxy.env"),
                         QStringLiteral("TGPUSH_POLL_URL=http://127.0.0.1:%1/poll%2\nTGPUSH_TIMEOUT_MS=%3\n")
                             .arg(port).arg(query).arg(timeoutMs).toUtf8());
            service = std::make_unique<ZunaroHeadlessService>(nullptr);
            s.emplace(*service);
            s->push.tgpushPollTimer->stop();
            s->tail.eventsTailTimer->stop();
            return s->push.tgpushMode;
        }
        QByteArray control(const QString &request) { return proxyControl(port, request); }
        // Polls and gives the state once done (the next poll is a second away).
        QByteArray poll()
        {
            s->onTgpushTick();
            return QTest::qWaitFor([this] { return !s->tgpushPollInFlight(); }, 10000) ? pollState(*s) : QByteArray();
        }
        // Starts a poll and waits until the proxy has it (and holds it).
        bool pollHeld()
        {
            s->onTgpushTick();
            const qint64 started = s->push.tgpushStatStarted;
            const auto held = [&] { return QJsonDocument::fromJson(control("stats"))["polls"].toInteger() == started; };
            return QTest::qWaitFor(held, 5000) && s->tgpushPollInFlight();
        }
    };

private slots:
    // A writer killed at random leaves the old cursor or the new, no cut file.
    void cursorWriteSurvivesKill()
    {
        TestDevice device;
        const QString path = device.path(kCursor);
        for (int round = 0; round < 20; ++round) {
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                for (quint64 v = 1;; v = v * 977 % 1000000007)
                    zplatform::writeFileAtomically(path, push::cursorFileContent(v));
            }
            const QDateTime before = QFileInfo(path).lastModified();
            const bool wrote = QTest::qWaitFor([&] { return QFileInfo(path).lastModified() != before; }, 5000);
            kill(child, SIGKILL); // wherever the writer happens to be
            waitpid(child, nullptr, 0);
            const QByteArray content = device.read(kCursor);
            quint64 value = 0;
            QVERIFY2(wrote && push::parseCursorText(content, value) && content == push::cursorFileContent(value),
                     content.constData());
        }
    }

    // Files (as placeAt(), "": none) at the settings paths and the cursor's: the settings, timers and log ($1..$3).
    void config_data()
    {
        QTest::addColumn<QByteArrayList>("files");
        QTest::addColumn<QByteArray>("numbers");
        QTest::addColumn<QByteArrayList>("lines");
        const QByteArray defaults = named(kSettings, {300000, 5000, 5000, 5000, 0});
        const QByteArray push = named(kTimers, {0, -1, 750, 0}); // no socket or tick; the tail at its pace, a poll at once
        const auto row = [](const char *name, const QByteArrayList &files, const QByteArray &numbers,
                            const QByteArrayList &lines) { QTest::newRow(name) << files << numbers << lines; };
        const auto tried = [](char i, char e) { return QByteArray("service: tgpush try=$") + i + " exists=" + e; };
        const QByteArray disabled = "service: tgpush disabled (missing TGPUSH_POLL_URL)";
        const QByteArrayList first {tried('1', '1'), "service: tgpush config=$1 url=http://h/n", kMode};
        row("unreadable, a directory, then read", {"<unreadable>", "<dir>", "TGPUSH_POLL_URL=http://h/3\n", ""},
            defaults + ' ' + push, {tried('1', '1'), "service: tgpush open failed path=$1", tried('2', '0'),
                                    tried('3', '1'), "service: tgpush config=$3 url=http://h/3", kMode});
        row("quoted empty url: backend mode, numbers and cursor still read",
            {"TGPUSH_POLL_URL=\"\"\nTGPUSH_TIMEOUT_MS=0\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=0\n", "", "", "7\n"},
            named(kSettings, {0, 5000, 5000, 0, 7}) + ' ' + named(kTimers, {1, 1000, -1, -1}),
            {tried('1', '1'), disabled, "service: tgpush since loaded=7"});
        row("upper bounds, then a line cut at the size bound",
            {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=1000\nTGPUSH_NOTIFY_MIN_INTERVAL_MS=3600000\n"
             "TGPUSH_NOTIFY_COALESCE_MS=600000\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=60000\nX="
                 + QByteArray(2 * 1024 * 1024, 'x') + "\nTGPUSH_TIMEOUT_MS=1\n",
             "", "", ""},
            named(kSettings, {1000, 3600000, 600000, 60000, 0}) + ' ' + push, first);
        row("beyond the bounds",
            {"TGPUSH_POLL_URL=http://h/n\nTGPUSH_TIMEOUT_MS=300001\nTGPUSH_NOTIFY_MIN_INTERVAL_MS=3600001\n"
             "TGPUSH_NOTIFY_COALESCE_MS=600001\nTGPUSH_POLL_DELAY_ON_EVENTS_MS=60001\n", "", "", ""},
            defaults + ' ' + push, first);
    }
    void config()
    {
        QFETCH(QByteArrayList, files);
        QFETCH(QByteArrayList, lines);
        TestDevice device;
        const QStringList paths {device.dataDir() + "/tgpush_proxy.env", device.nimbrelDir() + "/tgpush_proxy.env",
                                 device.sharedDir() + "/tgpush_proxy.env", device.path(kCursor)};
        for (int i = 0; i < paths.size(); ++i)
            QVERIFY(placeAt(paths[i], files[i].isEmpty() ? "<none>" : files[i]));
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe s(service);
        QTEST(named(kSettings, {s.push.tgpushTimeoutMs, s.summary.notifyMinIntervalMs, s.summary.notifyCoalesceMs,
                                s.push.tgpushPollDelayOnEventsMs, qint64(s.push.tgpushSince)})
                  + ' ' + named(kTimers, {s.backend.cmdSocketFd >= 0, armed(s.tickTimer), armed(s.tail.eventsTailTimer),
                                    armed(s.push.tgpushPollTimer)}),
              "numbers");
        for (QByteArray &line : lines) {
            for (int i = 0; i < 3; ++i)
                line.replace("$" + QByteArray::number(i + 1), paths[i].toUtf8());
        }
        QCOMPARE(log.matching("service: tgpush "), lines);
    }

    // Each fault (a proxy control query) met eight times, logged as "service: tgpush poll `line`": the back-off
    // doubles up to its cap. The poll URL keeps its escapes and gains the cursor after its "?" or "&".
    void failuresBackOff_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("500") << "kind=status&code=500" << 500 << QByteArray("failed http=500 err=");
        QTest::newRow("invalid") << "kind=invalid" << 200 << QByteArray("invalid json (missing events)");
        QTest::newRow("reset") << "kind=reset" << 0 << QByteArray("failed http=0 err=");
        QTest::newRow("204 is a failure") << "kind=status&code=204" << 204 << QByteArray("failed http=204 err=0 ");
    }
    void failuresBackOff()
    {
        QFETCH(QString, fault);
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, line);
        QCOMPARE(push::pollRequestUrl("http://h/a%2Fb%31", 9, 1), "http://h/a%2Fb%31?since=9&timeout_ms=1");
        Rig r;
        QVERIFY(r.start(200, httpStatus == 204 ? QStringLiteral("?k=v") : QString()));
        r.s->push.tgpushSince = 12;
        // Until cleared: a resend on a broken reused connection takes one.
        r.control("fault?" + fault + "&times=0");
        for (qint64 n = 1, wait = 5000; n <= 8; ++n, wait = qMin(wait * 2, 300000))
            QCOMPARE(r.poll(), poll({0, wait, wait, n, 0, n, httpStatus}));
        QCOMPARE(r.log.matching("service: tgpush poll " + line).size(), 8);
        QVERIFY(r.control("stats").contains("\"last_since\":12,\"last_timeout_ms\":200"));
        QCOMPARE(r.log.matching("service: tgpush stats reason=first_poll"),
                 QByteArrayList {"service: tgpush stats reason=first_poll started=1 ok=0 timeout=0 err=0 events=0 hub=0 "
                                 "since=12 backoff_ms=0 last_http=0 last_net=0 last_dur_ms=0 timeout_ms=200"});
        r.control("fault?kind=none");
        // Accepted: no back-off; a pause, as the empty answer took 200 ms.
        QCOMPARE(r.poll(), poll({0, 1000, 0, 9, 1, 8, 200}));
    }

    // Per answer (timeout, poll duration, body): what was counted, the cursor, the next poll and the stats line.
    void answerTaken_data()
    {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<qint64>("durMs");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("effects");
        const QByteArray none = "{\"events\":[]}";
        QTest::newRow("near its timeout") << 300000 << qint64(298500) << none << named(kAnswer, {1, 0, 0, 0, 0, 0, 1});
        QTest::newRow("early") << 300000 << qint64(298499) << none << named(kAnswer, {0, 0, 0, 0, 0, 0, 1});
        QTest::newRow("no timeout") << 0 << qint64(400000) << none << named(kAnswer, {0, 0, 0, 0, 0, 0, 1});
        QTest::newRow("two events") << 300000 << qint64(300000) << QByteArray("{\"events\":[{\"id\":1},{\"id\":2}]}")
                                    << named(kAnswer, {0, 2, 2, 2, 1, 5000, 1});
    }
    void answerTaken()
    {
        QFETCH(int, timeoutMs);
        QFETCH(qint64, durMs);
        QFETCH(QByteArray, body);
        Rig r(9); // discard: nothing answers
        QVERIFY(r.start(timeoutMs));
        r.s->push.tgpushLastPollDurMs = durMs;
        r.s->takeTgpushAnswer(body);
        QTEST(named(kAnswer, {qint64(r.s->push.tgpushStatTimeout), qint64(r.s->push.tgpushStatEvents), qint64(r.s->push.tgpushSince),
                     qint64(r.s->summary.pendingNotifyCount), r.s->push.tgpushSinceDirty, unjittered(armed(r.s->push.tgpushPollTimer)),
                     r.log.matching("service: tgpush stats reason=poll_ok ").size()}),
              "effects");
    }

    // A poll ended by going offline (silently), by the UI and by its deadline (failures); a stale reply ends none.
    void pollInterrupted()
    {
        Rig r;
        QVERIFY(r.start(1000));
        r.control("fault?kind=hang");
        r.s->push.tgpushBackoffMs = 20000;
        QVERIFY(r.pollHeld());
        emit r.s->push.networkConfigManager->onlineStateChanged(false);
        QCOMPARE(pollState(*r.s), poll({0, 60000, 20000, 1, 0, 0, 0}));
        r.s->onTgpushTick();
        QCOMPARE(pollState(*r.s), poll({0, 60000, 20000, 1, 0, 0, 0}));
        emit r.s->push.networkConfigManager->onlineStateChanged(true);
        QCOMPARE(pollState(*r.s), poll({0, 0, 0, 1, 0, 0, 0}));

        QVERIFY(r.pollHeld());
        r.device.write(QStringLiteral("data/ui_alive.txt"), QByteArray::number(zplatform::nowMs()));
        r.s->onTick();
        QCOMPARE(pollState(*r.s) + ' ' + named("netError", {r.s->push.tgpushLastNetError}),
                 poll({0, -1, 5000, 2, 0, 1, 0}) + ' ' + named("netError", {5}));
        emit r.s->push.networkConfigManager->onlineStateChanged(true);
        r.s->onTgpushTick();
        QCOMPARE(pollState(*r.s), poll({0, -1, 5000, 2, 0, 1, 0}));
        QVERIFY(QFile::remove(r.device.path(QStringLiteral("data/ui_alive.txt"))));
        r.s->onTick();
        QCOMPARE(armed(r.s->push.tgpushPollTimer), 0);

        r.s->onTgpushTick();
        QPointer<QNetworkReply> stale = std::exchange(r.s->push.tgpushReply, nullptr);
        QVERIFY(stale && r.pollHeld());
        stale->abort();
        QCOMPARE(pollState(*r.s) + ' ' + named("deadline", {armed(r.s->push.tgpushPollDeadlineTimer)}),
                 poll({1, -1, 5000, 4, 0, 1, 0}) + ' ' + named("deadline", {31000}));
        r.s->onTgpushPollDeadline();
        QCOMPARE(pollState(*r.s) + ' '
                     + named("netError deadline", {r.s->push.tgpushLastNetError, armed(r.s->push.tgpushPollDeadlineTimer)}),
                 poll({0, 10000, 10000, 4, 0, 2, 0}) + ' ' + named("netError deadline", {4, -1}));
        QCOMPARE(r.log.matching("service: tgpush poll failed http=0 err=4 (no answer within 31000 ms)").size(), 1);
        QCOMPARE(r.log.matching("service: tgpush stats reason=poll_error").size(), 2);
    }

    // An endless answer is cut at 64 MiB, little more let in, its memory freed.
    void endlessAnswerCut()
    {
        QTcpServer proxy;
        QVERIFY(proxy.listen(QHostAddress::LocalHost));
        qint64 sent = 0;
        const QByteArray chunk(256 * 1024, ' ');
        connect(&proxy, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = proxy.nextPendingConnection();
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n{\"events\":[");
            const auto more = [&, socket] {
                while (socket->bytesToWrite() < chunk.size() && socket->state() == QAbstractSocket::ConnectedState)
                    sent += socket->write(chunk);
            };
            connect(socket, &QTcpSocket::bytesWritten, this, more);
            more();
        });
        Rig r(proxy.serverPort());
        QVERIFY(r.start(300000));
        r.s->onTgpushTick();
        QTRY_VERIFY_WITH_TIMEOUT(!r.s->tgpushPollInFlight(), 60000);
        QVERIFY(r.log.matching("service: tgpush poll failed http=200").value(0).endsWith("than 67108864 bytes)"));
        QVERIFY2(sent <= (64 + 16) * 1024 * 1024, qPrintable(QString::number(sent)));
        QCOMPARE(r.s->push.tgpushAnswer.capacity(), 0);
    }

    // Advances a gap apart are written once settled, or when the oldest unwritten is a minute old; STOP, the rest.
    void cursorWrites_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<int>("advances");
        QTest::addColumn<int>("writtenAt"); // the advance written at once, -1: none
        QTest::addColumn<bool>("writable");
        QTest::newRow("settling") << 1000 << 3 << -1 << true;
        QTest::newRow("a minute old") << 4000 << 17 << 15 << true;
        QTest::newRow("none") << 0 << 0 << -1 << true;
        QTest::newRow("folder not writable") << 0 << 1 << -1 << false;
    }
    void cursorWrites()
    {
        QFETCH(int, gapMs);
        QFETCH(int, advances);
        QFETCH(int, writtenAt);
        QFETCH(bool, writable);
        ServiceRig r;
        ServiceProbe &s = r.probe;
        if (!writable) {
            // Below a regular file nothing can be created, not even by root.
            r.device.write(QStringLiteral("blocker"), "x");
            s.dataDir = r.device.path(QStringLiteral("blocker/data"));
        }
        for (int i = 0; i < advances; ++i) {
            if (i > 0)
                zplatform::advanceClockMs(gapMs);
            s.push.tgpushSince = quint64(100 + i);
            s.markTgpushSinceDirty();
            const qint64 written = writtenAt >= 0 && i >= writtenAt ? 100 + writtenAt : 0; // 0: no file yet
            QCOMPARE(named("step cursor dirty flushArmed", {i, r.device.read(kCursor).trimmed().toLongLong(),
                                                             s.push.tgpushSinceDirty, s.push.tgpushSinceFlushTimer->isActive()}),
                     named("step cursor dirty flushArmed", {i, written, i != writtenAt, i != writtenAt}));
        }
        r.log.clear();
        s.onInvoked(invocation(QStringLiteral("com.kvel.zunaro.service.STOP")));
        const qint64 last = advances > 0 ? 99 + advances : 0;
        QCOMPARE(r.device.read(kCursor), writable && last ? QByteArray::number(last) + "\n" : QByteArray());
        QCOMPARE(named("dirty flushArmed since",
                       {s.push.tgpushSinceDirty, s.push.tgpushSinceFlushTimer->isActive(), qint64(s.push.tgpushSince)}),
                 named("dirty flushArmed since", {0, 0, last}));
        QCOMPARE(r.log.lines(), QList<QByteArray> {"service: invoked action=com.kvel.zunaro.service.STOP"});
    }

    // A line at most every 30 minutes from the last one, unless forced.
    void statsWindow()
    {
        ServiceRig r;
        const QList<std::pair<qint64, bool>> steps {{0, false}, {60000, false}, {1739999, false}, {1, false},
                                                    {1000, true}, {600000, false}, {-3600000, false}, {4800000, false}};
        QList<qsizetype> printed; // lines so far
        for (const auto &[advanceMs, force] : steps) {
            zplatform::advanceClockMs(advanceMs);
            r.probe.maybeLogTgpushStats(force ? "poll_error" : "poll_ok", force);
            printed << r.log.matching("service: tgpush stats ").size();
        }
        QCOMPARE(printed, (QList<qsizetype> {1, 1, 1, 2, 3, 3, 3, 4}));
    }
};

QTEST_GUILESS_MAIN(PushServiceTest)
#include "tst_push_service.moc"
