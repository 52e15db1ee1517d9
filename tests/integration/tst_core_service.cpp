// The real service binary in a device folder, driven with zunaroctl.

#include <QtTest>

#include <QUdpSocket>

#include "serviceprocess.h"
#include "testdevice.h"
#include "zunaro/device.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void startsListensAndAnswersInvocations()
    {
        TestDevice device;
        ServiceProcess service(device);
        QVERIFY(service.start());
        QTRY_VERIFY_WITH_TIMEOUT(service.hasLine("service: cmd socket listening on 127.0.0.1:47010"), 10000);
        const QList<QByteArray> startup = service.lines();
        QCOMPARE(startup.value(0), QByteArray("service: starting"));
        QCOMPARE(startup.value(1), QByteArray("service: bps_initialize err=0"));
        QVERIFY(startup.indexOf("service: net isOnline=1") > 1 || startup.indexOf("service: net isOnline=0") > 1);
        QCOMPARE(device.read("data/service_notif_defaults_applied.txt"), QByteArray("v2\n"));
        // The port is taken by the service: binding it without sharing fails.
        QUdpSocket probe;
        QVERIFY(!probe.bind(QHostAddress::LocalHost, zplatform::kCommandPort, QAbstractSocket::DontShareAddress));

        for (const char *action : {"com.kvel.zunaro.service.STOP", "com.kvel.zunaro.service.START"}) {
            QCOMPARE(zunaroctl(device, {QStringLiteral("invoke"), QString::fromLatin1(action)}).exitCode, 0);
            QTRY_VERIFY_WITH_TIMEOUT(service.hasLine(QByteArray("service: invoked action=") + action), 10000);
        }

        // SIGTERM ends the event loop: the process exits normally and takes
        // its control socket with it.
        service.process().terminate();
        QVERIFY(service.process().waitForFinished(10000));
        QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.process().exitCode(), 0);
        QVERIFY(!device.exists("platform/control.sock"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_service.moc"
