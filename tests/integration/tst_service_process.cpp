// The real programs together: the service in a device folder with the backend simulator, driven with zunaroctl.

#include <QtTest>

#include <sys/stat.h>

#include <csignal>

#include "serviceprocess.h"
#include "testdevice.h"

namespace {
// An environment with no session bus to reach, no platform or device named, and `set` ("NAME=value") on top.
QProcessEnvironment bareEnvironment(const QString &dir, const QStringList &set = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"ZUNARO_PLATFORM", "ZUNARO_DEVICE_ROOT", "JOURNAL_STREAM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=%1/no-bus").arg(dir));
    for (const QString &pair : set)
        env.insert(pair.section('=', 0, 0), pair.section('=', 1));
    return env;
}

// The processes running the device's backend, by id (a zombie runs nothing).
QList<int> backendPids(const TestDevice &device)
{
    QList<int> pids;
    const QString exe = device.appDir() + QStringLiteral("/td_backend");
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry.toInt() > 0 && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)) == exe)
            pids << entry.toInt();
    }
    return pids;
}

} // namespace

class ServiceProcessTest : public QObject
{
    Q_OBJECT

private slots:
    // Both programs' options: what they print where, and their exit status; the service starts nothing.
    void options_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args"); // DEV stands for the device root
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("onStdout"); // else one line on standard error
        QTest::addColumn<QByteArray>("says");
        const auto row = [](const char *name, const char *program, const QStringList &args, int exitCode,
                            bool onStdout, const QByteArray &says) {
            QTest::newRow(name) << QString(program) << args << exitCode << onStdout << says;
        };
        row("service help", "zunaro-service", {"--help"}, 0, true, "--platform <NAME>");
        row("service version", "zunaro-service", {"--version"}, 0, true, "zunaro-service " ZUNARO_VERSION "\n");
        row("service unknown option", "zunaro-service", {"--bogus"}, 2, false, "'bogus'");
        row("service --platform=", "zunaro-service", {"--platform=phone"}, 2, false, "unknown platform \"phone\"");
        row("service --platform NAME", "zunaro-service", {"--platform", "desktop"}, 2, false, "needs a session bus");
        row("ctl help", "zunaroctl", {"--help"}, 0, true, "  com.kvel.zunaro.service.STOP    stop");
        row("ctl version", "zunaroctl", {"--version"}, 0, true, "zunaroctl " ZUNARO_VERSION "\n");
        row("ctl unknown option", "zunaroctl", {"--bogus", "hub"}, 2, false, "'bogus'");
        row("ctl --platform=", "zunaroctl", {"--platform=embedded", "--root", "DEV", "hub"}, 0, true, "Hub: 0 entries\n");
        row("ctl in a device", "zunaroctl", {"hub"}, 0, true, "Hub: 0 entries\nDialog: none\n");
        row("ctl --platform NAME", "zunaroctl", {"--platform", "desktop", "--root", "DEV", "hub"}, 2, false,
            "--root names a device folder, and the desktop platform has none");
        row("ctl --root empty", "zunaroctl", {"--root", "", "hub"}, 2, false, "--root is empty");
        row("ctl desktop ui", "zunaroctl", {"--platform=desktop", "ui"}, 2, false, "ui: missing argument (alive");
        row("ctl status, no bus", "zunaroctl", {"--platform=desktop", "status"}, 1, false,
            "No such file or directory): run zunaroctl in the desktop session, or set DBUS_SESSION_BUS_ADDRESS");
    }
    void options()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(bool, onStdout);
        QFETCH(QByteArray, says);
        TestDevice device;
        QVERIFY(device.installTool(program, program));
        args.replaceInStrings(QRegularExpression("^DEV$"), device.root());
        const CtlRun run = runToEnd(device.appDir() + '/' + program, args, bareEnvironment(device.root()));
        QTEST(run.exitCode, "exitCode");
        const QByteArray &shown = onStdout ? run.out : run.err;
        QVERIFY2(shown.contains(says), shown.constData());
        QVERIFY2((onStdout ? run.err : run.out).isEmpty() && (onStdout || run.err.count('\n') == 1), run.err.constData());
        QVERIFY(!device.exists("platform/notification_settings.json"));
    }

    // Run as nobody, a start-up that cannot work ends with 2 and a line naming place, cause and remedy, making nothing;
    // zunaroctl then says why it cannot mark the UI alive where the data folder is at fault.
    void startUpRefusals_data()
    {
        QTest::addColumn<QString>("data"); // a folder of mode 0500, root's folder, a file; "": no device layout
        QTest::addColumn<QByteArray>("says"); // @ stands for the device root; after | what zunaroctl says
        QTest::newRow("no device layout") << "" << QByteArray("the embedded platform needs a device folder: @/usr/"
            "libexec/zunaro is no device's app/native folder and $ZUNARO_DEVICE_ROOT is not set; on a desktop use "
            "--platform=desktop");
        QTest::newRow("data folder unwritable") << "0500"
            << QByteArray("cannot write in the data folder @/data: Permission denied (EACCES)|Permission denied");
        QTest::newRow("data folder of another user") << "root" << QByteArray("cannot use the data folder @/data: it "
            "belongs to uid 0, not to this user (uid 65534)|Permission denied");
        QTest::newRow("a file for the data folder")
            << "file" << QByteArray("cannot use the data folder @/data: a file is there, not a folder|Not a directory");
    }
    void startUpRefusals()
    {
        QFETCH(QString, data);
        QFETCH(QByteArray, says);
        TestDevice device;
        const QByteArray dev = device.root().toUtf8();
        const QString exe = device.path(data.isEmpty() ? "usr/libexec/zunaro" : "app/native") + "/zunaro-service";
        QVERIFY(QDir().mkpath(QFileInfo(exe).path()) && QFile::copy(builtTool("zunaro-service"), exe));
        QCOMPARE(runToEnd("chown", {"-R", "65534:65534", dev}).exitCode + chmod(dev, 0755), 0);
        QCOMPARE(data == "0500" ? chmod(dev + "/data", 0500) : data == "root" ? chown(dev + "/data", 0, 0)
                 : data == "file" ? rmdir(dev + "/data") + !device.write("data", "") : 0, 0);
        const QStringList asNobody {"--reuid=65534", "--regid=65534", "--clear-groups"};
        const QByteArray before = runToEnd("find", {dev}).out;
        const CtlRun run = runToEnd("setpriv", asNobody + QStringList {exe}, bareEnvironment(dev));
        const QList<QByteArray> said = says.replace("@", dev).split('|');
        QCOMPARE(QByteArray::number(run.exitCode) + ' ' + run.err, "2 zunaro-service: " + said.first() + '\n');
        QCOMPARE(runToEnd("find", {dev}).out, before);
        const CtlRun ctl = runToEnd("setpriv", asNobody + QStringList {builtTool("zunaroctl"), "--root", dev, "ui",
                                                                        "alive"});
        QCOMPARE(QByteArray::number(ctl.exitCode) + ' ' + ctl.err, data.isEmpty() ? "0 "
                 : "1 zunaroctl: could not write " + dev + "/data/ui_alive.txt: " + said.last() + '\n');
    }

    // zunaroctl installed under a prefix talks to the desktop service and writes only in the user's folders.
    void installedCtl_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("written"); // every file afterwards, but zunaroctl itself
        QTest::newRow("ui alive") << QStringList {"ui", "alive"} << 0 << QStringList {"home/data/zunaro/ui_alive.txt"};
        QTest::newRow("lock is no desktop command") << QStringList {"lock", "1"} << 2 << QStringList();
        QTest::newRow("embedded, no device") << QStringList {"--platform=embedded", "ui", "alive"} << 2 << QStringList();
        QTest::newRow("file system root") << QStringList {"--root", "/", "hub"} << 2 << QStringList();
    }
    void installedCtl()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, written);
        QTemporaryDir tmp;
        QVERIFY(QDir().mkpath(tmp.filePath("usr/bin")) && QDir().mkpath(tmp.filePath("run")));
        QVERIFY(QFile::copy(builtTool("zunaroctl"), tmp.filePath("usr/bin/zunaroctl")));
        const QString home = tmp.filePath("home");
        const CtlRun run = runToEnd(tmp.filePath("usr/bin/zunaroctl"), args,
                                    bareEnvironment(tmp.path(), {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                                                 "XDG_CONFIG_HOME=" + home + "/config",
                                                                 "XDG_RUNTIME_DIR=" + tmp.filePath("run")}));
        QTEST(run.exitCode, "exitCode");
        QStringList files;
        for (QDirIterator it(tmp.path(), QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext();)
            files.append(QDir(tmp.path()).relativeFilePath(it.next()));
        files.sort();
        QCOMPARE(files, written + QStringList {"usr/bin/zunaroctl"});
    }

    // The real program answers the user's invocations; under systemd each line carries its priority for the journal,
    // elsewhere none. SIGTERM ends the event loop: the process exits normally and takes its control socket along.
    void invocationsJournalAndStop_data()
    {
        QTest::addColumn<bool>("toJournal");
        QTest::newRow("standard error is the journal") << true;
        QTest::newRow("standard error is a file") << false;
    }
    void invocationsJournalAndStop()
    {
        QFETCH(bool, toJournal);
        TestDevice device;
        QVERIFY(device.installTool("zunaro-service", "zunaro-service") && device.write("stderr", ""));
        struct stat st {};
        QVERIFY(stat(QFile::encodeName(device.path(toJournal ? "stderr" : "data")).constData(), &st) == 0);
        QProcess service;
        service.setProcessEnvironment(
            bareEnvironment(device.root(), {QStringLiteral("JOURNAL_STREAM=%1:%2").arg(st.st_dev).arg(st.st_ino)}));
        service.setStandardErrorFile(device.path("stderr"));
        service.start(device.appDir() + "/zunaro-service", {});
        const int pid = service.waitForStarted() ? int(service.processId()) : 0;
        ChildReaper reaper {&pid};
        QTRY_VERIFY_WITH_TIMEOUT(device.read("stderr").contains("service: cmd socket listening"), 10000);
        for (const char *action : {"com.kvel.zunaro.service.STOP", "com.kvel.zunaro.service.START"}) {
            QCOMPARE(zunaroctl(device, {"invoke", action}).exitCode, 0);
            QTRY_VERIFY2_WITH_TIMEOUT(device.read("stderr").contains(QByteArray("invoked action=") + action), action,
                                      10000);
        }
        service.terminate();
        QVERIFY(service.waitForFinished(10000) && service.exitStatus() == QProcess::NormalExit);
        QVERIFY(service.exitCode() == 0 && !device.exists("platform/control.sock"));
        const QList<QByteArray> lines = device.lines("stderr");
        for (const char *line : {"<6>service: starting", "<7>service: bps_initialize err=0",
                                 "<6>service: cmd socket listening on 127.0.0.1:47010",
                                 "<6>service: invoked action=com.kvel.zunaro.service.START",
                                 "<6>service: stopping on SIGTERM"})
            QVERIFY2(lines.contains(toJournal ? QByteArray(line) : QByteArray(line + 3)), device.read("stderr"));
        for (const QByteArray &line : lines)
            QVERIFY2(toJournal == QRegularExpression("^<[3467]>\\S").match(QString::fromUtf8(line)).hasMatch(),
                     line.constData());
    }

    void noBackendLeftBehind_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("service terminated") << false;
        QTest::newRow("service killed, a second one started") << true;
    }
    // A backend that reads no more and ignores SIGTERM neither outlives its service's SIGTERM nor runs beside the
    // next service's backend after its service was killed. While that lives, a second service of the device, or of one
    // whose backend is the same program with an id file naming this backend, ends itself and not the backend.
    void noBackendLeftBehind()
    {
        QFETCH(bool, killed);
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        const auto endLeftovers = qScopeGuard([&] {
            for (const int pid : backendPids(device))
                kill(pid, SIGKILL);
        });
        QList<int> first;
        {
            ServiceProcess service(device);
            QVERIFY(service.start());
            QCOMPARE(zunaroctl(device, {"send", "sim ignore-term", "sim stop-reading"}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("sim stop-reading"), 5000);
            first = backendPids(device);
            QCOMPARE(first.size(), 1);
            const CtlRun again = runToEnd(device.appDir() + "/zunaro-service", {});
            QVERIFY(again.exitCode == 1 && again.err.contains(QFile::encodeName(device.path("platform/zunaro-service"))));
            TestDevice other;
            QVERIFY(QFile::link(device.appDir() + "/td_backend", other.appDir() + "/td_backend")
                    && other.write("data/td_backend.pid", QByteArray::number(first.value(0))));
            QVERIFY(!ServiceProcess(other).start());
            QCOMPARE(backendPids(device), first);
            killed ? service.process().kill() : service.process().terminate();
            QVERIFY(service.process().waitForFinished(10000));
        }
        if (!killed) {
            QCOMPARE(backendPids(device), QList<int>());
            return;
        }
        ServiceProcess second(device);
        QVERIFY(second.start());
        QCOMPARE(zunaroctl(device, {"send", "hello"}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.read("data/td_backend_service.out").contains("hello"), 10000);
        const QList<int> now = backendPids(device);
        QVERIFY2(now.size() == 1 && now != first, qPrintable(QString::number(now.size())));
    }

    // Push news is shown once, and none is lost, across stops within a second of its arrival: SIGTERM after its
    // summary, SIGINT while the summary still waits (the next service shows that news).
    void pushNewsOnceAcrossStops()
    {
        TestDevice device;
        QProcess proxy;
        const int port = startProxySim(proxy);
        qint64 polls = 0; // before the service started
        const auto polledFrom = [&](qint64 since) {
            const QJsonObject stats = QJsonDocument::fromJson(proxyControl(port, "stats")).object();
            return stats["polls"].toInteger() > polls && stats["last_since"].toInteger() == since;
        };
        const auto start = [&](int coalesceMs) {
            const QString settings("TGPUSH_POLL_URL=http://127.0.0.1:%1/poll\nTGPUSH_NOTIFY_COALESCE_MS=%2\n"
                                   "TGPUSH_POLL_DELAY_ON_EVENTS_MS=0\n");
            device.write("data/tgpush_proxy.env", settings.arg(port).arg(coalesceMs).toUtf8());
            polls = QJsonDocument::fromJson(proxyControl(port, "stats"))["polls"].toInteger();
            auto service = std::make_unique<ServiceProcess>(device);
            return service->start() ? std::move(service) : nullptr;
        };
        const QRegularExpression any(".");
        const auto shown = [&] { return device.column("platform/hub/journal.jsonl", "body").filter(any); };
        auto service = start(0);
        QTRY_VERIFY_WITH_TIMEOUT(service && polledFrom(0), 10000);
        proxyControl(port, "publish?count=5");
        QTRY_COMPARE_WITH_TIMEOUT(shown(), QStringList {"5 new messages"}, 10000);
        kill(pid_t(service->process().processId()), SIGTERM);
        QVERIFY(service->process().waitForFinished(10000) && service->process().exitCode() == 0);
        service = start(600000);
        QTRY_VERIFY_WITH_TIMEOUT(service && polledFrom(5), 10000);
        proxyControl(port, "publish");
        QTRY_VERIFY_WITH_TIMEOUT(polledFrom(6), 10000);
        kill(pid_t(service->process().processId()), SIGINT);
        QVERIFY(service->process().waitForFinished(10000) && service->process().exitCode() == 0);
        service = start(0);
        QTRY_COMPARE_WITH_TIMEOUT(shown(), (QStringList {"5 new messages", "1 new message"}), 10000);
        proxy.kill();
        proxy.waitForFinished();
    }

    // The simulated backend's events reach the user: a call rings, three messages make one summary, history from
    // before start-up is never announced. After a stop, the UI's next lines reach a new backend in order, its end seen.
    void eventsReachTheUser()
    {
        TestDevice device;
        QVERIFY(device.installTool("td_backend_sim", "td_backend"));
        QVERIFY(device.write("data/backend_events.jsonl", messageEvent(5, "Old", "stale") + '\n'));
        ServiceProcess service(device);
        QVERIFY(service.start());
        const auto emitted = [](const QByteArray &event) { return "sim emit " + QString::fromUtf8(event); };
        // The first command starts the backend, which takes them all in order.
        QCOMPARE(zunaroctl(device, {"send", emitted(callEvent(7, "callStatePending")),
                                    emitted(messageEvent(9007199254740993LL, "Alice", "Hi", 1700000100, "Alice")),
                                    emitted(messageEvent(42, "Team", "Lunch?", 1700000200, "Bob")),
                                    emitted(messageEvent(9007199254740993LL, "Alice", "See you\\tthere", 1700000300))})
                     .exitCode,
                 0);
        const QString uri = "zunaro://call?chat_id=12&call_id=7&user_id=3";
        QTRY_COMPARE_WITH_TIMEOUT(device.column("platform/invocations.jsonl", "uri"), QStringList {uri}, 10000);
        QCOMPARE(zunaroctl(device, {"send", emitted(callEvent(7, "callStateDiscarded"))}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.exists("platform/hub/kvel_hub_call.json"), 5000);
        QVERIFY(!device.exists("platform/dialog.json"));
        const QString summary = "3 new messages from 2 chats\nAlice: See you there\nTeam: Bob: Lunch?\nAlice: Hi";
        QTRY_COMPARE_WITH_TIMEOUT(device.json("platform/hub/kvel_hub_summary.json").value("body").toString(), summary,
                                  15000);
        QCOMPARE(device.read("platform/hub/journal.jsonl").count(R"("key":"kvel_hub_summary","op":"post")"), 1);

        QCOMPARE(zunaroctl(device, {"invoke", "com.kvel.zunaro.service.STOP"}).exitCode, 0);
        QCOMPARE(zunaroctl(device, {"send", "r1", "r2", "sim exit 3"}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(device.lines("data/td_backend_service.out"),
                                  (QList<QByteArray> {"ping", "r1", "r2", "sim exit 3"}), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(service.lines().contains("service: backend finished exitCode=3 status=0"), 5000);
    }
};

QTEST_GUILESS_MAIN(ServiceProcessTest)
#include "tst_service_process.moc"
