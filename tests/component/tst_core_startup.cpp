// Start-up of the service in backend mode, and the command socket set-up.

#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void logLinesInOrder()
    {
        TestDevice device;
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        const QByteArray tgpushTry = "service: tgpush try=" + device.root().toUtf8();
        QCOMPARE(log.lines(), (QList<QByteArray> {
                                  "service: starting",
                                  "service: bps_initialize err=0",
                                  "service: notif_defaults apply err=0",
                                  "service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1",
                                  "service: net isOnline=1",
                                  tgpushTry + "/data/tgpush_proxy.env exists=0",
                                  tgpushTry + "/accounts/1000/shared/misc/nimbrel/tgpush_proxy.env exists=0",
                                  tgpushTry + "/accounts/1000/shared/misc/tgpush_proxy.env exists=0",
                                  "service: tgpush disabled (missing TGPUSH_POLL_URL)",
                                  "service: cmd socket listening on 127.0.0.1:47010",
                              }));
        // Backend mode: the 1 s tick runs, the push timers do not, and the
        // backend waits for a command.
        QVERIFY(service.tickTimer->isActive());
        QCOMPARE(service.tickTimer->interval(), 1000);
        QVERIFY(!service.eventsTailTimer->isActive());
        QCOMPARE(service.eventsTailTimer->interval(), 750);
        QVERIFY(!service.pendingCallInvokeTimer->isActive());
        QVERIFY(service.tgpushPollTimer->isSingleShot() && service.tgpushNotifyTimer->isSingleShot()
                && service.tgpushSinceFlushTimer->isSingleShot());
        QCOMPARE(service.backendPid, -1);
        QVERIFY(service.serviceActive && !service.backendWanted);
        QCOMPARE(service.eventsFilePath, device.dataDir() + "/backend_events.jsonl");

        // Bound to 127.0.0.1:47010 and close-on-exec, so no backend inherits it.
        QVERIFY(service.cmdSocketNotifier);
        sockaddr_in bound {};
        socklen_t len = sizeof bound;
        QCOMPARE(getsockname(service.cmdSocketFd, reinterpret_cast<sockaddr *>(&bound), &len), 0);
        QCOMPARE(ntohs(bound.sin_port), quint16(47010));
        QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
        QVERIFY(fcntl(service.cmdSocketFd, F_GETFD) & FD_CLOEXEC);
    }

    void bindFailureLeavesTickRunning()
    {
        TestDevice device;
        // Bound without SO_REUSEADDR, so the service's bind fails.
        const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(47010);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        LogCapture log;
        {
            ZunaroHeadlessService service(nullptr);
            QCOMPARE(log.lines().last(), "service: cmd bind() failed: errno=" + QByteArray::number(EADDRINUSE));
            QCOMPARE(service.cmdSocketFd, -1);
            QVERIFY(!service.cmdSocketNotifier);
            QVERIFY(service.tickTimer->isActive());
            service.onTick();
        }
        close(blocker);
    }

    void existingEventsAreHistory()
    {
        TestDevice device;
        // Complete, valid message events: were they read, the summary would
        // count them.
        const QByteArray line = R"({"type":"hub_notify_message","chat_id":5,"date":1700000000,)"
                                R"("chat_title":"Team","text":"old","sender_name":"Bob"})" "\n";
        QByteArray content = line.repeated(5000 / line.size());
        content += QByteArray(5000 - content.size() - 1, ' ') + '\n';
        QVERIFY(device.write("data/backend_events.jsonl", content));
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(service.eventsFileOffset, qint64(5000));
        service.onTick();
        QCOMPARE(service.hubSummaryMessageCount, quint64(0));
        QCOMPARE(service.eventsFileOffset, qint64(5000));
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
        platform::setClockMs(1700000000000);
        QVERIFY(device.write("data/ui_alive.txt", QByteArray::number(1700000000000 - ageMs)));
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(service.uiAliveRecent, alive);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_startup.moc"
