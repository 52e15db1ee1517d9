// The embedded platform in this process: its control socket, zunaroctl against it, the device files it keeps.

#include <QtNetwork>
#include <QtTest>

#include <sys/stat.h>
#include <typeinfo>

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/system/InvokeManager.h"
#include "bps/bps.h"
#include "serviceprocess.h"
#include "status_view.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/network.h"

#include "backends.h"
#include "internal/online_state.h"
#include "internal/state_parse.h"

using bb::system::InvokeRequest;

namespace {
const QByteArray kOk = R"({"ok":true})";

InvokeRequest request(const QString &uri)
{
    return invocation(QStringLiteral("bb.action.START"), uri, QStringLiteral("com.kvel.zunaro"));
}

bool connectTo(QLocalSocket &client, const TestDevice &device)
{
    client.connectToServer(device.path("platform/control.sock"));
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
} // namespace

class PlatformControlTest : public QObject
{
    Q_OBJECT
private slots:
    // What may lie at the socket's path at start; closing takes away only a socket this process opened.
    void socketLifetime_data()
    {
        QTest::addColumn<QByteArray>("leftThere"); // as placeAt(), or a "<stale>" or "<live>" socket
        QTest::addColumn<bool>("ours");
        QTest::newRow("nothing") << QByteArray("<none>") << true;
        QTest::newRow("stale socket of a dead service") << QByteArray("<stale>") << true;
        QTest::newRow("a plain file") << QByteArray("junk") << true;
        QTest::newRow("another live service") << QByteArray("<live>") << false;
    }
    void socketLifetime()
    {
        QFETCH(QByteArray, leftThere);
        QFETCH(bool, ours);
        TestDevice device;
        LogCapture log;
        const QString path = device.path("platform/control.sock");
        QLocalServer other;
        QVERIFY(placeAt(path, leftThere.startsWith('<') ? "<none>" : leftThere));
        if (leftThere == "<stale>") {
            QLocalServer dead; // gone without taking its socket along, as a killed service is
            QVERIFY(dead.listen(path + '~') && QFile::rename(path + '~', path));
        }
        if (leftThere == "<live>")
            QVERIFY(other.listen(path));
        {
            bb::system::InvokeManager first;
            bb::system::InvokeManager second;
            QSignalSpy invoked(&second, &bb::system::InvokeManager::invoked);
            QLocalSocket client;
            QVERIFY(connectTo(client, device));
            client.write(R"({"invoke":{"action":"a"}})" "\n");
            QTRY_VERIFY_WITH_TIMEOUT(invoked.size() || other.hasPendingConnections(), 5000);
            QCOMPARE(invoked.size(), int(ours));
            QCOMPARE(log.matching("platform: control socket").size(), int(!ours)); // only a live owner is reported
            struct stat st;
            QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
            QVERIFY(!ours || (st.st_mode & (S_IFMT | 0777)) == (S_IFSOCK | 0600));
        }
        QCOMPARE(QFileInfo::exists(path), !ours);
    }

    // A refused request: the answer says why, nothing happens, the client is still served.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const QByteArray &line, const char *error) {
            QTest::newRow(name) << line << QString::fromLatin1(error);
        };
        row("64 KiB of garbage, the longest line read", QByteArray(64 * 1024, '{'), "not a JSON object");
        row("unknown", R"({"reboot":true})", "unknown request");
        row("two requests", R"({"online":true,"hub_select":"k"})", "more than one request in a line");
        row("invoke not object", R"({"invoke":"START"})", "invoke must be an object");
        row("invoke no action", R"({"invoke":{"target":"t"}})", "invoke needs an action string");
        row("invoke empty action", R"({"invoke":{"action":""}})", "invoke needs an action string");
        row("invoke numeric uri", R"({"invoke":{"action":"a","uri":5}})", "invoke field uri must be a string");
        row("invoke uri QUrl cannot read", R"({"invoke":{"action":"a","uri":"file://`a b"}})",
            "invoke field uri is not a valid URI");
        row("online as string", R"({"online":"1"})", "online must be true or false");
        row("button null", R"({"dialog_button":null})", "dialog_button needs a non-empty string");
        row("press unknown button", R"({"dialog_button":"Maybe"})", "the dialog has no button Maybe");
        row("select empty", R"({"hub_select":""})", "hub_select needs a non-empty string");
        row("select entry without request", R"({"hub_select":"plain"})", "hub entry carries no invoke request");
        row("select absent entry", R"({"hub_select":"nothing"})", "no such hub entry");
        row("select outside the hub", R"({"hub_select":"../dialog"})", "no such hub entry");
    }
    void refusals()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, error);
        TestDevice device;
        bb::system::InvokeManager invokeManager;
        QSignalSpy invoked(&invokeManager, &bb::system::InvokeManager::invoked);
        QCOMPARE(bb::platform::Notification(QStringLiteral("plain")).notify(), 0);
        bb::platform::NotificationDialog dialog;
        dialog.appendButton(new bb::system::SystemUiButton(QStringLiteral("Answer")), request("zunaro://call"));
        dialog.show();
        QLocalSocket client;
        QVERIFY(connectTo(client, device));
        QCOMPARE(ask(client, line), R"({"error":")" + error.toUtf8() + R"(","ok":false})");
        QVERIFY(invoked.isEmpty() && dialog.isShown() && !device.exists("platform/invocations.jsonl"));
        QCOMPARE(ask(client, R"({"online":true})"), kOk);
    }

    // zunaroctl status for a person: a running, a waiting, a stopped and a push-mode service, each view whole.
    void statusView_data()
    {
        QTest::addColumn<QVariantMap>("status");
        QTest::addColumn<QString>("view");
        const qint64 now = 1796599512198;
        // What a view reads and finds absent counts as 0 or false.
        const QVariantMap common {{"version", "0.1.0"}, {"started_ms", now - 3723000}, {"active", true},
                                  {"mode", "backend"}, {"backend_wanted", true}, {"lock_state", 0}, {"online", true}};
        const auto with = [&common](const QVariantMap &changes) { QVariantMap s = common; s.insert(changes); return s; };
        const QString head = "zunaro-service 0.1.0\n    Active: active (%1 mode) since 2026-12-06 22:23:09 UTC; 1 h 2 min ago\n";
        QTest::newRow("running") << with({{"backend_pid", 4242}, {"backend_started_ms", now - 125000}, {"ui_alive", true}})
                                 << head.arg("backend") + "   Backend: running, pid 4242, for 2 min 5 s\n"
                                                          "  Commands: none queued\n"
                                                          "        UI: alive, not in front\n"
                                                          "      Lock: unlocked\n"
                                                          "    Online: yes\n";
        QTest::newRow("waiting") << with({{"backend_restart_attempts", 3}, {"backend_next_start_ms", now + 3500},
                                          {"pending_lines", 1}, {"lock_state", 2}, {"online", false}})
                                 << head.arg("backend") + "   Backend: waiting, restart in 4 s after 3 attempts\n"
                                                          "  Commands: 1 line queued for the backend\n"
                                                          "        UI: not running\n"
                                                          "      Lock: locked\n"
                                                          "    Online: no\n";
        QTest::newRow("stopped") << with({{"active", false}, {"stopped_ms", now - 65000}, {"backend_wanted", false}})
            << "zunaro-service 0.1.0\n    Active: stopped since 2026-12-06 23:24:07 UTC; 1 min 5 s ago (backend mode)\n"
               "   Backend: not running: the service is stopped\n  Commands: none queued\n        UI: not running\n"
               "      Lock: unlocked\n    Online: yes\n";
        QTest::newRow("push") << with({{"mode", "push"}, {"backend_wanted", false}, {"ui_running", true},
                                       {"lock_state", -1}, {"since", "18446744073709551615"},
                                       {"poll_in_flight", true}, {"poll_last_http", 0}, {"poll_last_error", 99},
                                       {"poll_backoff_ms", 8000}, {"started", 5}, {"ok", 3}, {"timeout", 1},
                                       {"err", 1}, {"events", 1}, {"hub", 2}})
                              << head.arg("push") + "   Backend: none in push mode\n"
                                                    "  Commands: none queued\n"
                                                    "        UI: running, in front\n"
                                                    "      Lock: unknown\n"
                                                    "    Online: yes\n"
                                                    "      Poll: in flight, cursor 18446744073709551615, last answer "
                                                    "failed, network error 99, back-off 8 s\n"
                                                    "     Polls: 5 started, 3 answered, 1 timed out, 1 failed; 1 event, "
                                                    "2 notifications\n";
    }
    void statusView()
    {
        QFETCH(QVariantMap, status);
        QFETCH(QString, view);
        qputenv("TZ", "UTC");
        QCOMPARE(::statusView(status, 1796599512198), view);
    }

    // zunaroctl's refusals: bad arguments end it with 2, a failed request with 1, each saying why.
    void commands()
    {
        const QList<std::tuple<QStringList, int, QByteArray>> rows {
            {{}, 2, "no command given"},
            {{"bogus"}, 2, "unknown command \"bogus\"; the commands are invoke, send, ui, online"},
            {{"online", "yes"}, 2, "1 or 0"},
            {{"lock", "3"}, 2, "0, 1 or 2"},
            {{"ui", "asleep"}, 2, "alive"},
            {{"press"}, 2, "press: missing argument (a LABEL)"},
            {{"invoke"}, 2, "invoke: missing argument (ACTION)"},
            {{"invoke", ""}, 2, "invoke: missing argument (ACTION)"},
            {{"send", "hi"}, 1, "no service listening on 127.0.0.1:47010"},
            {{"send", QString(5000, 'x')}, 1, "do not fit"},
            {{"--root", "/nonexistent", "online", "1"}, 1, "no service listening"},
            {{"press", "Answer"}, 1, "no dialog on screen"},
            {{"invoke", "x.y"}, 0, "does not answer to \"x.y\""}};
        TestDevice device;
        bb::system::InvokeManager manager;
        for (const auto &[args, exitCode, says] : rows) {
            const CtlRun run = zunaroctl(device, args);
            QVERIFY2(run.exitCode == exitCode && run.err.contains(says), qPrintable(args.join(' ') + ": " + run.err));
        }
    }

    // A user at zunaroctl and a client for what it does not send; the Hub, dialog and journal kept meanwhile.
    void drivesThePlatform()
    {
        TestDevice device;
        zplatform::setClockMs(1700000000000);
        bb::system::InvokeManager manager;
        zplatform::NetworkConfigurationManager network;
        zplatform::reportOnline(true);
        QSignalSpy invoked(&manager, &bb::system::InvokeManager::invoked);
        QSignalSpy online(&network, &zplatform::NetworkConfigurationManager::onlineStateChanged);
        QLocalSocket client;
        QVERIFY(connectTo(client, device));
        QCOMPARE(ask(client, "{\"invoke\":{\"action\":\"A\",\"target\":\"t\","
                             "\"uri\":\"zunaro://x?y=1\",\"mime\":\"m/t\"}}\r"),
                 kOk);
        const InvokeRequest got = invoked.value(0).value(0).value<InvokeRequest>();
        QCOMPARE(QString("action=%1 target=%2 uri=%3 mime=%4")
                     .arg(got.action(), got.target(), got.uri().toString(), got.mimeType()),
                 "action=A target=t uri=zunaro://x?y=1 mime=m/t");
        // The service's own invocation finishes later, never inside the call that sent it.
        std::unique_ptr<bb::system::InvokeTargetReply> reply(manager.invoke(request(QStringLiteral("zunaro://ui"))));
        QVERIFY(reply && !reply->isFinished());
        QSignalSpy finished(reply.get(), &bb::system::InvokeTargetReply::finished);
        QTRY_VERIFY_WITH_TIMEOUT(finished.size() == 1 && reply->isFinished(), 5000);
        // Only a change of state is reported.
        QCOMPARE(ask(client, R"({"online":true})"), kOk);
        QCOMPARE(zunaroctl(device, {"online", "0"}).exitCode, 0);
        QVERIFY(online.size() == 1 && !network.isOnline());
        QCOMPARE(zunaroctl(device, {"lock", "2"}).exitCode, 0);
        QCOMPARE(navigator_get_device_lock_state(), 2);
        QCOMPARE(zunaroctl(device, {"status", "--raw"}).out, "lock_state=2\nonline=0\nversion=" ZUNARO_VERSION "\n");
        // The device's own file is the other source, told as soon as it is written.
        QCOMPARE(ask(client, R"({"online":true})"), kOk);
        QVERIFY(device.write("platform/online_state", " 0\n"));
        QTRY_VERIFY(online.size() == 3 && !network.isOnline());
        QCOMPARE(zunaroctl(device, {"ui", "running"}).exitCode, 0);
        QVERIFY(device.read("data/ui_running.txt").trimmed().toLongLong() > 0 && device.exists("data/ui_alive.txt"));
        QCOMPARE(zunaroctl(device, {"ui", "gone"}).exitCode, 0);
        QVERIFY(!device.exists("data/ui_alive.txt") && !device.exists("data/ui_running.txt"));

        bb::platform::Notification summary(QStringLiteral("kvel_hub_summary"));
        summary.setTitle(QStringLiteral("Telegram"));
        summary.setTimestamp(zplatform::now());
        summary.setInvokeRequest(request(QStringLiteral("zunaro://hub?screen=chats")));
        for (const char *body : {"first", "second"}) {
            summary.setBody(QString::fromLatin1(body));
            QVERIFY2(summary.notify() == 0, body);
        }
        QCOMPARE(device.json("platform/hub/kvel_hub_summary.json").value("timestamp_ms").toDouble(), 1700000000000.0);
        bb::platform::NotificationDialog dialog;
        dialog.setTitle(QStringLiteral("Telegram Vyn"));
        dialog.appendButton(new bb::system::SystemUiButton(QStringLiteral("Answer")),
                            request(QStringLiteral("zunaro://call?call_id=7&auto=answer")));
        dialog.show();
        const CtlRun hub = zunaroctl(device, {"hub"});
        for (const char *shown : {"kvel_hub_summary: Telegram", "      second\n", "zunaro://hub?screen=chats",
                                  "Dialog: Telegram Vyn", "[Answer]"})
            QVERIFY2(hub.out.contains(shown), hub.out.constData());

        QCOMPARE(zunaroctl(device, {"select", "kvel_hub_summary"}).exitCode, 0);
        QCOMPARE(zunaroctl(device, {"press", "Answer"}).exitCode, 0);
        const QString invocations = "platform/invocations.jsonl";
        const QJsonObject first {{"by", "service"}, {"action", "bb.action.START"}, {"target", "com.kvel.zunaro"},
                                 {"mime", ""}, {"uri", "zunaro://ui"}, {"at_ms", 1700000000000.0}};
        QCOMPARE(device.jsonLines(invocations).value(0), first);
        QStringList byWhom; // by whom, what
        for (const QJsonObject &o : device.jsonLines(invocations))
            byWhom << o.value("by").toString() + ' ' + o.value("uri").toString();
        QCOMPARE(byWhom, QStringList({"service zunaro://ui", "user zunaro://hub?screen=chats",
                                      "user zunaro://call?call_id=7&auto=answer"}));
        // A pressed dialog leaves the screen.
        QVERIFY(!dialog.isShown() && !device.exists("platform/dialog.json"));

        QCOMPARE(bb::platform::Notification::deleteFromInbox(QStringLiteral("kvel_hub_summary")), 0);
        QCOMPARE(bb::platform::Notification::deleteFromInbox(QStringLiteral("never_posted")), 0);
        QVERIFY(!device.exists("platform/hub/kvel_hub_summary.json"));
        // A key that would name a file elsewhere is refused (and not journalled).
        QVERIFY(bb::platform::Notification(QStringLiteral("../escape")).notify() != 0);
        QStringList journal;
        for (const QJsonObject &o : device.jsonLines("platform/hub/journal.jsonl"))
            journal << QStringList({o.value("op").toString(), o.value("key").toString(), o.value("body").toString(),
                                    QString::number(o.value("at_ms").toInteger())}).join(' ');
        QCOMPARE(journal, QStringList({"post kvel_hub_summary first 1700000000000",
                                       "post kvel_hub_summary second 1700000000000", "dialog_show   1700000000000",
                                       "dialog_cancel   1700000000000", "delete kvel_hub_summary  1700000000000",
                                       "delete never_posted  1700000000000"}));
        // A folder where the record goes: nothing can be recorded, so nothing is sent.
        QVERIFY(QFile::remove(device.path(invocations)) && QDir().mkpath(device.path(invocations)));
        QVERIFY(!manager.invoke(request(QString())));
    }

    // Clients that misbehave are let go, and a fresh client is still answered.
    void hostileClients_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("burst"); // what the first client sends again and again
        QTest::newRow("100 KiB line") << 1 << QByteArray(100 * 1024, 'x') + '\n';
        QTest::newRow("never reads answers") << 1 << QByteArray(R"({"online":true})" "\n").repeated(4096);
        QTest::newRow("silent clients fill every place") << 64 << QByteArray();
    }
    void hostileClients()
    {
        QFETCH(int, count);
        QFETCH(QByteArray, burst);
        TestDevice device;
        bb::system::InvokeManager invokeManager;
        zplatform::setClockMs(zplatform::nowMs());
        std::vector<std::unique_ptr<QLocalSocket>> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<QLocalSocket>());
            QVERIFY(connectTo(*clients.back(), device));
            // The first, answered before the clock moves, is the longest silent; the rest come one by one (backlog).
            if (i == 0 && ask(*clients.back(), R"({"online":true})") == kOk)
                zplatform::advanceClockMs(1000);
            QCoreApplication::processEvents();
        }
        QLocalSocket &first = *clients.front();
        first.setReadBufferSize(1); // the answers are never read
        for (int i = 0; i < 200 && !burst.isEmpty() && first.state() == QLocalSocket::ConnectedState; ++i) {
            first.write(burst);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        QLocalSocket fresh;
        QVERIFY(connectTo(fresh, device));
        QCOMPARE(ask(fresh, R"({"online":true})"), kOk);
        // The first is gone (in a full house, it made room for the fresh one); the rest after 10 s of silence.
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QLocalSocket::UnconnectedState, 10000);
        zplatform::advanceClockMs(10001);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(clients.begin(), clients.end(),
                                             [](auto &c) { return c->state() == QLocalSocket::UnconnectedState; }),
                                 5000);
    }

    // A lock state file too large or not plain is unknown; of the applied settings only 1 and 2 are policies.
    void stateFiles()
    {
        for (const QByteArray &content : {"2" + QByteArray(1 << 20, ' '), QByteArray("<dir>"), QByteArray("<fifo>")}) {
            TestDevice device;
            QVERIFY(placeAt(device.path("platform/lock_state"), content));
            QVERIFY2(navigator_get_device_lock_state() == -1, content.left(16).constData());
        }
        const auto read = [](const QByteArray &json) {
            const zplatform::AppliedSettings s = zplatform::settingsFromJson(json);
            return QString("sound=%1 vibrate=%2 led=%3 preview=%4").arg(s.sound).arg(s.vibrate).arg(s.led)
                .arg(s.preview);
        };
        QCOMPARE(read(R"({"sound":1,"vibrate":2,"preview":"1"})"), "sound=1 vibrate=2 led=0 preview=0");
        QCOMPARE(read(R"({"sound":7,"vibrate":-1,"led":2,"preview":1.5})"), "sound=0 vibrate=0 led=2 preview=0");
    }

    // The older of two dialogs going away, cancelled or deleted, never takes the newer one off screen.
    void stackedDialogs()
    {
        TestDevice device;
        const auto onScreen = [&device] { return device.json("platform/dialog.json").value("title").toString(); };
        auto *older = new bb::platform::NotificationDialog;
        bb::platform::NotificationDialog newer;
        older->setTitle("older");
        newer.setTitle("newer");
        older->show();
        newer.show();
        older->cancel();
        QCOMPARE(onScreen(), "newer");
        older->show();
        QCOMPARE(onScreen(), "older");
        delete older;
        QCOMPARE(onScreen(), "newer");
    }

    // Each platform gets its own backends, all of them, from the one factory.
    void factory_data()
    {
        QTest::addColumn<zplatform::PlatformKind>("kind");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("embedded") << zplatform::PlatformKind::Embedded
                                  << QStringList {"InvocationsFile", "HubFiles", "LockFile", "ControlEntrance"};
        QTest::newRow("desktop") << zplatform::PlatformKind::Desktop
                                 << QStringList {"ApplicationOpener", "FdoCarrier", "LogindLock", "SessionEntrance"};
    }
    void factory()
    {
        QFETCH(zplatform::PlatformKind, kind);
        QFETCH(QStringList, names);
        const zplatform::Backends b = zplatform::makeBackends(kind);
        QVERIFY(b.invoker && b.hub && b.lock && b.entrance && b.followOnline);
        const QStringList made {typeid(*b.invoker).name(), typeid(*b.hub).name(), typeid(*b.lock).name(),
                                typeid(*b.entrance).name()};
        for (int i = 0; i < names.size(); ++i)
            QVERIFY2(made[i].contains(names[i]), qPrintable(made[i]));
    }
};

QTEST_GUILESS_MAIN(PlatformControlTest)
#include "tst_platform_control.moc"
