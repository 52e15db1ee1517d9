// Start-up of the service in backend mode, and the command socket set-up.

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

namespace {
// A plain UDP socket on the command port, without SO_REUSEADDR, so the
// service's bind fails.
int occupyCommandPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(47010);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int indexOfPrefix(const QList<QByteArray> &lines, const QByteArray &prefix)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(prefix))
            return i;
    }
    return -1;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void logLinesInOrder()
    {
        TestDevice device;
        LogCapture log;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));

        const QList<QByteArray> expected = {
            "service: starting",
            "service: bps_initialize err=0",
            "service: notif_defaults apply err=0",
            "service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1",
            "service: net isOnline=1",
            "service: cmd socket listening on 127.0.0.1:47010",
        };
        int previous = -1;
        for (const QByteArray &line : expected) {
            const int at = log.lines().indexOf(line);
            QVERIFY2(at > previous, line.constData());
            previous = at;
        }
        QCOMPARE(log.lines().first(), QByteArray("service: starting"));
        QCOMPARE(log.lines().last(), QByteArray("service: cmd socket listening on 127.0.0.1:47010"));
        QVERIFY(!log.contains("service: tgpush mode enabled; TDLib backend disabled"));

        // Backend mode: the 1 s tick runs, the push timer does not, and the
        // backend waits for a command.
        QVERIFY(service->tickTimer->isActive());
        QCOMPARE(service->tickTimer->interval(), 1000);
        QVERIFY(!service->eventsTailTimer->isActive());
        QCOMPARE(service->eventsTailTimer->interval(), 750);
        QVERIFY(!service->pendingCallInvokeTimer->isActive());
        QVERIFY(service->tgpushPollTimer->isSingleShot());
        QVERIFY(service->tgpushNotifyTimer->isSingleShot());
        QVERIFY(service->tgpushSinceFlushTimer->isSingleShot());
        QCOMPARE(service->backendPid, -1);
        QVERIFY(service->serviceActive);
        QVERIFY(!service->backendWanted);
        QCOMPARE(service->dataDir, device.dataDir());
        QCOMPARE(service->eventsFilePath, device.dataDir() + "/backend_events.jsonl");

        // The socket is bound to 127.0.0.1:47010, close-on-exec.
        QVERIFY(service->cmdSocketFd >= 0);
        QVERIFY(service->cmdSocketNotifier);
        sockaddr_in bound {};
        socklen_t len = sizeof bound;
        QCOMPARE(getsockname(service->cmdSocketFd, reinterpret_cast<sockaddr *>(&bound), &len), 0);
        QCOMPARE(ntohs(bound.sin_port), quint16(47010));
        QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
        QVERIFY(fcntl(service->cmdSocketFd, F_GETFD) & FD_CLOEXEC);

        // Defaults are applied once: a second start-up only reports the rest.
        service.reset();
        log.clear();
        service.reset(new ZunaroHeadlessService(nullptr));
        QCOMPARE(indexOfPrefix(log.lines(), "service: notif_"), -1);
        QVERIFY(log.contains("service: cmd socket listening on 127.0.0.1:47010"));
    }

    void bindFailureLeavesTickRunning()
    {
        TestDevice device;
        const int blocker = occupyCommandPort();
        QVERIFY(blocker >= 0);
        LogCapture log;
        {
            ZunaroHeadlessService service(nullptr);
            QVERIFY(log.contains(QByteArray("service: cmd bind() failed: errno=") + QByteArray::number(EADDRINUSE)));
            QVERIFY(!log.contains("service: cmd socket listening on 127.0.0.1:47010"));
            QCOMPARE(service.cmdSocketFd, -1);
            QVERIFY(!service.cmdSocketNotifier);
            QVERIFY(service.tickTimer->isActive());
            service.onTick();
        }
        close(blocker);
    }

    void existingEventsAreHistory_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<qint64>("expectedOffset");
        QTest::newRow("no events file") << false << qint64(0);
        QTest::newRow("5000 bytes already there") << true << qint64(5000);
    }

    void fifoInPlaceOfEventsFileDoesNotHoldStartUp()
    {
        TestDevice device;
        QCOMPARE(mkfifo(QFile::encodeName(device.path("data/backend_events.jsonl")).constData(), 0600), 0);
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(service.eventsFileOffset, qint64(0));
    }

    void existingEventsAreHistory()
    {
        QFETCH(bool, present);
        QFETCH(qint64, expectedOffset);
        TestDevice device;
        if (present) {
            // Complete, valid message events: were they read, the summary
            // would count them.
            const QByteArray line = R"({"type":"hub_notify_message","chat_id":5,"date":1700000000,)"
                                    R"("chat_title":"Team","text":"old","sender_name":"Bob"})"
                                    "\n";
            QByteArray content;
            while (content.size() + line.size() <= 5000)
                content += line;
            content += QByteArray(5000 - content.size() - 1, ' ') + '\n';
            QCOMPARE(content.size(), 5000);
            QVERIFY(device.write("data/backend_events.jsonl", content));
        }
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(service.eventsFileOffset, expectedOffset);
        QVERIFY(service.eventsPartialLine.isEmpty());
        service.onTick();
        QCOMPARE(service.hubSummaryMessageCount, quint64(0));
        QCOMPARE(service.eventsFileOffset, expectedOffset);
    }

    void uiAliveAtStartUpIsRemembered_data()
    {
        QTest::addColumn<qint64>("ageMs");
        QTest::addColumn<bool>("alive");
        QTest::newRow("just written") << qint64(0) << true;
        QTest::newRow("two minutes old") << qint64(120000) << false;
    }

    void uiAliveAtStartUpIsRemembered()
    {
        QFETCH(qint64, ageMs);
        QFETCH(bool, alive);
        TestDevice device;
        const qint64 now = 1700000000000;
        platform::setClockMs(now);
        QVERIFY(device.write("data/ui_alive.txt", QByteArray::number(now - ageMs) + "\n"));
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(service.uiAliveRecent, alive);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_startup.moc"
