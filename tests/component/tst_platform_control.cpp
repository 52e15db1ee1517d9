// The embedded platform in a process of its own: the control socket with
// honest and hostile clients, and the device files each call reads or writes.

#include <QtTest>

#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/platform/NotificationSettings.h"
#include "bb/system/InvokeManager.h"
#include "bps/bps.h"
#include "testdevice.h"
#include "zunaro/device.h"
#include "zunaro/network.h"

#include "../../platform/src/online_state.h"

using bb::system::InvokeRequest;

namespace {
InvokeRequest request(const QString &action, const QString &uri)
{
    InvokeRequest r;
    r.setTarget(QStringLiteral("com.kvel.zunaro"));
    r.setAction(action);
    r.setUri(uri);
    return r;
}

QString socketPath(const TestDevice &device)
{
    return device.platformDir() + QStringLiteral("/control.sock");
}

// Sends one line and waits (running the event loop) for the one answer.
QByteArray ask(QLocalSocket &client, const QByteArray &line)
{
    client.write(line + '\n');
    QElapsedTimer timer;
    timer.start();
    while (!client.canReadLine() && client.state() == QLocalSocket::ConnectedState && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return client.canReadLine() ? client.readLine().trimmed() : QByteArray();
}

bool connectTo(QLocalSocket &client, const QString &path)
{
    client.connectToServer(path);
    return client.waitForConnected(2000);
}

QJsonObject lastJsonLine(const TestDevice &device, const QString &file)
{
    const QList<QByteArray> lines = device.lines(file);
    return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last()).object();
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
    void socketLifetime();
    void requests_data();
    void requests();
    void hostileClients_data();
    void hostileClients();
    void socketFileAtStart_data();
    void socketFileAtStart();
    void lockStateFile_data();
    void lockStateFile();
    void settingsReadBack();
    void hubEntriesAndJournal();
    void stackedDialogs();
    void invokeRecording();
};

void ServiceTest::socketLifetime()
{
    TestDevice device;
    const QString path = socketPath(device);
    {
        bb::system::InvokeManager first;
        bb::system::InvokeManager second;
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
        QVERIFY(S_ISSOCK(st.st_mode));
        QCOMPARE(st.st_mode & 0777, mode_t(0600));

        QLocalSocket client;
        QVERIFY(connectTo(client, path));
        QCOMPARE(ask(client, R"({"online":true})"), QByteArray(R"({"ok":true})"));
        // No socket of the platform may leak into a spawned backend.
        for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System)) {
            if (fd.symLinkTarget().contains(QLatin1String("socket:"))) {
                QVERIFY2(::fcntl(fd.fileName().toInt(), F_GETFD) & FD_CLOEXEC, qPrintable(fd.fileName()));
            }
        }
    }
    QVERIFY(!QFileInfo::exists(path));
}

void ServiceTest::requests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("dialogShown");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("invokedAction");
    QTest::addColumn<QString>("userUri"); // of the invocation sent as the user's
    QTest::addColumn<int>("onlineChanges");

    const QString none;
    QTest::newRow("invoke") << QByteArray(R"({"invoke":{"action":"com.kvel.zunaro.service.START"}})") << false
                            << QByteArray(R"({"ok":true})") << "com.kvel.zunaro.service.START" << none << 0;
    QTest::newRow("offline") << QByteArray(R"({"online":false})") << false << QByteArray(R"({"ok":true})") << none
                             << none << 1;
    QTest::newRow("online again is no change") << QByteArray(R"({"online":true})") << false
                                               << QByteArray(R"({"ok":true})") << none << none << 0;
    QTest::newRow("press Answer") << QByteArray(R"({"dialog_button":"Answer"})") << true
                                  << QByteArray(R"({"ok":true})") << none << "zunaro://call?auto=answer" << 0;
    QTest::newRow("press Decline") << QByteArray(R"({"dialog_button":"Decline"})") << true
                                   << QByteArray(R"({"ok":true})") << none << "zunaro://call?auto=decline" << 0;
    QTest::newRow("press unknown button")
        << QByteArray(R"({"dialog_button":"Maybe"})") << true
        << QByteArray(R"({"error":"the dialog has no button Maybe","ok":false})") << none << none << 0;
    QTest::newRow("press without dialog") << QByteArray(R"({"dialog_button":"Answer"})") << false
                                          << QByteArray(R"({"error":"no dialog on screen","ok":false})") << none
                                          << none << 0;
    QTest::newRow("select entry") << QByteArray(R"({"hub_select":"with_invoke"})") << false
                                  << QByteArray(R"({"ok":true})") << none << "zunaro://hub?screen=chats" << 0;
    QTest::newRow("select entry without request")
        << QByteArray(R"({"hub_select":"plain"})") << false
        << QByteArray(R"({"error":"hub entry carries no invoke request","ok":false})") << none << none << 0;
    QTest::newRow("select absent entry") << QByteArray(R"({"hub_select":"nothing"})") << false
                                         << QByteArray(R"({"error":"no such hub entry","ok":false})") << none << none
                                         << 0;
    QTest::newRow("select outside the hub") << QByteArray(R"({"hub_select":"../dialog"})") << true
                                            << QByteArray(R"({"error":"no such hub entry","ok":false})") << none
                                            << none << 0;
    QTest::newRow("not json") << QByteArray("online please") << false
                              << QByteArray(R"({"error":"not a JSON object","ok":false})") << none << none << 0;
    QTest::newRow("wrong type") << QByteArray(R"({"online":"yes"})") << false
                                << QByteArray(R"({"error":"online must be true or false","ok":false})") << none
                                << none << 0;
}

void ServiceTest::requests()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, dialogShown);
    QFETCH(QByteArray, reply);
    QFETCH(QString, invokedAction);
    QFETCH(QString, userUri);
    QFETCH(int, onlineChanges);

    TestDevice device;
    bb::system::InvokeManager invokeManager;
    platform::NetworkConfigurationManager network;
    platform::reportOnline(true);
    bb::platform::Notification withInvoke(QStringLiteral("with_invoke"));
    withInvoke.setInvokeRequest(request(QStringLiteral("bb.action.START"), QStringLiteral("zunaro://hub?screen=chats")));
    QCOMPARE(withInvoke.notify(), 0);
    QCOMPARE(bb::platform::Notification(QStringLiteral("plain")).notify(), 0);
    bb::platform::NotificationDialog dialog;
    dialog.appendButton(new bb::system::SystemUiButton(QStringLiteral("Answer")),
                        request(QStringLiteral("bb.action.START"), QStringLiteral("zunaro://call?auto=answer")));
    dialog.appendButton(new bb::system::SystemUiButton(QStringLiteral("Decline")),
                        request(QStringLiteral("bb.action.START"), QStringLiteral("zunaro://call?auto=decline")));
    if (dialogShown)
        dialog.show();

    QSignalSpy invoked(&invokeManager, &bb::system::InvokeManager::invoked);
    QSignalSpy online(&network, &platform::NetworkConfigurationManager::onlineStateChanged);
    QLocalSocket client;
    QVERIFY(connectTo(client, socketPath(device)));
    QCOMPARE(ask(client, line), reply);

    QCOMPARE(invoked.size(), invokedAction.isEmpty() ? 0 : 1);
    if (!invokedAction.isEmpty())
        QCOMPARE(invoked.first().first().value<InvokeRequest>().action(), invokedAction);
    QCOMPARE(online.size(), onlineChanges);
    QCOMPARE(network.isOnline(), onlineChanges == 0);
    const QJsonObject sent = lastJsonLine(device, QStringLiteral("platform/invocations.jsonl"));
    QCOMPARE(sent.value(QStringLiteral("uri")).toString(), userUri);
    if (!userUri.isEmpty())
        QCOMPARE(sent.value(QStringLiteral("by")).toString(), QStringLiteral("user"));
    // A pressed dialog leaves the screen; any other request leaves it be.
    QCOMPARE(device.exists(QStringLiteral("platform/dialog.json")), dialogShown && userUri.isEmpty());
    QCOMPARE(dialog.isShown(), dialogShown && userUri.isEmpty());

    QCOMPARE(ask(client, R"({"online":true})"), QByteArray(R"({"ok":true})"));
}

void ServiceTest::hostileClients_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("100 KiB line") << "huge line";
    QTest::newRow("64 KiB line is still read") << "longest line";
    QTest::newRow("vanish mid-line") << "vanish";
    QTest::newRow("many at once") << "many";
    QTest::newRow("silent clients") << "silent";
    QTest::newRow("never reads answers") << "deaf";
}

void ServiceTest::hostileClients()
{
    QFETCH(QString, scenario);
    TestDevice device;
    bb::system::InvokeManager invokeManager;
    const QString path = socketPath(device);
    std::vector<std::unique_ptr<QLocalSocket>> others;

    if (scenario == QLatin1String("huge line") || scenario == QLatin1String("longest line")) {
        const bool huge = scenario == QLatin1String("huge line");
        QLocalSocket client;
        QVERIFY(connectTo(client, path));
        client.write(QByteArray(huge ? 100 * 1024 : 64 * 1024, 'x') + '\n');
        if (huge) {
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 5000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 5000);
            QCOMPARE(client.readLine().trimmed(), QByteArray(R"({"error":"not a JSON object","ok":false})"));
        }
    } else if (scenario == QLatin1String("vanish")) {
        for (int i = 0; i < 5; ++i) {
            QLocalSocket client;
            QVERIFY(connectTo(client, path));
            client.write(R"({"invoke":{"act)");
            client.flush();
            client.abort();
            QCoreApplication::processEvents();
        }
    } else if (scenario == QLatin1String("many") || scenario == QLatin1String("silent")) {
        for (int i = 0; i < 40; ++i) {
            others.push_back(std::make_unique<QLocalSocket>());
            QVERIFY(connectTo(*others.back(), path));
        }
        if (scenario == QLatin1String("many")) {
            for (auto &client : others)
                client->write(R"({"online":true})" "\n");
            for (auto &client : others) {
                QTRY_VERIFY_WITH_TIMEOUT(client->canReadLine(), 5000);
                QCOMPARE(client->readLine().trimmed(), QByteArray(R"({"ok":true})"));
            }
        }
    } else {
        // Requests flood in, the answers are never read: the platform must
        // let go of this client rather than buffer without end.
        QLocalSocket client;
        QVERIFY(connectTo(client, path));
        client.setReadBufferSize(1);
        const QByteArray burst = QByteArray(R"({"online":true})" "\n").repeated(4096);
        for (int i = 0; i < 200 && client.state() == QLocalSocket::ConnectedState; ++i) {
            client.write(burst);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 10000);
    }

    QLocalSocket after;
    QVERIFY(connectTo(after, path));
    QCOMPARE(ask(after, R"({"online":true})"), QByteArray(R"({"ok":true})"));
}

void ServiceTest::socketFileAtStart_data()
{
    QTest::addColumn<QString>("leftThere");
    QTest::addColumn<bool>("ours");
    QTest::newRow("stale socket of a dead service") << "stale" << true;
    QTest::newRow("a plain file") << "file" << true;
    QTest::newRow("another live service") << "live" << false;
}

void ServiceTest::socketFileAtStart()
{
    QFETCH(QString, leftThere);
    QFETCH(bool, ours);
    TestDevice device;
    LogCapture log;
    const QString path = socketPath(device);
    QDir().mkpath(device.platformDir());
    QLocalServer other;
    if (leftThere == QLatin1String("stale"))
        QVERIFY(leaveStaleSocket(path));
    else if (leftThere == QLatin1String("file"))
        QVERIFY(device.write(QStringLiteral("platform/control.sock"), "junk"));
    else
        QVERIFY(other.listen(path));

    {
        bb::system::InvokeManager invokeManager;
        QSignalSpy invoked(&invokeManager, &bb::system::InvokeManager::invoked);
        QLocalSocket client;
        QVERIFY(connectTo(client, path));
        client.write(R"({"invoke":{"action":"a"}})" "\n");
        if (ours) {
            QTRY_COMPARE_WITH_TIMEOUT(invoked.size(), 1, 5000);
            QVERIFY(log.matching("platform: control socket").isEmpty());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(other.hasPendingConnections(), 5000);
            QCOMPARE(invoked.size(), 0);
            QCOMPARE(log.matching("platform: control socket").size(), 1);
            QVERIFY(log.lines().first().contains("in use by another process"));
        }
    }
    // Closing down takes away only a socket this process opened.
    QCOMPARE(QFileInfo::exists(path), !ours);
}

void ServiceTest::lockStateFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("state");
    QTest::newRow("absent") << "absent" << QByteArray() << 0;
    QTest::newRow("unlocked") << "file" << QByteArray("0\n") << 0;
    QTest::newRow("locked") << "file" << QByteArray("2") << 2;
    QTest::newRow("garbage") << "file" << QByteArray("yes") << -1;
    QTest::newRow("a number made huge") << "file" << QByteArray(1024 * 1024, '0') << -1;
    QTest::newRow("a directory") << "dir" << QByteArray() << -1;
    QTest::newRow("a FIFO nobody writes") << "fifo" << QByteArray() << -1;
}

void ServiceTest::lockStateFile()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(int, state);
    TestDevice device;
    const QString path = device.path(QStringLiteral("platform/lock_state"));
    QDir().mkpath(device.platformDir());
    if (kind == QLatin1String("file"))
        QVERIFY(device.write(QStringLiteral("platform/lock_state"), content));
    else if (kind == QLatin1String("dir"))
        QVERIFY(QDir().mkpath(path));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    QCOMPARE(navigator_get_device_lock_state(), state);
}

void ServiceTest::settingsReadBack()
{
    TestDevice device;
    {
        const bb::platform::NotificationApplicationSettings absent;
        QVERIFY(absent.alertsEnabled());
        QCOMPARE(int(absent.sound()) + int(absent.vibrate()) + int(absent.led()) + int(absent.preview()), 0);
    }
    bb::platform::NotificationDefaultApplicationSettings defaults;
    defaults.setSound(bb::platform::NotificationPolicy::Allow);
    defaults.setVibrate(bb::platform::NotificationPolicy::Deny);
    defaults.setLed(bb::platform::NotificationPolicy::Allow);
    defaults.setPreview(bb::platform::NotificationPriorityPolicy::Allow);
    QCOMPARE(defaults.apply(), 0);
    const bb::platform::NotificationApplicationSettings applied;
    QVERIFY(applied.alertsEnabled());
    QCOMPARE(applied.sound(), bb::platform::NotificationPolicy::Allow);
    QCOMPARE(applied.vibrate(), bb::platform::NotificationPolicy::Deny);
    QCOMPARE(applied.led(), bb::platform::NotificationPolicy::Allow);
    QCOMPARE(applied.preview(), bb::platform::NotificationPriorityPolicy::Allow);

    // Nowhere to write: the caller must hear of it.
    QVERIFY(QDir(device.platformDir()).removeRecursively());
    QVERIFY(device.write(QStringLiteral("platform"), "not a folder"));
    QVERIFY(defaults.apply() != 0);
}

void ServiceTest::hubEntriesAndJournal()
{
    TestDevice device;
    platform::setClockMs(1700000000000);
    bb::platform::Notification summary(QStringLiteral("kvel_hub_summary"));
    summary.setTitle(QStringLiteral("Telegram"));
    summary.setBody(QStringLiteral("first"));
    summary.setTimestamp(platform::now());
    summary.setInvokeRequest(request(QStringLiteral("bb.action.START"), QStringLiteral("zunaro://hub?screen=chats")));
    QCOMPARE(summary.notify(), 0);
    summary.setBody(QStringLiteral("second"));
    QCOMPARE(summary.notify(), 0);
    const QJsonObject entry =
        QJsonDocument::fromJson(device.read(QStringLiteral("platform/hub/kvel_hub_summary.json"))).object();
    QCOMPARE(entry.value(QStringLiteral("body")).toString(), QStringLiteral("second"));
    QCOMPARE(entry.value(QStringLiteral("timestamp_ms")).toDouble(), 1700000000000.0);
    QCOMPARE(entry.value(QStringLiteral("invoke")).toObject().value(QStringLiteral("uri")).toString(),
             QStringLiteral("zunaro://hub?screen=chats"));

    QCOMPARE(bb::platform::Notification::deleteFromInbox(QStringLiteral("kvel_hub_summary")), 0);
    QCOMPARE(bb::platform::Notification::deleteFromInbox(QStringLiteral("never_posted")), 0);
    QVERIFY(!device.exists(QStringLiteral("platform/hub/kvel_hub_summary.json")));
    // A key that would name a file elsewhere is refused, nothing is written.
    QVERIFY(bb::platform::Notification(QStringLiteral("../escape")).notify() != 0);
    QVERIFY(!device.exists(QStringLiteral("platform/escape.json")));

    QStringList ops;
    for (const QByteArray &line : device.lines(QStringLiteral("platform/hub/journal.jsonl"))) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        QCOMPARE(o.value(QStringLiteral("at_ms")).toDouble(), 1700000000000.0);
        ops << o.value(QStringLiteral("op")).toString() + QLatin1Char(':') + o.value(QStringLiteral("key")).toString()
                   + QLatin1Char(':') + o.value(QStringLiteral("body")).toString();
    }
    QCOMPARE(ops, QStringList({"post:kvel_hub_summary:first", "post:kvel_hub_summary:second",
                               "delete:kvel_hub_summary:", "delete:never_posted:"}));
}

void ServiceTest::stackedDialogs()
{
    TestDevice device;
    auto *older = new bb::platform::NotificationDialog;
    older->setTitle(QStringLiteral("older"));
    older->show();
    bb::platform::NotificationDialog newer;
    newer.setTitle(QStringLiteral("newer"));
    newer.show();
    const auto onScreen = [&device] {
        return QJsonDocument::fromJson(device.read(QStringLiteral("platform/dialog.json")))
            .object()
            .value(QStringLiteral("title"))
            .toString();
    };
    // The older dialog going away must not take the newer one off screen.
    older->cancel();
    QCOMPARE(onScreen(), QStringLiteral("newer"));
    older->show();
    QCOMPARE(onScreen(), QStringLiteral("older"));
    delete older;
    QCOMPARE(onScreen(), QStringLiteral("newer"));
    newer.cancel();
    QVERIFY(!device.exists(QStringLiteral("platform/dialog.json")));
    const QJsonObject last = lastJsonLine(device, QStringLiteral("platform/hub/journal.jsonl"));
    QCOMPARE(last.value(QStringLiteral("op")).toString(), QStringLiteral("dialog_cancel"));
}

void ServiceTest::invokeRecording()
{
    TestDevice device;
    platform::setClockMs(1700000000123);
    bb::system::InvokeManager manager;
    std::unique_ptr<bb::system::InvokeTargetReply> reply(
        manager.invoke(request(QStringLiteral("bb.action.START"), QStringLiteral("zunaro://call?call_id=7"))));
    QVERIFY(reply);
    QSignalSpy finished(reply.get(), &bb::system::InvokeTargetReply::finished);
    QVERIFY(!reply->isFinished()); // never inside the call that sent it
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QVERIFY(reply->isFinished());
    const QJsonObject sent = lastJsonLine(device, QStringLiteral("platform/invocations.jsonl"));
    QCOMPARE(sent.value(QStringLiteral("by")).toString(), QStringLiteral("service"));
    QCOMPARE(sent.value(QStringLiteral("uri")).toString(), QStringLiteral("zunaro://call?call_id=7"));
    QCOMPARE(sent.value(QStringLiteral("target")).toString(), QStringLiteral("com.kvel.zunaro"));
    QCOMPARE(sent.value(QStringLiteral("at_ms")).toDouble(), 1700000000123.0);

    // A folder where the record goes: nothing can be recorded.
    QVERIFY(QFile::remove(device.path(QStringLiteral("platform/invocations.jsonl"))));
    QVERIFY(QDir().mkpath(device.path(QStringLiteral("platform/invocations.jsonl"))));
    QVERIFY(!manager.invoke(request(QStringLiteral("bb.action.START"), QString())));
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_platform_control.moc"
