// Commands from the UI on the command socket, relayed to a real backend:
// queueing, order, limits, and a backend that is slow, stalled or gone.

#include "tst_backend_support.h"

#include <sys/socket.h>

namespace {
bool isZombie(int pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
}

bb::system::InvokeRequest invocation(const char *action)
{
    bb::system::InvokeRequest request;
    request.setAction(QString::fromLatin1(action));
    return request;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT
    BACKEND_TEST_HELPERS

private slots:
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
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        service->serviceActive = false;
        service->backendNextStartMs = backoffMs ? platform::nowMs() + backoffMs : 0;

        for (const QByteArray &datagram : datagrams) {
            sendCommandDatagram(datagram);
            service->drainCmdSocket();
        }
        QCOMPARE(service->backendWanted, !received.isEmpty());
        QCOMPARE(service->serviceActive, !received.isEmpty());
        QCOMPARE(service->backendPid > 0, !received.isEmpty() && backoffMs == 0);

        platform::advanceClockMs(backoffMs);
        service->onTick();
        QVERIFY(service->pendingBackendLines.isEmpty());
        if (received.isEmpty()) {
            QCOMPARE(service->backendPid, -1);
            QVERIFY(!device.exists("data/td_backend_service.out"));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(device), received, 5000);
    }

    // A command after a stop brings the service back and launches the
    // backend, without the tick; queued lines outlive start and stop.
    void afterInvocations()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        service->backendNextStartMs = platform::nowMs() + 5000;
        sendCommandDatagram("queued");
        service->drainCmdSocket();
        service->onInvoked(invocation("com.kvel.zunaro.service.START"));
        service->onInvoked(invocation("com.kvel.zunaro.service.STOP"));
        QCOMPARE(service->pendingBackendLines, QStringList {"queued"});
        QVERIFY(!service->serviceActive);

        platform::advanceClockMs(5000);
        sendCommandDatagram("after stop");
        service->drainCmdSocket();
        QVERIFY(service->serviceActive);
        QVERIFY(service->backendPid > 0);
        QVERIFY(!service->tickTimer->isActive());
        QCOMPARE(service->pendingBackendLines, QStringList({"queued", "after stop"}));
        service->flushPendingBackendLines();
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(device), QList<QByteArray>({"ping", "queued", "after stop"}), 5000);
    }

    // Writing to a backend that ended but is not reaped loses the line and
    // nothing else.
    void backendGoneUnreaped()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        QVERIFY(launchBackend(device, *service));
        service->sendLine("sim exit 3");
        QTRY_VERIFY_WITH_TIMEOUT(isZombie(service->backendPid), 5000);
        for (int i = 0; i < 3; ++i)
            service->sendLine("into the void");
        sendCommandDatagram("and more");
        service->drainCmdSocket();
        QVERIFY(service->backendInputBuffer.isEmpty() && service->backendStdinFd >= 0);
        LogCapture log;
        service->onTick();
        QVERIFY(log.contains("service: backend finished exitCode=3 status=0"));
        QCOMPARE(service->backendStdinFd, -1);
    }

    // A backend that is busy for a while gets everything, in order, without
    // the service waiting for it.
    void briefStall()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        QVERIFY(launchBackend(device, *service));
        QVERIFY(stopReading(device, *service, "1000"));

        QList<QByteArray> expected = backendOutput(device);
        const QByteArray filler(190, 'f');
        for (int i = 0; i < 3000; ++i) {
            const QByteArray line = QByteArray::number(i) + filler;
            expected << line;
            service->sendLine(QString::fromLatin1(line));
        }
        // More than a pipe holds, so the rest is still waiting here.
        QVERIFY(!service->backendInputBuffer.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(device), expected, 10000);
        QVERIFY(service->backendInputBuffer.isEmpty());
    }

    // A backend that never reads again: the buffer stops at its bound, the
    // rest is dropped in whole lines and reported once, and everything goes
    // with the pipe.
    void stalledForGood()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        QVERIFY(launchBackend(device, *service));
        QVERIFY(stopReading(device, *service));

        LogCapture log;
        const QString line(999, QLatin1Char('s'));
        for (int i = 0; i < 1600; ++i)
            service->sendLine(line);
        QVERIFY(service->backendInputBuffer.size() <= 1024 * 1024);
        QVERIFY(service->backendInputBuffer.size() > 1024 * 1024 - 1000);
        const qint64 dropped = service->backendDroppedBytes;
        QVERIFY(dropped > 0);
        QCOMPARE(dropped % 1000, qint64(0));
        QVERIFY(log.lines().isEmpty());

        service->stopBackend();
        QCOMPARE(log.matching("service: backend input full"),
                 QList<QByteArray> {"service: backend input full, dropped " + QByteArray::number(dropped) + " bytes"});
        QVERIFY(service->backendInputBuffer.isEmpty());
        QVERIFY(service->backendInputNotifier == nullptr);
        QCOMPARE(service->backendDroppedBytes, qint64(0));
    }

    // One activation reads a bounded number of datagrams; the rest follow in
    // later ones, in order.
    void floodIsTakenInTurns()
    {
        TestDevice device;
        auto service = backendService(device);
        ChildReaper reaper {&service->backendPid};
        const int big = 4 * 1024 * 1024;
        if (setsockopt(service->cmdSocketFd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
            QSKIP("cannot enlarge the command socket's buffer here");
        QVERIFY(launchBackend(device, *service));

        QList<QByteArray> expected {"ping"};
        for (int i = 0; i < 600; ++i) {
            expected << "d" + QByteArray::number(i);
            sendCommandDatagram(expected.last());
        }
        service->drainCmdSocket();
        service->sendLine("marker");
        QTRY_VERIFY_WITH_TIMEOUT(backendOutput(device).contains("marker"), 5000);
        QCOMPARE(backendOutput(device).indexOf("marker"), 1 + 256);

        expected.insert(1 + 256, "marker");
        for (int i = 0; i < 3; ++i)
            service->drainCmdSocket();
        QTRY_COMPARE_WITH_TIMEOUT(backendOutput(device), expected, 5000);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_relay.moc"
