// Launching and stopping real backend processes: the environment they get,
// the gates, the stack limit they run with, their descriptors and output.

#include "tst_backend_support.h"

#include <QDir>

#include <fcntl.h>
#include <unistd.h>

#include "zunaro/device.h"

class ServiceTest : public QObject
{
    Q_OBJECT

    // A service with the simulator as backend, wanted and ready to launch.
    std::unique_ptr<ZunaroHeadlessService> makeService(TestDevice &device, bool withBackend = true)
    {
        if (withBackend)
            device.installTool(QStringLiteral("td_backend_sim"), QStringLiteral("td_backend"));
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        service->tickTimer->stop();
        service->backendWanted = true;
        return service;
    }

    static void send(ZunaroHeadlessService *service, const QString &line) { service->sendLine(line); }

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
        QTest::newRow("no files") << QByteArray() << QByteArray() << defaults;
        QTest::newRow("later file wins") << QByteArray("TDLIB_LOG_VERBOSITY=3\n") << QByteArray("TDLIB_LOG_VERBOSITY=5\n")
                                         << QStringList {"TDLIB_LOG_VERBOSITY=5"};
        QTest::newRow("raise rlimit empty") << QByteArray("TD_RAISE_RLIMIT=\n") << QByteArray()
                                            << QStringList {"TD_RAISE_RLIMIT=0"};
        QTest::newRow("raise rlimit set") << QByteArray() << QByteArray("TD_RAISE_RLIMIT=1\r\n")
                                          << QStringList {"TD_RAISE_RLIMIT=1"};
        QTest::newRow("log to shared")
            << QByteArray("TDLIB_LOG_MIRROR_FILE=/elsewhere\n") << QByteArray("LOG_TO_SHARED = 1\n")
            << QStringList {"TDLIB_LOG_MIRROR_FILE=@SHARED@/logs/tdlib.log", "LOG_TO_SHARED=1"};
        QTest::newRow("log to shared only for 1")
            << QByteArray("TDLIB_LOG_MIRROR_FILE=/elsewhere\n") << QByteArray("LOG_TO_SHARED=true\n")
            << QStringList {"TDLIB_LOG_MIRROR_FILE=/elsewhere"};
        QTest::newRow("files override defaults")
            << QByteArray("TDLIB_DB_DIR=/db\nLD_LIBRARY_PATH=/lib\n") << QByteArray("BACKEND_EVENTS_FILE=/ev\n")
            << QStringList {"TDLIB_DB_DIR=/db", "LD_LIBRARY_PATH=/lib", "BACKEND_EVENTS_FILE=/ev"};
    }
    void environment()
    {
        QFETCH(QByteArray, api);
        QFETCH(QByteArray, debug);
        QFETCH(QStringList, expected);
        TestDevice device;
        if (!api.isEmpty())
            device.write("accounts/1000/shared/misc/nimbrel/tg_api.env", api);
        if (!debug.isEmpty())
            device.write("accounts/1000/shared/misc/nimbrel/td_debug.env", debug);
        // An inherited variable that a default replaces keeps its place.
        qputenv("LD_LIBRARY_PATH", "/inherited");
        auto service = makeService(device, false);
        const QStringList inherited = QProcess::systemEnvironment();
        const QStringList env = service->buildBackendEnvironment();
        qunsetenv("LD_LIBRARY_PATH");

        for (QString check : expected) {
            check.replace("@DATA@", device.dataDir()).replace("@APP@", device.appDir()).replace("@SHARED@", device.nimbrelDir());
            if (check.endsWith('!')) {
                QVERIFY2(!env.join('\n').contains(check.chopped(1) + '='), qPrintable(check));
                continue;
            }
            const QString name = check.section('=', 0, 0);
            QCOMPARE(name + '=' + ZunaroHeadlessService::get_env_value(env, name), check);
        }
        QCOMPARE(device.exists("accounts/1000/shared/misc/nimbrel/logs"), debug.contains("LOG_TO_SHARED = 1"));
        const int at = inherited.indexOf(QStringLiteral("LD_LIBRARY_PATH=/inherited"));
        QVERIFY(at >= 0);
        QVERIFY(env.at(at).startsWith("LD_LIBRARY_PATH="));
        QCOMPARE(env.mid(0, inherited.size()).size(), inherited.size());
    }

    void gates_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<qint64>("waitMs");
        QTest::newRow("service stopped") << false << true << qint64(0);
        QTest::newRow("not wanted") << true << false << qint64(0);
        QTest::newRow("back-off pending") << true << true << qint64(1);
    }
    void gates()
    {
        QFETCH(bool, active);
        QFETCH(bool, wanted);
        QFETCH(qint64, waitMs);
        TestDevice device;
        auto service = makeService(device);
        BackendReaper reaper {&service->backendPid};
        platform::setClockMs(1000000);
        service->serviceActive = active;
        service->backendWanted = wanted;
        service->backendNextStartMs = waitMs ? 1000000 + waitMs : 0;
        service->eventsFileOffset = 7;
        LogCapture log;
        service->startBackend();
        QCOMPARE(service->backendPid, -1);
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(service->eventsFileOffset, qint64(7));
        QVERIFY(!device.exists("data/cache/tdlib-files"));
    }

    // A second start while the backend runs moves the event tail to the end
    // and launches nothing.
    void startWhileRunning()
    {
        TestDevice device;
        auto service = makeService(device);
        BackendReaper reaper {&service->backendPid};
        device.write("data/backend_events.jsonl", "old\n");
        service->startBackend();
        const int pid = service->backendPid;
        QVERIFY(pid > 0);
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

    void stackLimit_data()
    {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("kb");
        QTest::newRow("missing") << QByteArray() << 192;
        QTest::newRow("empty") << QByteArray("TD_BACKEND_STACK_KB=\n") << 192;
        QTest::newRow("abc") << QByteArray("TD_BACKEND_STACK_KB=abc\n") << 192;
        QTest::newRow("-5") << QByteArray("TD_BACKEND_STACK_KB=-5\n") << 192;
        QTest::newRow("64") << QByteArray("TD_BACKEND_STACK_KB=64\n") << 128;
        QTest::newRow("512") << QByteArray("TD_BACKEND_STACK_KB=512\n") << 512;
        QTest::newRow("huge") << QByteArray("TD_BACKEND_STACK_KB=8589934592\n") << 1048576;
    }
    void stackLimit()
    {
        QFETCH(QByteArray, setting);
        QFETCH(int, kb);
        TestDevice device;
        if (!setting.isEmpty())
            device.write("accounts/1000/shared/misc/nimbrel/td_debug.env", setting);
        auto service = makeService(device);
        BackendReaper reaper {&service->backendPid};
        LogCapture log;
        service->startBackend();
        QVERIFY(service->backendPid > 0);
        QCOMPARE(log.lines().value(0), "service: backend starting " + device.appDir().toUtf8()
                                           + "/td_backend stackmax=" + QByteArray::number(kb) + "KB");
        send(service.get(), "sim stack");
        const QByteArray expected = "stack " + QByteArray::number(qint64(kb) * 1024);
        QTRY_VERIFY_WITH_TIMEOUT(backendOutput(device).contains(expected), 5000);
    }

    void missingExecutable()
    {
        TestDevice device;
        auto service = makeService(device, false);
        platform::setClockMs(5000000);
        LogCapture log;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            service->startBackend();
            QCOMPARE(service->backendPid, -1);
            QCOMPARE(service->backendStdinFd, -1);
            QCOMPARE(service->backendRestartAttempts, attempt);
            QCOMPARE(service->backendNextStartMs, platform::nowMs() + 2000);
            QVERIFY(log.contains("service: posix_spawn failed rc=2 (No such file or directory)"));
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
        auto service = makeService(device);
        BackendReaper reaper {&service->backendPid};
        const int inheritable = open("/dev/null", O_RDONLY); // no close-on-exec
        QVERIFY(inheritable >= 0);
        for (int launch = 0; launch < 2; ++launch) {
            service->startBackend();
            QVERIFY(service->backendPid > 0);
            QTRY_COMPARE_WITH_TIMEOUT(device.read("data/td_backend_service.out"), QByteArray("ping\n"), 5000);
            QCOMPARE(device.read("data/td_backend_service.err"), QByteArray());
            QStringList fds = QDir(QStringLiteral("/proc/%1/fd").arg(service->backendPid)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
            fds.sort();
            QCOMPARE(fds, QStringList({"0", "1", "2"}));
            send(service.get(), "sim bogus");
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
        auto service = makeService(device);
        BackendReaper reaper {&service->backendPid};
        service->startBackend();
        const int pid = service->backendPid;
        QVERIFY(pid > 0);
        if (ignoreTerm) {
            // Deaf to SIGTERM and no longer reading, so the end of its input
            // does not end it either.
            send(service.get(), "sim ignore-term");
            send(service.get(), "sim stop-reading");
            QTRY_VERIFY_WITH_TIMEOUT(backendOutput(device).contains("sim stop-reading"), 5000);
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

        log.clear();
        service->stopBackend();
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_launch.moc"
