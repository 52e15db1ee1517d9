// Real backend processes under the service: the environment they get, the
// gates, launch and stop, the relay of commands from the UI, and the
// back-off after a backend ends.

#include <QtTest>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <tuple>
#include <sys/socket.h>
#include <unistd.h>

#include "servicerig.h"
#include "serviceprocess.h"

namespace {
using State = QList<qint64>;

// Lines the backend echoed to its output file.
QList<QByteArray> backendOutput(const TestDevice &device)
{
    return device.lines(QStringLiteral("data/td_backend_service.out"));
}

bool isZombie(int pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
}

QList<QByteArray> finishedLines(int exitCode, int exitStatus, int delayMs, int attempts, qint64 uptimeMs)
{
    return QString::asprintf("service: backend finished exitCode=%d status=%d\n"
                             "service: backend restart in %d ms (attempt=%d uptime_ms=%lld)",
                             exitCode, exitStatus, delayMs, attempts, uptimeMs)
        .toUtf8()
        .split('\n');
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    // Each test has a device with the simulator as its backend and a
    // service whose tick it drives by hand, on a clock far from zero.
    std::unique_ptr<ServiceRig> rig;
    TestDevice *dev = nullptr;
    ZunaroHeadlessService *svc = nullptr;
    std::unique_ptr<ChildReaper> reaper;

    // The backend's side of the service, compared whole: {pid (-1: none, 1:
    // one runs), its input, restart attempts, next start in ms from now}.
    State backendState() const
    {
        return {svc->backendPid > 0 ? 1 : svc->backendPid, svc->backendStdinFd >= 0 ? 1 : svc->backendStdinFd,
                svc->backendRestartAttempts, svc->backendNextStartMs ? svc->backendNextStartMs - zplatform::nowMs() : 0};
    }
    // Launches the backend and waits until it has taken its "ping".
    bool launchBackend()
    {
        svc->backendWanted = true;
        svc->startBackend();
        return svc->backendPid > 0
            && QTest::qWaitFor([&] { return backendOutput(*dev) == QList<QByteArray> {"ping"}; }, 5000);
    }
    // Makes the running backend stop reading its input (for `ms`, or for
    // good) and waits until it has taken that order.
    bool stopReading(const QString &ms = QString())
    {
        const QString order = (QStringLiteral("sim stop-reading ") + ms).trimmed();
        svc->sendLine(order);
        return QTest::qWaitFor([&] { return backendOutput(*dev).contains(order.toUtf8()); }, 5000);
    }
    void fresh()
    {
        cleanup();
        init();
    }

private slots:
    void init()
    {
        rig = std::make_unique<ServiceRig>(2000000000);
        dev = &rig->device;
        svc = rig->service.get();
        QVERIFY(dev->installTool(QStringLiteral("td_backend_sim"), QStringLiteral("td_backend")));
        svc->tickTimer->stop();
        reaper = std::make_unique<ChildReaper>(ChildReaper {&svc->backendPid});
    }
    void cleanup()
    {
        reaper.reset();
        rig.reset();
    }

    void environment_data()
    {
        QTest::addColumn<QByteArray>("api");
        QTest::addColumn<QByteArray>("debug");
        QTest::addColumn<QStringList>("expected"); // NAME=value, or NAME! for absent
        const QStringList defaults {
            "OPENSSL_armcap=0", "TDLIB_LOG_VERBOSITY=2", "TG_AUTO_SEND_PHONE=0", "TD_USE_FILE_DATABASE=0",
            "TD_USE_CHAT_INFO_DATABASE=0", "TD_USE_MESSAGE_DATABASE=0", "TD_USE_SECRET_CHATS=0",
            "TDLIB_DB_DIR=@DATA@/tdlib-db", "TDLIB_FILES_DIR=@DATA@/cache/tdlib-files",
            "TDLIB_LOG_FILE=@DATA@/tdlib.log", "BACKEND_EVENTS_FILE=@DATA@/backend_events.jsonl",
            "TDLIB_LOG_MAX_FILE_SIZE=5242880", "LD_LIBRARY_PATH=@APP@", "TD_RAISE_RLIMIT=0",
            "TDLIB_LOG_MIRROR_FILE!"};
        const auto row = [](const char *name, const QByteArray &api, const QByteArray &debug, const QStringList &e) {
            QTest::newRow(name) << api << debug << e;
        };
        row("no files", "", "", defaults);
        row("later file wins", "TDLIB_LOG_VERBOSITY=3\n", "TDLIB_LOG_VERBOSITY=5\n", {"TDLIB_LOG_VERBOSITY=5"});
        row("raise rlimit empty", "TD_RAISE_RLIMIT=\n", "", {"TD_RAISE_RLIMIT=0"});
        row("raise rlimit set, CRLF", "", "TD_RAISE_RLIMIT=1\r\n", {"TD_RAISE_RLIMIT=1"});
        row("log to shared", "TDLIB_LOG_MIRROR_FILE=/elsewhere\n", "LOG_TO_SHARED = 1\n",
            {"TDLIB_LOG_MIRROR_FILE=@SHARED@/logs/tdlib.log", "LOG_TO_SHARED=1"});
        row("log to shared only for 1", "TDLIB_LOG_MIRROR_FILE=/elsewhere\n", "LOG_TO_SHARED=true\n",
            {"TDLIB_LOG_MIRROR_FILE=/elsewhere"});
        row("files override defaults", "TDLIB_DB_DIR=/db\nLD_LIBRARY_PATH=/lib\n", "BACKEND_EVENTS_FILE=/ev\n",
            {"TDLIB_DB_DIR=/db", "LD_LIBRARY_PATH=/lib", "BACKEND_EVENTS_FILE=/ev"});
    }
    void environment()
    {
        QFETCH(QByteArray, debug);
        QFETCH(QStringList, expected);
        QFETCH(QByteArray, api);
        dev->write("accounts/1000/shared/misc/nimbrel/tg_api.env", api);
        dev->write("accounts/1000/shared/misc/nimbrel/td_debug.env", debug);
        // An inherited variable that a default replaces keeps its place.
        qputenv("LD_LIBRARY_PATH", "/inherited");
        const QStringList inherited = QProcess::systemEnvironment();
        const QStringList env = svc->buildBackendEnvironment();
        qunsetenv("LD_LIBRARY_PATH");
        QStringList got;
        for (QString &check : expected) {
            check.replace("@DATA@", dev->dataDir()).replace("@APP@", dev->appDir()).replace("@SHARED@", dev->nimbrelDir());
            const QString name = check.section('=', 0, 0).remove('!');
            got << (env.filter(QRegularExpression('^' + name + '=')).isEmpty()
                        ? name + '!' : name + '=' + ZunaroHeadlessService::get_env_value(env, name));
        }
        QCOMPARE(got, expected);
        QCOMPARE(dev->exists("accounts/1000/shared/misc/nimbrel/logs"), debug.contains("LOG_TO_SHARED = 1"));
        const int at = inherited.indexOf(QStringLiteral("LD_LIBRARY_PATH=/inherited"));
        QVERIFY(at >= 0 && env.size() >= inherited.size() && env.at(at).startsWith("LD_LIBRARY_PATH="));
    }

    // A stopped service, an unwanted backend or a pending back-off: no
    // launch, not a word, the event tail left where it was.
    void gates()
    {
        for (const auto &[active, wanted, backingOff] : {std::array<bool, 3> {false, true, false}, {true, false, false},
                                                          {true, true, true}}) {
            svc->serviceActive = active;
            svc->backendWanted = wanted;
            svc->backendNextStartMs = backingOff ? zplatform::nowMs() + 1 : 0;
            svc->eventsFileOffset = 7;
            LogCapture log;
            svc->startBackend();
            QCOMPARE((State {svc->backendPid, log.lines().size(), svc->eventsFileOffset,
                             dev->exists("data/cache/tdlib-files")}),
                     (State {-1, 0, 7, 0}));
        }
    }

    // A start moves the event tail to the end; a second one while the
    // backend runs does that again and launches nothing.
    void startWhileRunning()
    {
        dev->write("data/backend_events.jsonl", "old\n");
        QVERIFY(launchBackend());
        const int pid = svc->backendPid;
        QCOMPARE(svc->eventsFileOffset, qint64(4));
        QVERIFY(dev->exists("data/cache/tdlib-files"));
        dev->write("data/backend_events.jsonl", QByteArray(100, 'x'));
        svc->eventsPartialLine = "half";
        LogCapture log;
        svc->startBackend();
        QCOMPARE((State {svc->backendPid, svc->eventsFileOffset, svc->eventsPartialLine.size(), log.lines().size()}),
                 (State {pid, 100, 0, 0}));
    }

    // The setting (none, 512, far too large) reaches the log line and the
    // child's real limit; every other value of it is the helper's table.
    void stackLimit()
    {
        for (const auto &[setting, kb] : {std::pair<QByteArray, int> {"", 192}, {"TD_BACKEND_STACK_KB=512\n", 512},
                                          {"TD_BACKEND_STACK_KB=8589934592\n", 1048576}}) {
            fresh();
            dev->write("accounts/1000/shared/misc/nimbrel/td_debug.env", setting);
            LogCapture log;
            QVERIFY(launchBackend());
            QCOMPARE(log.lines().value(0), "service: backend starting " + dev->appDir().toUtf8()
                                               + "/td_backend stackmax=" + QByteArray::number(kb) + "KB");
            svc->sendLine("sim stack");
            QTRY_VERIFY_WITH_TIMEOUT(backendOutput(*dev).contains("stack " + QByteArray::number(kb * 1024LL)), 5000);
        }
    }

    // No executable: each attempt fails and waits 2 s, and not a moment less.
    void missingExecutable()
    {
        QVERIFY(QFile::remove(dev->appDir() + QStringLiteral("/td_backend")));
        svc->backendWanted = true;
        LogCapture log;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            svc->startBackend();
            QCOMPARE(backendState(), (State {-1, -1, attempt, 2000}));
            QCOMPARE(log.lines().value(1), QByteArray("service: posix_spawn failed rc=2 (No such file or directory)"));
            log.clear();
            zplatform::advanceClockMs(1999);
            svc->startBackend();
            QVERIFY(log.lines().isEmpty());
            zplatform::advanceClockMs(1);
        }
    }

    // Every launch starts with "ping" on a fresh pair of output files, and
    // the backend holds no descriptor of the service beyond its three streams.
    void freshLaunch()
    {
        const int inheritable = open("/dev/null", O_RDONLY); // no close-on-exec
        QVERIFY(inheritable >= 0);
        for (int launch = 0; launch < 2; ++launch) {
            QVERIFY(launchBackend());
            QCOMPARE(dev->read("data/td_backend_service.out") + '|' + dev->read("data/td_backend_service.err"),
                     QByteArray("ping\n|"));
            const QDir fds(QStringLiteral("/proc/%1/fd").arg(svc->backendPid));
            QCOMPARE(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
                     QStringList({"0", "1", "2"}));
            svc->sendLine("sim bogus");
            QTRY_VERIFY_WITH_TIMEOUT(!dev->read("data/td_backend_service.err").isEmpty(), 5000);
            svc->stopBackend();
        }
        close(inheritable);
    }

    // A backend that ends at SIGTERM, and one deaf to it (and no longer
    // reading, so the end of its input does not end it either) that is
    // killed after a grace; the restart attempts are left alone. With none
    // running, a stop says nothing.
    void stop()
    {
        for (const auto &[ignoreTerm, minMs, maxMs] : {std::array<int, 3> {0, 0, 1000}, {1, 1150, 3000}}) {
            QVERIFY(launchBackend());
            const int pid = svc->backendPid;
            if (ignoreTerm) {
                svc->sendLine("sim ignore-term");
                QVERIFY(stopReading());
            }
            svc->backendRestartAttempts = 3;
            LogCapture log;
            QElapsedTimer timer;
            timer.start();
            svc->stopBackend();
            const qint64 took = timer.elapsed();
            QVERIFY2(took >= minMs && took < maxMs, qPrintable(QString::number(took)));
            QCOMPARE(backendState() << kill(pid, 0), (State {-1, -1, 3, 0, -1}));
            svc->stopBackend();
            QCOMPARE(log.lines(), QList<QByteArray> {"service: backend stopping"});
        }
    }

    void delivery_data()
    {
        QTest::addColumn<QList<QByteArray>>("datagrams");
        QTest::addColumn<int>("backoffMs");
        QTest::addColumn<QList<QByteArray>>("received"); // empty: no backend wanted
        QTest::newRow("first line waits for the tick")
            << QList<QByteArray> {"line1\nline2\r\n  line3  "} << 0 << QList<QByteArray> {"ping", "line2", "line3", "line1"};
        QTest::newRow("lines during back-off")
            << QList<QByteArray> {"a", "b\nc", "d"} << 5000 << QList<QByteArray> {"ping", "a", "b", "c", "d"};
        QList<QByteArray> many;
        QList<QByteArray> kept {"ping"};
        for (int i = 0; i < 250; ++i) {
            many << "n" + QByteArray::number(i);
            if (i >= 50)
                kept << many.last();
        }
        QTest::newRow("250 lines keep the last 200") << many << 5000 << kept;
        QTest::newRow("blank datagram") << QList<QByteArray> {" \n\r\n\t "} << 0 << QList<QByteArray> {};
        QTest::newRow("5000 bytes cut at 4095")
            << QList<QByteArray> {QByteArray(5000, 'x')} << 0 << QList<QByteArray> {"ping", QByteArray(4095, 'x')};
    }
    void delivery()
    {
        QFETCH(QList<QByteArray>, datagrams);
        QFETCH(int, backoffMs);
        QFETCH(QList<QByteArray>, received);
        svc->serviceActive = false;
        svc->backendNextStartMs = backoffMs ? zplatform::nowMs() + backoffMs : 0;
        for (const QByteArray &datagram : datagrams) {
            sendCommandDatagram(datagram);
            svc->drainCmdSocket();
        }
        // Wanted, active, launched at once unless backing off.
        const bool some = !received.isEmpty();
        QCOMPARE((State {svc->backendWanted, svc->serviceActive, svc->backendPid > 0}),
                 (State {some, some, some && backoffMs == 0}));
        zplatform::advanceClockMs(backoffMs);
        svc->onTick();
        QVERIFY(svc->pendingBackendLines.isEmpty());
        if (some)
            QTRY_COMPARE_WITH_TIMEOUT(backendOutput(*dev), received, 5000);
        else
            QCOMPARE((State {svc->backendPid, dev->exists("data/td_backend_service.out")}), (State {-1, 0}));
    }

    // A command after a stop brings the service back and launches the
    // backend, without the tick; queued lines outlive start and stop.
    void afterInvocations()
    {
        svc->backendNextStartMs = zplatform::nowMs() + 5000;
        sendCommandDatagram("queued");
        svc->drainCmdSocket();
        svc->onInvoked(invocation(QStringLiteral("com.kvel.zunaro.service.START")));
        svc->onInvoked(invocation(QStringLiteral("com.kvel.zunaro.service.STOP")));
        QVERIFY(svc->pendingBackendLines == QStringList {"queued"} && !svc->serviceActive);
        zplatform::advanceClockMs(5000);
        sendCommandDatagram("after stop");
        svc->drainCmdSocket();
        QCOMPARE((State {svc->serviceActive, svc->backendPid > 0, svc->tickTimer->isActive()}), (State {1, 1, 0}));
        QCOMPARE(svc->pendingBackendLines, QStringList({"queued", "after stop"}));
        svc->flushPendingBackendLines();
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(*dev), QList<QByteArray>({"ping", "queued", "after stop"}), 5000);
    }

    // Writing to a backend that ended but is not reaped loses the line and
    // nothing else.
    void backendGoneUnreaped()
    {
        QVERIFY(launchBackend());
        svc->sendLine("sim exit 3");
        QTRY_VERIFY_WITH_TIMEOUT(isZombie(svc->backendPid), 5000);
        for (int i = 0; i < 3; ++i)
            svc->sendLine("into the void");
        sendCommandDatagram("and more");
        svc->drainCmdSocket();
        QVERIFY(svc->backendInputBuffer.isEmpty() && svc->backendStdinFd >= 0);
        LogCapture log;
        svc->onTick();
        QVERIFY(log.contains("service: backend finished exitCode=3 status=0"));
        QCOMPARE(svc->backendStdinFd, -1);
    }

    // A backend that is busy for a while gets everything, in order, without
    // the service waiting for it.
    void briefStall()
    {
        QVERIFY(launchBackend());
        QVERIFY(stopReading("1000"));
        QList<QByteArray> expected = backendOutput(*dev);
        const QByteArray filler(190, 'f');
        for (int i = 0; i < 3000; ++i) {
            expected << QByteArray::number(i) + filler;
            svc->sendLine(QString::fromLatin1(expected.last()));
        }
        // More than a pipe holds, so the rest is still waiting here.
        QVERIFY(!svc->backendInputBuffer.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(*dev), expected, 10000);
        QVERIFY(svc->backendInputBuffer.isEmpty());
    }

    // A backend that never reads again: the buffer stops at its bound, the
    // rest is dropped in whole lines and reported once, and everything goes
    // with the pipe.
    void stalledForGood()
    {
        QVERIFY(launchBackend());
        QVERIFY(stopReading());
        LogCapture log;
        for (int i = 0; i < 1600; ++i)
            svc->sendLine(QString(999, QLatin1Char('s')));
        const qint64 buffered = svc->backendInputBuffer.size(), dropped = svc->backendDroppedBytes;
        QVERIFY2(buffered <= 1024 * 1024 && buffered > 1024 * 1024 - 1000, qPrintable(QString::number(buffered)));
        QVERIFY2(dropped > 0 && dropped % 1000 == 0 && log.lines().isEmpty(), qPrintable(QString::number(dropped)));
        svc->stopBackend();
        QCOMPARE(log.matching("service: backend input full"),
                 QList<QByteArray> {"service: backend input full, dropped " + QByteArray::number(dropped) + " bytes"});
        QCOMPARE((State {svc->backendInputBuffer.size(), svc->backendInputNotifier != nullptr, svc->backendDroppedBytes}),
                 (State {0, 0, 0}));
    }

    // One activation reads a bounded number of datagrams; the rest follow in
    // later ones, in order.
    void floodIsTakenInTurns()
    {
        const int big = 4 * 1024 * 1024;
        if (setsockopt(svc->cmdSocketFd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
            QSKIP("cannot enlarge the command socket's buffer here");
        QVERIFY(launchBackend());
        QList<QByteArray> expected {"ping"};
        for (int i = 0; i < 600; ++i) {
            expected << "d" + QByteArray::number(i);
            sendCommandDatagram(expected.last());
        }
        svc->drainCmdSocket();
        svc->sendLine("marker");
        QTRY_VERIFY_WITH_TIMEOUT(backendOutput(*dev).contains("marker"), 5000);
        QCOMPARE(backendOutput(*dev).indexOf("marker"), 1 + 256);
        expected.insert(1 + 256, "marker");
        for (int i = 0; i < 3; ++i)
            svc->drainCmdSocket();
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(*dev), expected, 5000);
    }

    // Runs of the backend: {ran ms, exit code, then the back-off, attempts}.
    void backoff_data()
    {
        QTest::addColumn<QList<State>>("runs");
        QTest::newRow("code 0 three times") << QList<State> {{10000, 0, 1000, 1}, {10000, 0, 2000, 2}, {10000, 0, 4000, 3}};
        QTest::newRow("a long run resets") << QList<State> {{1000, 1, 1000, 1}, {1000, 1, 2000, 2}, {31000, 1, 1000, 1}};
        QTest::newRow("exactly 30000 does not reset") << QList<State> {{1000, 1, 1000, 1}, {30000, 1, 2000, 2}};
        QList<State> code42;
        for (int delay : {30000, 60000, 120000, 240000, 480000, 600000, 600000})
            code42.append({100, 42, delay, code42.size() + 1});
        QTest::newRow("code 42 up to its cap") << code42;
        QTest::newRow("code 9") << QList<State> {{100, 9, 5000, 1}, {100, 9, 10000, 2}};
    }
    void backoff()
    {
        QFETCH(QList<State>, runs);
        LogCapture log;
        for (const State &run : runs) {
            svc->backendStartedMs = zplatform::nowMs();
            zplatform::advanceClockMs(run[0]);
            log.clear();
            svc->onBackendFinished(int(run[1]), QProcess::NormalExit);
            QCOMPARE(backendState(), (State {-1, -1, run[3], run[2]}));
            QCOMPARE(log.lines(), finishedLines(int(run[1]), 0, int(run[2]), int(run[3]), run[0]));
        }
        // A stopped service schedules nothing.
        svc->serviceActive = false;
        const State before = backendState();
        svc->onBackendFinished(1, QProcess::NormalExit);
        QCOMPARE(backendState(), before);
    }

    // A real backend that ends (killed, or with code 42) is reaped by the tick
    // and comes back once its back-off has passed.
    void reapAndRelaunch()
    {
        for (const auto &[ending, exitCode, exitStatus, delay] :
             {std::tuple<QString, int, int, int> {"kill", 137, 1, 1000}, {"sim exit 42", 42, 0, 30000}}) {
            fresh();
            svc->backendWanted = true;
            svc->onTick();
            const int pid = svc->backendPid;
            QVERIFY(pid > 0);
            if (ending == "kill")
                kill(pid, SIGKILL);
            else
                svc->sendLine(ending);
            LogCapture log;
            QTRY_VERIFY_WITH_TIMEOUT((svc->reapBackend(), svc->backendPid < 0), 5000);
            QCOMPARE(backendState() << (svc->backendInputNotifier != nullptr), (State {-1, -1, 1, delay, 0}));
            QCOMPARE(log.lines(), QList<QByteArray> {QString::asprintf("service: backend waitpid pid=%d exitCode=%d "
                                                                       "status=%d", pid, exitCode, exitStatus).toUtf8()}
                                      + finishedLines(exitCode, exitStatus, delay, 1, 0));
            zplatform::advanceClockMs(delay - 1);
            svc->onTick();
            QCOMPARE(svc->backendPid, -1);
            zplatform::advanceClockMs(1);
            svc->onTick();
            QVERIFY(svc->backendPid > 0);
            QTRY_COMPARE_WITH_TIMEOUT(backendOutput(*dev), QList<QByteArray> {"ping"}, 5000);
        }
    }

    // A process id that waitpid refuses is given up at once: no back-off.
    void waitpidFailure()
    {
        int fds[2];
        QCOMPARE(pipe(fds), 0);
        close(fds[0]);
        svc->backendPid = getpid(); // never a child of itself
        svc->backendStdinFd = fds[1];
        LogCapture log;
        svc->reapBackend();
        QCOMPARE(log.lines(), QList<QByteArray> {QString::asprintf("service: waitpid(%d) failed errno=10 (No child processes)",
                                                                   int(getpid())).toUtf8()});
        QCOMPARE(backendState() << fcntl(fds[1], F_GETFD), (State {-1, -1, 0, 0, -1}));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend.moc"
