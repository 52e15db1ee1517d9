// The embedded platform in a process of its own: the control socket with
// honest and hostile clients, zunaroctl as a user runs it against it, what it
// makes of hostile lines and state files, and the device files each call
// reads or writes.

#include <QtTest>

#include <QLocalServer>
#include <QLocalSocket>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/system/InvokeManager.h"
#include "bps/bps.h"
#include "serviceprocess.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/network.h"

#include "control_request.h"
#include "online_state.h"
#include "state_parse.h"

using bb::system::InvokeRequest;
using zplatform::ControlRequest;

namespace {
const QByteArray kOk = R"({"ok":true})";

QByteArray refusal(const QString &error)
{
    return R"({"error":")" + error.toUtf8() + R"(","ok":false})";
}

InvokeRequest request(const QString &uri)
{
    return invocation(QStringLiteral("bb.action.START"), uri, QStringLiteral("com.kvel.zunaro"));
}

QString socketPath(const TestDevice &device)
{
    return device.platformDir() + QStringLiteral("/control.sock");
}

bool connectTo(QLocalSocket &client, const TestDevice &device)
{
    client.connectToServer(socketPath(device));
    return client.waitForConnected(2000);
}

// Sends one line and waits (running the event loop) for the one answer.
QByteArray ask(QLocalSocket &client, const QByteArray &line)
{
    client.write(line + '\n');
    (void)QTest::qWaitFor(
        [&client] { return client.canReadLine() || client.state() != QLocalSocket::ConnectedState; }, 5000);
    return client.canReadLine() ? client.readLine().trimmed() : QByteArray();
}

// A fresh client that is answered: the platform still serves.
bool stillAnswers(const TestDevice &device)
{
    QLocalSocket client;
    return connectTo(client, device) && ask(client, R"({"online":true})") == kOk;
}

// Leaves a socket file behind with nobody listening, as a killed service does.
bool leaveStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    memcpy(addr.sun_path, p.constData(), size_t(p.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return bound;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT
private slots:
    void socketLifetime()
    {
        TestDevice device;
        {
            bb::system::InvokeManager first;
            bb::system::InvokeManager second;
            struct stat st;
            QCOMPARE(::lstat(QFile::encodeName(socketPath(device)).constData(), &st), 0);
            QVERIFY(S_ISSOCK(st.st_mode));
            QCOMPARE(st.st_mode & 0777, mode_t(0600));
            QVERIFY(stillAnswers(device));
            // No socket of the platform may leak into a spawned backend.
            for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System)) {
                if (fd.symLinkTarget().contains(QLatin1String("socket:")))
                    QVERIFY2(::fcntl(fd.fileName().toInt(), F_GETFD) & FD_CLOEXEC, qPrintable(fd.fileName()));
            }
        }
        QVERIFY(!QFileInfo::exists(socketPath(device)));
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("dialogShown");
        QTest::addColumn<QString>("error"); // empty for {"ok":true}
        QTest::addColumn<QString>("invoked"); // action the service got, or uri the user sent
        QTest::addColumn<bool>("goesOffline");
        const auto row = [](const char *name, const QByteArray &line, bool dialog, const char *error,
                            const char *invoked = "", bool offline = false) {
            QTest::newRow(name) << line << dialog << QString(error) << QString(invoked) << offline;
        };
        const char *start = "com.kvel.zunaro.service.START";
        row("invoke", R"({"invoke":{"action":"com.kvel.zunaro.service.START"}})", false, "", start);
        row("offline", R"({"online":false})", false, "", "", true);
        row("online again is no change", R"({"online":true})", false, "");
        row("press Answer", R"({"dialog_button":"Answer"})", true, "", "zunaro://call?auto=answer");
        row("press Decline", R"({"dialog_button":"Decline"})", true, "", "zunaro://call?auto=decline");
        row("press unknown button", R"({"dialog_button":"Maybe"})", true, "the dialog has no button Maybe");
        row("press without dialog", R"({"dialog_button":"Answer"})", false, "no dialog on screen");
        row("select entry", R"({"hub_select":"with_invoke"})", false, "", "zunaro://hub?screen=chats");
        row("select entry without request", R"({"hub_select":"plain"})", false, "hub entry carries no invoke request");
        row("select absent entry", R"({"hub_select":"nothing"})", false, "no such hub entry");
        row("select outside the hub", R"({"hub_select":"../dialog"})", true, "no such hub entry");
        row("not json", "online please", false, "not a JSON object");
    }
    void requests()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, dialogShown);
        QFETCH(QString, error);
        QFETCH(QString, invoked);
        QFETCH(bool, goesOffline);
        TestDevice device;
        bb::system::InvokeManager invokeManager;
        zplatform::NetworkConfigurationManager network;
        zplatform::reportOnline(true);
        bb::platform::Notification withInvoke(QStringLiteral("with_invoke"));
        withInvoke.setInvokeRequest(request(QStringLiteral("zunaro://hub?screen=chats")));
        QCOMPARE(withInvoke.notify(), 0);
        QCOMPARE(bb::platform::Notification(QStringLiteral("plain")).notify(), 0);
        bb::platform::NotificationDialog dialog;
        for (const char *button : {"Answer", "Decline"})
            dialog.appendButton(new bb::system::SystemUiButton(QString::fromLatin1(button)),
                                request("zunaro://call?auto=" + QString::fromLatin1(button).toLower()));
        if (dialogShown)
            dialog.show();

        QSignalSpy serviceGot(&invokeManager, &bb::system::InvokeManager::invoked);
        QSignalSpy online(&network, &zplatform::NetworkConfigurationManager::onlineStateChanged);
        QLocalSocket client;
        QVERIFY(connectTo(client, device));
        QCOMPARE(ask(client, line), error.isEmpty() ? kOk : refusal(error));

        const bool byUser = invoked.contains("://");
        QCOMPARE(serviceGot.size(), invoked.isEmpty() || byUser ? 0 : 1);
        if (serviceGot.size())
            QCOMPARE(serviceGot.first().first().value<InvokeRequest>().action(), invoked);
        QCOMPARE(online.size(), int(goesOffline));
        QCOMPARE(network.isOnline(), !goesOffline);
        const QJsonObject sent = device.jsonLines("platform/invocations.jsonl").value(0);
        QCOMPARE(sent.value("uri").toString(), byUser ? invoked : QString());
        QCOMPARE(sent.value("by").toString(), byUser ? "user" : QString());
        // A pressed dialog leaves the screen; any other request leaves it be.
        const bool stays = dialogShown && !byUser;
        QCOMPARE(device.exists("platform/dialog.json"), stays);
        QCOMPARE(dialog.isShown(), stays);
        QCOMPARE(ask(client, R"({"online":true})"), kOk);
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("platformUp");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stderrHas");
        QTest::newRow("no command") << QStringList() << true << 2 << QByteArray("no command given");
        QTest::newRow("unknown command") << QStringList {"bogus"} << true << 2 << QByteArray("unknown command \"bogus\"");
        QTest::newRow("online takes 1 or 0") << QStringList {"online", "yes"} << true << 2 << QByteArray("1 or 0");
        QTest::newRow("lock out of range") << QStringList {"lock", "3"} << true << 2 << QByteArray("0, 1 or 2");
        QTest::newRow("ui unknown state") << QStringList {"ui", "asleep"} << true << 2 << QByteArray("alive");
        QTest::newRow("press without argument") << QStringList {"press"} << true << 2 << QByteArray("exactly one");
        QTest::newRow("send too long") << QStringList {"send", QString(5000, 'x')} << true << 1 << QByteArray("do not fit");
        QTest::newRow("no platform") << QStringList {"online", "1"} << false << 1 << QByteArray("no service listening");
        QTest::newRow("error reply") << QStringList {"press", "Answer"} << true << 1 << QByteArray("no dialog on screen");
    }
    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, platformUp);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stderrHas);
        TestDevice device;
        std::unique_ptr<bb::system::InvokeManager> manager;
        if (platformUp)
            manager = std::make_unique<bb::system::InvokeManager>();
        const CtlRun run = zunaroctl(device, args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(stderrHas), run.err.constData());
    }

    void drivesThePlatform()
    {
        TestDevice device;
        bb::system::InvokeManager manager;
        zplatform::NetworkConfigurationManager network;
        QSignalSpy invoked(&manager, &bb::system::InvokeManager::invoked);

        QCOMPARE(zunaroctl(device, {"invoke", "com.kvel.zunaro.service.START"}).exitCode, 0);
        QCOMPARE(invoked.value(0).value(0).value<InvokeRequest>().action(),
                 QStringLiteral("com.kvel.zunaro.service.START"));
        const bool wasOnline = network.isOnline();
        QCOMPARE(zunaroctl(device, {"online", wasOnline ? "0" : "1"}).exitCode, 0);
        QCOMPARE(network.isOnline(), !wasOnline);
        QCOMPARE(zunaroctl(device, {"lock", "2"}).exitCode, 0);
        QCOMPARE(navigator_get_device_lock_state(), 2);
        QCOMPARE(zunaroctl(device, {"ui", "running"}).exitCode, 0);
        QVERIFY(device.read("data/ui_running.txt").trimmed().toLongLong() > 0);
        QVERIFY(device.exists("data/ui_alive.txt"));
        QCOMPARE(zunaroctl(device, {"ui", "gone"}).exitCode, 0);
        QVERIFY(!device.exists("data/ui_alive.txt") && !device.exists("data/ui_running.txt"));

        bb::platform::Notification summary(QStringLiteral("kvel_hub_summary"));
        summary.setTitle(QStringLiteral("Telegram"));
        summary.setBody(QStringLiteral("Ann: hello"));
        summary.setInvokeRequest(request(QStringLiteral("zunaro://hub?screen=chats")));
        QCOMPARE(summary.notify(), 0);
        bb::platform::NotificationDialog dialog;
        dialog.setTitle(QStringLiteral("Telegram Vyn"));
        dialog.appendButton(new bb::system::SystemUiButton(QStringLiteral("Answer")),
                            request(QStringLiteral("zunaro://call?call_id=7&auto=answer")));
        dialog.show();
        const CtlRun hub = zunaroctl(device, {"hub"});
        QCOMPARE(hub.exitCode, 0);
        for (const char *shown : {"kvel_hub_summary: Telegram", "Ann: hello", "zunaro://hub?screen=chats",
                                  "Dialog: Telegram Vyn", "[Answer]"})
            QVERIFY2(hub.out.contains(shown), hub.out.constData());

        QCOMPARE(zunaroctl(device, {"select", "kvel_hub_summary"}).exitCode, 0);
        QCOMPARE(zunaroctl(device, {"press", "Answer"}).exitCode, 0);
        const QString invocations = QStringLiteral("platform/invocations.jsonl");
        QCOMPARE(device.column(invocations, "uri"),
                 QStringList({"zunaro://hub?screen=chats", "zunaro://call?call_id=7&auto=answer"}));
        QCOMPARE(device.column(invocations, "by"), QStringList({"user", "user"}));

        QUdpSocket commandPort;
        QVERIFY(commandPort.bind(QHostAddress::LocalHost, zplatform::kCommandPort));
        QCOMPARE(zunaroctl(device, {"send", "login", "status"}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(commandPort.hasPendingDatagrams(), 5000);
        QCOMPARE(commandPort.receiveDatagram().data(), QByteArray("login\nstatus"));
    }

    void hostileClients_data()
    {
        QTest::addColumn<QString>("scenario");
        for (const char *scenario : {"100 KiB line", "64 KiB line is still read", "vanish mid-line", "many at once",
                                     "silent clients", "never reads answers"})
            QTest::newRow(scenario) << QString::fromLatin1(scenario);
    }
    void hostileClients()
    {
        QFETCH(QString, scenario);
        TestDevice device;
        bb::system::InvokeManager invokeManager;
        std::vector<std::unique_ptr<QLocalSocket>> clients;
        // Silent clients fill every place the platform keeps.
        const int count = scenario.startsWith("silent") ? 64
                          : scenario.startsWith("many") ? 40
                          : scenario.startsWith("vanish") ? 5
                                                          : 1;
        zplatform::setClockMs(zplatform::nowMs());
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<QLocalSocket>());
            QVERIFY(connectTo(*clients.back(), device));
            // Accepted one by one (the listening backlog is shorter than the
            // crowd); the first has been silent longest.
            QTest::qWait(i == 0 ? 50 : 0);
            if (i == 0)
                zplatform::advanceClockMs(1000);
        }
        QLocalSocket &client = *clients.front();
        if (scenario.startsWith("100 KiB")) {
            client.write(QByteArray(100 * 1024, 'x') + '\n');
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 5000);
        } else if (scenario.startsWith("64 KiB")) {
            QCOMPARE(ask(client, QByteArray(64 * 1024, 'x')), refusal("not a JSON object"));
        } else if (scenario.startsWith("vanish")) {
            for (auto &c : clients) {
                c->write("{\"invoke\":{\"act");
                c->flush();
                c->abort();
                QCoreApplication::processEvents();
            }
        } else if (scenario.startsWith("many")) {
            for (auto &c : clients)
                c->write(R"({"online":true})" "\n");
            for (auto &c : clients) {
                QTRY_VERIFY_WITH_TIMEOUT(c->canReadLine(), 5000);
                QCOMPARE(c->readLine().trimmed(), kOk);
            }
        } else if (scenario.startsWith("never")) {
            // Requests flood in, the answers are never read: the platform must
            // let go of this client rather than buffer without end.
            client.setReadBufferSize(1);
            const QByteArray burst = QByteArray(R"({"online":true})" "\n").repeated(4096);
            for (int i = 0; i < 200 && client.state() == QLocalSocket::ConnectedState; ++i) {
                client.write(burst);
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 10000);
        }
        QVERIFY(stillAnswers(device));
        if (scenario.startsWith("silent")) {
            // The newcomer got the place of the client silent longest; the
            // rest go once they have said nothing for 10 s.
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 5000);
            zplatform::advanceClockMs(10001);
            QTRY_VERIFY_WITH_TIMEOUT(std::all_of(clients.begin(), clients.end(),
                                                 [](auto &c) { return c->state() == QLocalSocket::UnconnectedState; }),
                                     5000);
        }
    }

    void socketFileAtStart_data()
    {
        QTest::addColumn<QString>("leftThere");
        QTest::addColumn<bool>("ours");
        QTest::newRow("stale socket of a dead service") << "stale" << true;
        QTest::newRow("a plain file") << "file" << true;
        QTest::newRow("another live service") << "live" << false;
    }
    void socketFileAtStart()
    {
        QFETCH(QString, leftThere);
        QFETCH(bool, ours);
        TestDevice device;
        LogCapture log;
        const QString path = socketPath(device);
        QDir().mkpath(device.platformDir());
        QLocalServer other;
        if (leftThere == "stale")
            QVERIFY(leaveStaleSocket(path));
        else if (leftThere == "file")
            QVERIFY(device.write("platform/control.sock", "junk"));
        else
            QVERIFY(other.listen(path));
        {
            bb::system::InvokeManager invokeManager;
            QSignalSpy invoked(&invokeManager, &bb::system::InvokeManager::invoked);
            QLocalSocket client;
            QVERIFY(connectTo(client, device));
            client.write(R"({"invoke":{"action":"a"}})" "\n");
            if (ours) {
                QTRY_COMPARE_WITH_TIMEOUT(invoked.size(), 1, 5000);
                QVERIFY(log.matching("platform: control socket").isEmpty());
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(other.hasPendingConnections(), 5000);
                QCOMPARE(invoked.size(), 0);
                QVERIFY(log.matching("platform: control socket").value(0).contains("in use by another process"));
            }
        }
        // Closing down takes away only a socket this process opened.
        QCOMPARE(QFileInfo::exists(path), !ours);
    }

    // The lock state file as written, or a hostile kind of file (placeAt());
    // what its content means is checked by the state files' fuzz target.
    void lockState()
    {
        const QList<QPair<QByteArray, int>> rows {{"<none>", 0}, {"  2 \r\n", 2}, {"01", -1},
                                                  {QByteArray(1 << 20, '0'), -1}, {"<dir>", -1}, {"<fifo>", -1}};
        for (const auto &[content, state] : rows) {
            TestDevice device;
            QVERIFY(placeAt(device.path("platform/lock_state"), content));
            QVERIFY2(navigator_get_device_lock_state() == state, content.left(16).toPercentEncoding().constData());
        }
    }

    void controlRequest_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("detail"); // action|target|uri|mime, online, name or the error
        const auto row = [](const char *name, const QByteArray &line, int kind, const QString &detail) {
            QTest::newRow(name) << line << kind << detail;
        };
        const int bad = ControlRequest::Invalid;
        row("invoke all fields, CRLF",
            "{\"invoke\":{\"action\":\"A\",\"target\":\"t\",\"uri\":\"zunaro://x?y=1\",\"mime\":\"text/plain\"}}\r",
            ControlRequest::Invoke, "A|t|zunaro://x?y=1|text/plain");
        row("online false", R"( {"online" : false} )", ControlRequest::Online, "0");
        row("hub select", R"({"hub_select":"kvel_hub_summary"})", ControlRequest::HubSelect, "kvel_hub_summary");
        row("unknown", R"({"reboot":true})", bad, "unknown request");
        row("two requests", R"({"online":true,"hub_select":"k"})", bad, "more than one request in a line");
        row("invoke not object", R"({"invoke":"START"})", bad, "invoke must be an object");
        row("invoke no action", R"({"invoke":{"target":"t"}})", bad, "invoke needs an action string");
        row("invoke empty action", R"({"invoke":{"action":""}})", bad, "invoke needs an action string");
        row("invoke numeric uri", R"({"invoke":{"action":"a","uri":5}})", bad, "invoke field uri must be a string");
        row("invoke uri QUrl cannot read", R"({"invoke":{"action":"a","uri":"file://`a b"}})", bad,
            "invoke field uri is not a valid URI");
        row("online as string", R"({"online":"1"})", bad, "online must be true or false");
        row("button null", R"({"dialog_button":null})", bad, "dialog_button needs a non-empty string");
        row("select empty", R"({"hub_select":""})", bad, "hub_select needs a non-empty string");
    }
    void controlRequest()
    {
        QFETCH(QByteArray, line);
        const ControlRequest r = zplatform::parseControlRequest(line);
        QTEST(int(r.kind), "kind");
        const QString invoke = QStringList({r.invoke.action(), r.invoke.target(), r.invoke.uri().toString(),
                                            r.invoke.mimeType()}).join('|');
        const QString seen[] = {r.error, invoke, QString::number(int(r.online)), r.name, r.name};
        QTEST(seen[r.kind], "detail");
    }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<int>>("values"); // sound, vibrate, led, preview
        QTest::newRow("as applied") << QByteArray(R"({"sound":1,"vibrate":2,"led":1,"preview":1,"vibrate_count":1})")
                                    << QList<int> {1, 2, 1, 1};
        QTest::newRow("not json") << QByteArray("sound=1") << QList<int> {0, 0, 0, 0};
        QTest::newRow("out of range and wrong types")
            << QByteArray(R"({"sound":7,"vibrate":"1","led":-1,"preview":1.5})") << QList<int> {0, 0, 0, 0};
        QTest::newRow("some missing") << QByteArray(R"({"led":2})") << QList<int> {0, 0, 2, 0};
    }
    void settings()
    {
        QFETCH(QByteArray, content);
        const zplatform::AppliedSettings s = zplatform::settingsFromJson(content);
        QTEST((QList<int> {s.sound, s.vibrate, s.led, s.preview}), "values");
    }

    void hubEntriesAndJournal()
    {
        TestDevice device;
        zplatform::setClockMs(1700000000000);
        bb::platform::Notification summary(QStringLiteral("kvel_hub_summary"));
        summary.setTitle(QStringLiteral("Telegram"));
        summary.setTimestamp(zplatform::now());
        summary.setInvokeRequest(request(QStringLiteral("zunaro://hub?screen=chats")));
        for (const char *body : {"first", "second"}) {
            summary.setBody(QString::fromLatin1(body));
            QCOMPARE(summary.notify(), 0);
        }
        const QJsonObject entry = device.json("platform/hub/kvel_hub_summary.json");
        QCOMPARE(entry.value("body").toString(), QStringLiteral("second"));
        QCOMPARE(entry.value("timestamp_ms").toDouble(), 1700000000000.0);
        QCOMPARE(entry.value("invoke").toObject().value("uri").toString(), QStringLiteral("zunaro://hub?screen=chats"));

        QCOMPARE(bb::platform::Notification::deleteFromInbox(QStringLiteral("kvel_hub_summary")), 0);
        QCOMPARE(bb::platform::Notification::deleteFromInbox(QStringLiteral("never_posted")), 0);
        QVERIFY(!device.exists("platform/hub/kvel_hub_summary.json"));
        // A key that would name a file elsewhere is refused, nothing is written.
        QVERIFY(bb::platform::Notification(QStringLiteral("../escape")).notify() != 0);
        QVERIFY(!device.exists("platform/escape.json"));

        const QString journal = QStringLiteral("platform/hub/journal.jsonl");
        QCOMPARE(device.column(journal, "op"), QStringList({"post", "post", "delete", "delete"}));
        QCOMPARE(device.column(journal, "key"),
                 QStringList({"kvel_hub_summary", "kvel_hub_summary", "kvel_hub_summary", "never_posted"}));
        QCOMPARE(device.column(journal, "body"), QStringList({"first", "second", "", ""}));
        QStringList times = device.column(journal, "at_ms");
        times.removeDuplicates();
        QCOMPARE(times, QStringList {"1700000000000"});
    }

    void stackedDialogs()
    {
        TestDevice device;
        auto *older = new bb::platform::NotificationDialog;
        older->setTitle(QStringLiteral("older"));
        older->show();
        bb::platform::NotificationDialog newer;
        newer.setTitle(QStringLiteral("newer"));
        newer.show();
        const auto onScreen = [&device] { return device.json("platform/dialog.json").value("title").toString(); };
        // The older dialog going away must not take the newer one off screen.
        older->cancel();
        QCOMPARE(onScreen(), QStringLiteral("newer"));
        older->show();
        QCOMPARE(onScreen(), QStringLiteral("older"));
        delete older;
        QCOMPARE(onScreen(), QStringLiteral("newer"));
        newer.cancel();
        QVERIFY(!device.exists("platform/dialog.json"));
        QCOMPARE(device.column("platform/hub/journal.jsonl", "op").last(), QStringLiteral("dialog_cancel"));
    }

    void invokeRecording()
    {
        TestDevice device;
        zplatform::setClockMs(1700000000123);
        bb::system::InvokeManager manager;
        std::unique_ptr<bb::system::InvokeTargetReply> reply(
            manager.invoke(request(QStringLiteral("zunaro://call?call_id=7"))));
        QVERIFY(reply);
        QSignalSpy finished(reply.get(), &bb::system::InvokeTargetReply::finished);
        QVERIFY(!reply->isFinished()); // never inside the call that sent it
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QVERIFY(reply->isFinished());
        const QJsonObject sent = device.jsonLines("platform/invocations.jsonl").value(0);
        QCOMPARE(sent.value("by").toString(), QStringLiteral("service"));
        QCOMPARE(sent.value("uri").toString(), QStringLiteral("zunaro://call?call_id=7"));
        QCOMPARE(sent.value("target").toString(), QStringLiteral("com.kvel.zunaro"));
        QCOMPARE(sent.value("at_ms").toDouble(), 1700000000123.0);

        // A folder where the record goes: nothing can be recorded.
        QVERIFY(QFile::remove(device.path("platform/invocations.jsonl")));
        QVERIFY(QDir().mkpath(device.path("platform/invocations.jsonl")));
        QVERIFY(!manager.invoke(request(QString())));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_platform_control.moc"
