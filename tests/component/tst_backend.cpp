// Real backend processes under the service: their environment, launch and
// stop, the relay of commands from the UI, and the back-off after they end.

#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "servicerig.h"
#include "serviceprocess.h"
#include "status_view.h"

using Lines = QList<QByteArray>;

namespace {
// The backend's bookkeeping: pid and input (-1: none, 1: held), restart attempts, next start in ms from now.
const QByteArray kBackend = "pid stdin attempts nextStartIn";

// While set, collects each signal this process sends as "pid NAME": the test's own kill() stands in for the C
// library's, so the order of the service's signals shows without timing it.
QByteArrayList *signalsSent = nullptr;
} // namespace

extern "C" int kill(pid_t pid, int sig)
{
    if (signalsSent && sig)
        *signalsSent << QByteArray::number(pid) + ' ' + sigabbrev_np(sig);
    return int(syscall(SYS_kill, pid, sig));
}

class BackendTest : public QObject
{
    Q_OBJECT

    // A device with the simulator as its backend; the test drives the tick.
    std::unique_ptr<ServiceRig> rig;
    TestDevice *dev = nullptr;
    ServiceProbe *svc = nullptr;
    std::unique_ptr<ChildReaper> reaper;

    // Lines the backend echoed to its output file.
    Lines backendOutput() const
    {
        return dev->lines(QStringLiteral("data/td_backend_service.out"));
    }
    QByteArray backendState() const
    {
        return named(kBackend, {svc->backend.backendPid > 0 ? 1 : svc->backend.backendPid,
                                svc->backend.backendStdinFd >= 0 ? 1 : svc->backend.backendStdinFd, svc->backend.backendRestartAttempts,
                                svc->backend.backendNextStartMs ? svc->backend.backendNextStartMs - zplatform::nowMs() : 0});
    }
    // Launches the backend and waits until it has taken its "ping".
    bool launchBackend()
    {
        svc->backend.backendWanted = true;
        svc->startBackend();
        return svc->backend.backendPid > 0 && QTest::qWaitFor([&] { return backendOutput() == Lines {"ping"}; }, 5000);
    }
    // Makes the backend stop reading (for `ms`, or for good) once it has taken that order.
    bool stopReading(const QString &ms = QString())
    {
        const QString order = (QStringLiteral("sim stop-reading ") + ms).trimmed();
        svc->sendLine(order);
        return QTest::qWaitFor([&] { return backendOutput().contains(order.toUtf8()); }, 5000);
    }

private slots:
    void init()
    {
        rig = std::make_unique<ServiceRig>(2000000000);
        dev = &rig->device;
        svc = &rig->probe;
        QVERIFY(dev->installTool(QStringLiteral("td_backend_sim"), QStringLiteral("td_backend")));
        svc->tickTimer->stop();
        reaper = std::make_unique<ChildReaper>(ChildReaper {&svc->backend.backendPid});
    }
    void cleanup()
    {
        reaper.reset();
        rig.reset();
    }

    // {tg_api.env, td_debug.env, then NAME=value as the backend reads it (the first entry of that name)}.
    void environment()
    {
        const QStringList defaults {
            "OPENSSL_armcap=0", "TDLIB_LOG_VERBOSITY=2", "TG_AUTO_SEND_PHONE=0", "TD_USE_FILE_DATABASE=0",
            "TD_USE_CHAT_INFO_DATABASE=0", "TD_USE_MESSAGE_DATABASE=0", "TD_USE_SECRET_CHATS=0",
            "TDLIB_DB_DIR=@DATA@/tdlib-db", "TDLIB_FILES_DIR=@DATA@/cache/tdlib-files",
            "TDLIB_LOG_FILE=@DATA@/tdlib.log", "BACKEND_EVENTS_FILE=@DATA@/backend_events.jsonl",
            "TDLIB_LOG_MAX_FILE_SIZE=5242880", "LD_LIBRARY_PATH=@APP@", "TD_RAISE_RLIMIT=0"};
        const QList<std::tuple<QString, QByteArray, QByteArray, QStringList>> rows {
            {"no files: the defaults", "", "", defaults},
            {"the debug file wins", "TDLIB_LOG_VERBOSITY=3\nTDLIB_DB_DIR=/db\nTDLIB_LOG_MIRROR_FILE=/elsewhere\n",
             "TDLIB_LOG_VERBOSITY=5\nLOG_TO_SHARED=true\nTD_RAISE_RLIMIT=\n",
             {"TDLIB_LOG_VERBOSITY=5", "TDLIB_DB_DIR=/db", "TDLIB_LOG_MIRROR_FILE=/elsewhere", "TD_RAISE_RLIMIT=0"}},
            {"logs to the shared folder", "TD_RAISE_RLIMIT=1\nTDLIB_LOG_MIRROR_FILE=/elsewhere\n",
             "LOG_TO_SHARED = 1\n",
             {"TDLIB_LOG_MIRROR_FILE=@SHARED@/logs/tdlib.log", "LOG_TO_SHARED=1", "TD_RAISE_RLIMIT=1"}}};
        // An inherited variable that a default replaces keeps its place.
        qputenv("LD_LIBRARY_PATH", "/inherited");
        const auto unset = qScopeGuard([] { qunsetenv("LD_LIBRARY_PATH"); });
        const QStringList inherited = QProcess::systemEnvironment();
        for (auto [name, api, debug, expected] : rows) {
            dev->write("accounts/1000/shared/misc/nimbrel/tg_api.env", api);
            dev->write("accounts/1000/shared/misc/nimbrel/td_debug.env", debug);
            const QStringList env = svc->buildBackendEnvironment();
            QStringList got {name};
            for (QString &check : expected) {
                check.replace("@DATA@", dev->dataDir()).replace("@APP@", dev->appDir()).replace("@SHARED@", dev->nimbrelDir());
                got << env.filter(QRegularExpression('^' + check.section('=', 0, 0) + '=')).value(0);
            }
            QCOMPARE(got, QStringList {name} + expected);
            QCOMPARE(dev->exists("accounts/1000/shared/misc/nimbrel/logs"), debug.contains("LOG_TO_SHARED = 1"));
            const int at = inherited.indexOf(QStringLiteral("LD_LIBRARY_PATH=/inherited"));
            QVERIFY(at >= 0 && env.size() >= inherited.size() && env.at(at).startsWith("LD_LIBRARY_PATH="));
        }
    }

    // A stopped service, an unwanted backend or a pending back-off: no launch, not a word, the tail left alone.
    void gates()
    {
        for (const QList<qint64> &row : QList<QList<qint64>> {{0, 1, 0}, {1, 0, 0}, {1, 1, 1}}) {
            const bool active = row[0], wanted = row[1], backingOff = row[2];
            svc->serviceActive = active;
            svc->backend.backendWanted = wanted;
            svc->backend.backendNextStartMs = backingOff ? zplatform::nowMs() + 1 : 0;
            svc->tail.eventsFileOffset = 7;
            LogCapture log;
            svc->startBackend();
            const QByteArray fields = "active wanted backingOff pid logLines eventsOffset";
            QCOMPARE(named(fields, row + QList<qint64> {svc->backend.backendPid, log.lines().size(), svc->tail.eventsFileOffset}),
                     named(fields, row + QList<qint64> {-1, 0, 7}));
        }
    }

    // Each launch skips older events, starts with "ping" on fresh output files, holds only its three streams and
    // gets its stack limit; a start while it runs only skips the events again.
    void launch()
    {
        dev->write("accounts/1000/shared/misc/nimbrel/td_debug.env", "TD_BACKEND_STACK_KB=512\n");
        const int inheritable = open("/dev/null", O_RDONLY); // no close-on-exec
        QVERIFY(inheritable >= 0);
        for (int launch = 0; launch < 2; ++launch) {
            dev->write("data/backend_events.jsonl", "old\n");
            LogCapture log;
            QVERIFY(launchBackend());
            const int pid = svc->backend.backendPid;
            const QStringList fds = QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
            const QString starting = "service: backend starting " + dev->appDir() + "/td_backend stackmax=512KB";
            QCOMPARE(QStringList({QString::number(launch), fds.join(' '), log.lines().value(0),
                                  dev->read("data/td_backend_service.err"), QString::number(svc->tail.eventsFileOffset)}),
                     QStringList({QString::number(launch), "0 1 2", starting, "", "4"}));
            dev->write("data/backend_events.jsonl", QByteArray(100, 'x'));
            svc->tail.eventsPartialLine = "half";
            log.clear();
            svc->startBackend();
            const QByteArray fields = "launch pid eventsOffset partialLine logLines filesDir";
            QCOMPARE(named(fields, {launch, svc->backend.backendPid, svc->tail.eventsFileOffset, svc->tail.eventsPartialLine.size(),
                                    log.lines().size(), dev->exists("data/cache/tdlib-files")}),
                     named(fields, {launch, pid, 100, 0, 0, 1}));
            svc->sendLine("sim stack");
            svc->sendLine("sim bogus");
            QTRY_VERIFY_WITH_TIMEOUT(backendOutput().contains("stack 524288")
                                         && !dev->read("data/td_backend_service.err").isEmpty(), 5000);
            svc->stopBackend();
        }
        close(inheritable);
    }

    // No executable: said once by path and in the status, looked for quietly; not executable: fails by path; then runs.
    void missingExecutable()
    {
        const QString exe = dev->appDir() + QStringLiteral("/td_backend");
        QVERIFY(QFile::rename(exe, exe + ".away"));
        svc->backend.backendWanted = true;
        LogCapture log;
        for (int tick = 0; tick < 3; ++tick, zplatform::advanceClockMs(2000))
            svc->onTick();
        QCOMPARE(backendState(), named(kBackend, {-1, -1, 0, 0}));
        const QByteArray said = "service: backend missing: " + exe.toUtf8() + " is not there; install the backend";
        QVERIFY2(log.lines().size() == 1 && log.lines().first().startsWith(said), log.lines().join('\n'));
        QVERIFY(statusView(svc->statusSnapshot(), 0).contains("Backend: backend missing: " + exe + '\n'));
        QVERIFY(QFile::rename(exe + ".away", exe) && QFile::setPermissions(exe, QFile::ReadOwner));
        svc->onTick();
        QCOMPARE(log.lines().last(), "service: posix_spawn failed rc=13 (Permission denied) path=" + exe.toUtf8());
        QVERIFY(QFile::setPermissions(exe, QFile::ReadOwner | QFile::ExeOwner));
        zplatform::advanceClockMs(2000);
        svc->onTick();
        QVERIFY(svc->backend.backendPid > 0 && svc->statusSnapshot().value("backend_missing").toString().isEmpty());
    }

    // Backends no longer reading (the end of their input cannot end them): one ends at SIGTERM, one deaf to it is
    // sent SIGKILL once the grace is over; both are reaped, attempts are left alone. With none running, a stop says
    // nothing and signals nobody.
    void stop()
    {
        for (const bool ignoreTerm : {false, true}) {
            QVERIFY(launchBackend());
            const QByteArray pid = QByteArray::number(svc->backend.backendPid);
            if (ignoreTerm)
                svc->sendLine("sim ignore-term");
            QVERIFY(stopReading());
            svc->backend.backendRestartAttempts = 3;
            LogCapture log;
            QByteArrayList sent;
            signalsSent = &sent;
            svc->stopBackend();
            svc->stopBackend();
            signalsSent = nullptr;
            const QByteArray row = ignoreTerm ? "deaf to SIGTERM: " : "ends at SIGTERM: ";
            QCOMPARE(row + sent.join(' '), row + pid + " TERM" + (ignoreTerm ? ' ' + pid + " KILL" : QByteArray()));
            QCOMPARE(backendState(), named(kBackend, {-1, -1, 3, 0}));
            QCOMPARE(kill(pid.toInt(), 0), -1);
            QCOMPARE(log.lines(), Lines {"service: backend stopping"});
        }
    }

    void delivery_data()
    {
        QTest::addColumn<Lines>("datagrams");
        QTest::addColumn<int>("backoffMs");
        QTest::addColumn<Lines>("received"); // empty: no backend wanted
        QTest::newRow("the launching line keeps its place") << Lines {"l1\nl2\nl3"} << 0 << Lines {"ping", "l1", "l2", "l3"};
        Lines many;
        for (int i = 0; i < 250; ++i)
            many << "n" + QByteArray::number(i);
        QTest::newRow("250 lines keep the last 200") << many << 5000 << Lines {"ping"} + many.mid(50);
        QTest::newRow("blank datagram") << Lines {" \n\r\n\t "} << 0 << Lines {};
        // Cut at 4095 bytes, the longer one would end in "delete_chat 12". On the UDP port, and on a Unix socket.
        const QByteArray command = "\ndelete_chat 123456789\n";
        for (const char *kind : {"udp", "unix"}) {
            QTest::addRow("%s: 4103 bytes dropped whole", kind) << Lines {QByteArray(4080, 'x') + command, "after"} << 0
                                                                << Lines {"ping", "after"};
            QTest::addRow("%s: 4095 bytes relayed", kind) << Lines {QByteArray(4072, 'x') + command} << 0
                                                          << Lines {"ping", QByteArray(4072, 'x'), "delete_chat 123456789"};
        }
    }
    // After a start and a stop, a command brings the service back with its tick and launches the backend unless
    // backing off.
    void delivery()
    {
        QFETCH(Lines, datagrams);
        QFETCH(int, backoffMs);
        QFETCH(Lines, received);
        for (const char *action : {"com.kvel.zunaro.service.START", "com.kvel.zunaro.service.STOP"})
            svc->onInvoked(invocation(QString::fromLatin1(action)));
        svc->backend.backendNextStartMs = backoffMs ? zplatform::nowMs() + backoffMs : 0;
        const QByteArray tag = QTest::currentDataTag();
        int pair[2] = {-1, -1};
        const auto closePair = qScopeGuard([&pair] { std::for_each(pair, pair + 2, close); });
        if (tag.startsWith("unix")) // the desktop's kind of socket in its place
            QVERIFY(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == 0 && dup2(pair[0], svc->backend.cmdSocketFd) > 0);
        LogCapture log;
        for (const QByteArray &datagram : datagrams) {
            pair[1] < 0 ? sendCommandDatagram(datagram) : void(send(pair[1], datagram.constData(), datagram.size(), 0));
            svc->drainCmdSocket();
        }
        const bool some = !received.isEmpty();
        const QList<qint64> atOnce {svc->backend.backendWanted, svc->serviceActive, svc->tickTimer->isActive(),
                                    svc->backend.backendPid > 0};
        zplatform::advanceClockMs(backoffMs);
        svc->onTick();
        const QByteArray fields = "wanted active tick running runningAfterTick pending";
        QCOMPARE(named(fields, atOnce + QList<qint64> {svc->backend.backendPid > 0, svc->backend.pendingBackendLines.size()}),
                 named(fields, {some, some, some, some && backoffMs == 0, some, 0}));
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(), received, 5000);
        QCOMPARE(log.matching("service: cmd datagram of 4103 bytes dropped").size(), int(tag.contains("dropped")));
    }

    // A backend that stops reading for a while: lines wait here up to a bound, without the service waiting; the
    // rest is dropped whole and reported once, the kept lines arrive in order. A stop takes what waits.
    void stall()
    {
        QVERIFY(launchBackend());
        QVERIFY(stopReading("1000"));
        Lines expected = backendOutput();
        LogCapture log;
        for (int i = 0; i < 1600; ++i)
            svc->sendLine(QString::number(i).leftJustified(999, QLatin1Char('s')));
        const qint64 buffered = svc->backend.backendInputBuffer.size(), dropped = svc->backend.backendDroppedBytes;
        QVERIFY2(buffered <= 1024 * 1024 && buffered > 1024 * 1024 - 1000, qPrintable(QString::number(buffered)));
        QVERIFY2(dropped > 0 && dropped % 1000 == 0 && log.lines().isEmpty(), qPrintable(QString::number(dropped)));
        for (int i = 0; i < 1600 - dropped / 1000; ++i)
            expected << QByteArray::number(i).leftJustified(999, 's');
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(), expected, 10000);
        QVERIFY(svc->backend.backendInputBuffer.isEmpty() && stopReading());
        for (int i = 0; i < 1200; ++i)
            svc->sendLine(QString(999, QLatin1Char('s')));
        const qint64 droppedAgain = svc->backend.backendDroppedBytes;
        svc->stopBackend();
        const QByteArray full = "service: backend input full, dropped ";
        QCOMPARE(log.matching(full), Lines({full + QByteArray::number(dropped) + " bytes",
                                            full + QByteArray::number(droppedAgain) + " bytes"}));
        QCOMPARE(named("buffered notifier dropped", {svc->backend.backendInputBuffer.size(),
                                                     svc->backend.backendInputNotifier != nullptr, svc->backend.backendDroppedBytes}),
                 QByteArray("buffered=0 notifier=0 dropped=0"));
    }

    // One activation reads a bounded number of datagrams; the rest follow in later ones, in order.
    void floodIsTakenInTurns()
    {
        const int big = 4 * 1024 * 1024;
        if (setsockopt(svc->backend.cmdSocketFd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
            QSKIP("cannot enlarge the command socket's buffer here");
        QVERIFY(launchBackend());
        Lines expected {"ping"};
        for (int i = 0; i < 600; ++i) {
            expected << "d" + QByteArray::number(i);
            sendCommandDatagram(expected.last());
        }
        svc->drainCmdSocket();
        svc->sendLine("marker");
        expected.insert(1 + 256, "marker");
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput().mid(0, 258), expected.mid(0, 258), 5000);
        for (int i = 0; i < 3; ++i)
            svc->drainCmdSocket();
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(), expected, 5000);
    }

    // Real runs of the backend, {ran ms, exit code (137: killed), then the back-off, attempts}: each one ended
    // but not yet reaped loses what is written to it and nothing else; the tick reaps it and launches it again
    // once its back-off has passed. A run over 30 s forgets earlier failures; a stopped service schedules nothing.
    void endAndRelaunch()
    {
        struct Run {
            qint64 ranMs, exitCode, backoffMs, attempts;
        };
        const QList<Run> runs {{1000, 137, 1000, 1}, {30000, 1, 2000, 2}, {30001, 42, 30000, 1}, {100, 9, 10000, 2}};
        svc->backend.backendWanted = true;
        for (const Run &run : runs) {
            svc->onTick();
            const int pid = svc->backend.backendPid;
            QTRY_COMPARE_WITH_TIMEOUT(backendOutput(), Lines {"ping"}, 5000);
            zplatform::advanceClockMs(run.ranMs);
            if (run.exitCode == 137)
                kill(pid, SIGKILL);
            else
                svc->sendLine(QStringLiteral("sim exit %1").arg(run.exitCode));
            siginfo_t gone {};
            QTRY_VERIFY_WITH_TIMEOUT(!waitid(P_PID, pid, &gone, WEXITED | WNOHANG | WNOWAIT) && gone.si_pid, 5000);
            svc->sendLine("into the void");
            sendCommandDatagram("and more");
            svc->drainCmdSocket();
            const QByteArray ran = "ran " + QByteArray::number(run.ranMs);
            QVERIFY2(svc->backend.backendInputBuffer.isEmpty() && svc->backend.backendStdinFd >= 0, ran);
            LogCapture log;
            svc->onTick();
            QCOMPARE(backendState(), named(kBackend, {-1, -1, run.attempts, run.backoffMs}));
            QVERIFY2(!svc->backend.backendInputNotifier, ran);
            const QByteArray ended =
                QString::asprintf("exitCode=%lld status=%d", run.exitCode, run.exitCode == 137).toUtf8();
            const QByteArray restart = QString::asprintf("restart in %lld ms (attempt=%lld uptime_ms=%lld)",
                                                         run.backoffMs, run.attempts, run.ranMs).toUtf8();
            QCOMPARE(log.lines(), Lines({"service: backend waitpid pid=" + QByteArray::number(pid) + ' ' + ended,
                                         "service: backend finished " + ended, "service: backend " + restart}));
            zplatform::advanceClockMs(run.backoffMs);
        }
        svc->serviceActive = false;
        const QByteArray before = backendState();
        svc->onBackendFinished(1, QProcess::NormalExit);
        QCOMPARE(backendState(), before);
    }

    // A process id that waitpid refuses is given up at once: no back-off.
    void waitpidFailure()
    {
        int fds[2];
        QCOMPARE(pipe(fds), 0);
        close(fds[0]);
        svc->backend.backendPid = getpid(); // never a child of itself
        svc->backend.backendStdinFd = fds[1];
        LogCapture log;
        svc->reapBackend();
        QCOMPARE(log.lines(), Lines {QString::asprintf("service: waitpid(%d) failed errno=10 (No child processes)",
                                                       int(getpid())).toUtf8()});
        QCOMPARE(backendState(), named(kBackend, {-1, -1, 0, 0}));
        QCOMPARE(fcntl(fds[1], F_GETFD), -1); // the write end closed
    }
};

QTEST_GUILESS_MAIN(BackendTest)
#include "tst_backend.moc"
