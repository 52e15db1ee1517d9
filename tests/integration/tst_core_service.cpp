// The real service binary in a device folder, driven with zunaroctl.

#include <QtTest>

#include <QProcess>
#include <QUdpSocket>

#include "testdevice.h"

namespace {
// Runs zunaroctl against the device; returns its exit code.
int ctl(const TestDevice &device, const QStringList &args, QByteArray *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(builtTool(QStringLiteral("zunaroctl")), QStringList {QStringLiteral("--root"), device.root()} + args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The service as a child process, ended whatever the test's outcome.
class RunningService
{
public:
    explicit RunningService(const TestDevice &device)
    {
        m_process.setProgram(device.appDir() + QStringLiteral("/zunaro-service"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("ZUNARO_DEVICE_ROOT"));
        m_process.setProcessEnvironment(env);
        m_process.start();
    }
    ~RunningService() { stop(); }

    QList<QByteArray> lines()
    {
        m_log += m_process.readAllStandardError();
        QList<QByteArray> out = m_log.split('\n');
        out.removeAll(QByteArray());
        return out;
    }
    bool hasLine(const QByteArray &line) { return lines().contains(line); }
    QProcess &process() { return m_process; }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

private:
    QProcess m_process;
    QByteArray m_log;
};
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void startsListensAndAnswersInvocations()
    {
        TestDevice device;
        QVERIFY(device.installTool(QStringLiteral("zunaro-service"), QStringLiteral("zunaro-service")));
        RunningService service(device);
        QTRY_VERIFY_WITH_TIMEOUT(service.hasLine("service: cmd socket listening on 127.0.0.1:47010"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(device.path("platform/control.sock")).exists(), 10000);

        const QList<QByteArray> startup = service.lines();
        QCOMPARE(startup.value(0), QByteArray("service: starting"));
        QCOMPARE(startup.value(1), QByteArray("service: bps_initialize err=0"));
        QVERIFY(startup.indexOf("service: net isOnline=1") > 1
                || startup.indexOf("service: net isOnline=0") > 1);
        QCOMPARE(device.read("data/service_notif_defaults_applied.txt"), QByteArray("v2\n"));

        // The port is taken by the service: binding it without sharing fails.
        QUdpSocket probe;
        QVERIFY(!probe.bind(QHostAddress::LocalHost, 47010, QAbstractSocket::DontShareAddress));

        QCOMPARE(ctl(device, {QStringLiteral("invoke"), QStringLiteral("com.kvel.zunaro.service.STOP")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(service.hasLine("service: invoked action=com.kvel.zunaro.service.STOP"), 10000);
        QCOMPARE(ctl(device, {QStringLiteral("invoke"), QStringLiteral("com.kvel.zunaro.service.START")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(service.hasLine("service: invoked action=com.kvel.zunaro.service.START"), 10000);

        // SIGTERM ends the event loop: the process exits normally and takes
        // its control socket with it.
        service.process().terminate();
        QVERIFY(service.process().waitForFinished(10000));
        QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.process().exitCode(), 0);
        QVERIFY(!QFileInfo::exists(device.path("platform/control.sock")));
    }

    void zunaroctlWithoutServiceFails()
    {
        TestDevice device;
        QByteArray output;
        const int rc = ctl(device, {QStringLiteral("invoke"), QStringLiteral("com.kvel.zunaro.service.STOP")}, &output);
        QVERIFY(rc != 0);
        QVERIFY(!output.isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_service.moc"
