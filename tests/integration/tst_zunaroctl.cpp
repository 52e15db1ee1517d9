// zunaroctl as a user runs it, against the platform in this test process.

#include <QtTest>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/system/InvokeManager.h"
#include "bps/bps.h"
#include "serviceprocess.h"
#include "testdevice.h"
#include "zunaro/network.h"

namespace {
bb::system::InvokeRequest uiRequest(const QString &uri)
{
    bb::system::InvokeRequest r;
    r.setTarget(QStringLiteral("com.kvel.zunaro"));
    r.setAction(QStringLiteral("bb.action.START"));
    r.setUri(uri);
    return r;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT
private slots:
    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("platformUp");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stderrHas");
        QTest::newRow("no command") << QStringList() << true << 2 << QByteArray("no command given");
        QTest::newRow("unknown command") << QStringList {"reboot", "now"} << true << 2 << QByteArray("unknown command");
        QTest::newRow("online takes 1 or 0") << QStringList {"online", "yes"} << true << 2 << QByteArray("1 or 0");
        QTest::newRow("lock out of range") << QStringList {"lock", "3"} << true << 2 << QByteArray("0, 1 or 2");
        QTest::newRow("ui unknown state") << QStringList {"ui", "asleep"} << true << 2 << QByteArray("alive");
        QTest::newRow("press without argument") << QStringList {"press"} << true << 2 << QByteArray("exactly one");
        QTest::newRow("send too long") << QStringList {"send", QString(5000, 'x')} << true << 1 << QByteArray("do not fit");
        QTest::newRow("no platform") << QStringList {"online", "1"} << false << 1 << QByteArray("no service listening");
        QTest::newRow("error reply") << QStringList {"press", "Answer"} << true << 1 << QByteArray("no dialog on screen");
        QTest::newRow("absent entry") << QStringList {"select", "x"} << true << 1 << QByteArray("no such hub entry");
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
        platform::NetworkConfigurationManager network;
        QSignalSpy invoked(&manager, &bb::system::InvokeManager::invoked);
        QSignalSpy online(&network, &platform::NetworkConfigurationManager::onlineStateChanged);

        QCOMPARE(zunaroctl(device, {"invoke", "com.kvel.zunaro.service.START"}).exitCode, 0);
        QCOMPARE(invoked.size(), 1);
        QCOMPARE(invoked.first().first().value<bb::system::InvokeRequest>().action(),
                 QStringLiteral("com.kvel.zunaro.service.START"));
        const bool wasOnline = network.isOnline();
        QCOMPARE(zunaroctl(device, {"online", wasOnline ? "0" : "1"}).exitCode, 0);
        QCOMPARE(online.size(), 1);
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
        summary.setInvokeRequest(uiRequest(QStringLiteral("zunaro://hub?screen=chats")));
        QCOMPARE(summary.notify(), 0);
        bb::platform::NotificationDialog dialog;
        dialog.setTitle(QStringLiteral("Telegram Vyn"));
        dialog.appendButton(new bb::system::SystemUiButton(QStringLiteral("Answer")),
                            uiRequest(QStringLiteral("zunaro://call?call_id=7&auto=answer")));
        dialog.show();
        const CtlRun hub = zunaroctl(device, {"hub"});
        QCOMPARE(hub.exitCode, 0);
        for (const char *shown : {"kvel_hub_summary: Telegram", "Ann: hello", "zunaro://hub?screen=chats",
                                  "Dialog: Telegram Vyn", "[Answer]"})
            QVERIFY2(hub.out.contains(shown), hub.out.constData());

        QCOMPARE(zunaroctl(device, {"select", "kvel_hub_summary"}).exitCode, 0);
        QCOMPARE(zunaroctl(device, {"press", "Answer"}).exitCode, 0);
        QVERIFY(!dialog.isShown());
        const QString invocations = QStringLiteral("platform/invocations.jsonl");
        QCOMPARE(device.column(invocations, "uri"),
                 QStringList({"zunaro://hub?screen=chats", "zunaro://call?call_id=7&auto=answer"}));
        QCOMPARE(device.column(invocations, "by"), QStringList({"user", "user"}));

        QUdpSocket commandPort;
        QVERIFY(commandPort.bind(QHostAddress::LocalHost, 47010));
        QCOMPARE(zunaroctl(device, {"send", "login", "status"}).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(commandPort.hasPendingDatagrams(), 5000);
        QCOMPARE(commandPort.receiveDatagram().data(), QByteArray("login\nstatus"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_zunaroctl.moc"
