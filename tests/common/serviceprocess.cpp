#include "serviceprocess.h"

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <QTest>

#include <csignal>
#include <sys/wait.h>

#include "testdevice.h"

ServiceProcess::ServiceProcess(const TestDevice &device)
    : m_device(device)
{
}

ServiceProcess::~ServiceProcess()
{
    stop();
}

bool ServiceProcess::start(int timeoutMs)
{
    if (!m_device.installTool(QStringLiteral("zunaro-service"), QStringLiteral("zunaro-service")))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("ZUNARO_DEVICE_ROOT"));
    m_process.setProcessEnvironment(env);
    m_process.start(m_device.appDir() + QStringLiteral("/zunaro-service"), QStringList());
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    // The control socket opens first thing; the command socket and the push
    // poll come at the end of start-up, whose last line says which mode
    // runs. A datagram sent before that would be lost.
    const auto startedUp = [this] {
        for (const QByteArray &line : lines()) {
            if (line.startsWith("service: cmd socket listening on ") || line.startsWith("service: cmd bind() failed")
                || line.startsWith("service: cmd socket() failed") || line == "service: tgpush mode enabled; TDLib backend disabled")
                return true;
        }
        return false;
    };
    return QTest::qWaitFor(
        [&] {
            return m_process.state() == QProcess::NotRunning
                || (startedUp() && m_device.exists(QStringLiteral("platform/control.sock")));
        },
        timeoutMs)
        && m_process.state() == QProcess::Running;
}

void ServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QList<QByteArray> ServiceProcess::lines()
{
    m_log += m_process.readAllStandardError();
    QList<QByteArray> out = m_log.split('\n');
    out.removeAll(QByteArray());
    return out;
}

CtlRun runToEnd(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    CtlRun run;
    if (!process.waitForStarted(5000))
        return run;
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 20000)) {
        process.kill();
        process.waitForFinished(2000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

CtlRun zunaroctl(const TestDevice &device, const QStringList &args)
{
    return runToEnd(builtTool(QStringLiteral("zunaroctl")), QStringList {QStringLiteral("--root"), device.root()} + args);
}

ChildReaper::~ChildReaper()
{
    if (*pid > 0 && kill(*pid, SIGKILL) == 0)
        waitpid(*pid, nullptr, 0);
}
