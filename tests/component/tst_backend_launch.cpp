// Launching and stopping real backend processes: the environment they get,
// the gates, the stack limit they run with, their descriptors and output.

#include "tst_backend_support.h"

#include <QDir>

#include <fcntl.h>
#include <unistd.h>

class ServiceTest : public QObject
{
    Q_OBJECT
    BACKEND_TEST_HELPERS

private slots:
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
        QFETCH(QByteArray, api);
        QFETCH(QByteArray, debug);
        QFETCH(QStringList, expected);
        TestDevice device;
        device.write("accounts/1000/shared/misc/nimbrel/tg_api.env", api);
        device.write("accounts/1000/shared/misc/nimbrel/td_debug.env", debug);
        // An inherited variable that a default replaces keeps its place.
        qputenv("LD_LIBRARY_PATH", "/inherited");
        auto service = backendService(device, false);
        const QStringList inherited = QProcess::systemEnvironment();
        const QStringList env = service->buildBackendEnvironment();
        qunsetenv("LD_LIBRARY_PATH");

        for (QString check : expected) {
            check.replace("@DATA@", device.dataDir()).replace("@APP@", device.appDir()).replace("@SHARED@", device.nimbrelDir());
            const QString name = check.section('=', 0, 0).remove('!');
            if (check.endsWith('!'))
                QVERIFY2(env.filter(QRegularExpression('^' + name + '=')).isEmpty(), qPrintable(check));
            else
                QCOMPARE(name + '=' + ZunaroHeadlessService::get_env_value(env, name), check);
        }
        QCOMPARE(device.exists("accounts/1000/shared/misc/nimbrel/logs"), debug.contains("LOG_TO_SHARED = 1"));
        const int at = inherited.indexOf(QStringLiteral("LD_LIBRARY_PATH=/inherited"));
        QVERIFY(at >= 0 && env.size() >= inherited.size());
        QVERIFY(env.at(at).startsWith("LD_LIBRARY_PATH="));
    }

    void gates_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<bool>("backingOff");
        QTest::newRow("service stopped") << false << true << false;
        QTest::newRow("not wanted") << true << false << false;
        QTest::newRow("back-off pending") << true << true << true;
    }
    void gates()
    {
        QFETCH(bool, active);
        QFETCH(bool, wanted);
        QFETCH(bool, backingOff);
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        service->serviceActive = active;
        service->backendWanted = wanted;
        service->backendNextStartMs = backingOff ? platform::nowMs() + 1 : 0;
        service->eventsFileOffset = 7;
        LogCapture log;
        service->startBackend();
        QCOMPARE(service->backendPid, -1);
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(service->eventsFileOffset, qint64(7));
        QVERIFY(!device.exists("data/cache/tdlib-files"));
    }

    // A start moves the event tail to the end; a second one while the
    // backend runs does that again and launches nothing.
    void startWhileRunning()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        device.write("data/backend_events.jsonl", "old\n");
        QVERIFY(launchBackend(device, *service));
        const int pid = service->backendPid;
        QCOMPARE(service->eventsFileOffset, qint64(4));
        QVERIFY(device.exists("data/cache/tdlib-files"));

        device.write("data/backend_events.jsonl", QByteArray(100, 'x'));
        service->eventsPartialLine = "half";
        LogCapture log;
        service->startBackend();
        QCOMPARE(service->backendPid, pid);
        QCOMPARE(service->eventsFileOffset, qint64(100));
        QVERIFY(service->eventsPartialLine.isEmpty());
        QVERIFY(log.lines().isEmpty());
    }

    // The setting reaches the log line and the child's real limit; every
    // other value of it is the helper's table.
    void stackLimit_data()
    {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("kb");
        QTest::newRow("missing") << QByteArray() << 192;
        QTest::newRow("512") << QByteArray("TD_BACKEND_STACK_KB=512\n") << 512;
        QTest::newRow("huge") << QByteArray("TD_BACKEND_STACK_KB=8589934592\n") << 1048576;
    }
    void stackLimit()
    {
        QFETCH(QByteArray, setting);
        QFETCH(int, kb);
        TestDevice device;
        device.write("accounts/1000/shared/misc/nimbrel/td_debug.env", setting);
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        LogCapture log;
        QVERIFY(launchBackend(device, *service));
        QCOMPARE(log.lines().value(0), "service: backend starting " + device.appDir().toUtf8()
                                           + "/td_backend stackmax=" + QByteArray::number(kb) + "KB");
        service->sendLine("sim stack");
        QTRY_VERIFY_WITH_TIMEOUT(backendOutput(device).contains("stack " + QByteArray::number(kb * 1024LL)), 5000);
    }

    void missingExecutable()
    {
        TestDevice device;
        auto service = backendService(device, false);
        service->backendWanted = true;
        LogCapture log;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            service->startBackend();
            QCOMPARE(service->backendPid, -1);
            QCOMPARE(service->backendStdinFd, -1);
            QCOMPARE(service->backendRestartAttempts, attempt);
            QCOMPARE(service->backendNextStartMs, platform::nowMs() + 2000);
            QCOMPARE(log.lines().value(1), QByteArray("service: posix_spawn failed rc=2 (No such file or directory)"));
            log.clear();
            platform::advanceClockMs(1999);
            service->startBackend();
            QVERIFY(log.lines().isEmpty());
            platform::advanceClockMs(1);
        }
    }

    // Every launch starts with "ping" on a fresh pair of output files, and
    // the backend holds no descriptor of the service beyond its three streams.
    void freshLaunch()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        const int inheritable = open("/dev/null", O_RDONLY); // no close-on-exec
        QVERIFY(inheritable >= 0);
        for (int launch = 0; launch < 2; ++launch) {
            QVERIFY(launchBackend(device, *service));
            QCOMPARE(device.read("data/td_backend_service.out"), QByteArray("ping\n"));
            QCOMPARE(device.read("data/td_backend_service.err"), QByteArray());
            const QDir fds(QStringLiteral("/proc/%1/fd").arg(service->backendPid));
            QCOMPARE(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
                     QStringList({"0", "1", "2"}));
            service->sendLine("sim bogus");
            QTRY_VERIFY_WITH_TIMEOUT(!device.read("data/td_backend_service.err").isEmpty(), 5000);
            service->stopBackend();
        }
        close(inheritable);
    }

    void stop_data()
    {
        QTest::addColumn<bool>("ignoreTerm");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("ends at SIGTERM") << false << 0 << 1000;
        QTest::newRow("ignores SIGTERM") << true << 1150 << 3000;
    }
    void stop()
    {
        QFETCH(bool, ignoreTerm);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        QVERIFY(launchBackend(device, *service));
        const int pid = service->backendPid;
        if (ignoreTerm) {
            // Deaf to SIGTERM and no longer reading, so the end of its input
            // does not end it either.
            service->sendLine("sim ignore-term");
            QVERIFY(stopReading(device, *service));
        }
        service->backendRestartAttempts = 3;
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        service->stopBackend();
        const qint64 took = timer.elapsed();
        QVERIFY2(took >= minMs && took < maxMs, qPrintable(QString::number(took)));
        QCOMPARE(log.lines(), QList<QByteArray> {"service: backend stopping"});
        QCOMPARE(service->backendPid, -1);
        QCOMPARE(service->backendStdinFd, -1);
        QCOMPARE(service->backendRestartAttempts, 3);
        QVERIFY(kill(pid, 0) != 0);
        // With none running, a stop says nothing.
        log.clear();
        service->stopBackend();
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_launch.moc"
