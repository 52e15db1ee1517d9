#include "serviceprocess.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <sys/wait.h>

#include "testdevice.h"

bool ServiceProcess::start(int timeoutMs)
{
    if (!m_device.installTool("zunaro-service", "zunaro-service"))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("ZUNARO_DEVICE_ROOT");
    m_process.setProcessEnvironment(env);
    m_process.start(m_device.appDir() + "/zunaro-service", QStringList());
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    // The control socket opens first thing; the command socket and the push poll come at the end of start-up, whose
    // last line says which mode runs. A datagram sent before that would be lost.
    static const QRegularExpression startedUp(
        "^service: (cmd socket listening on |cmd \\w+\\(\\) failed|tgpush mode enabled; TDLib backend disabled$)",
        QRegularExpression::MultilineOption);
    const auto over = [this] {
        return m_process.state() == QProcess::NotRunning
            || (QString::fromUtf8(lines().join('\n')).contains(startedUp) && m_device.exists("platform/control.sock"));
    };
    return QTest::qWaitFor(over, timeoutMs) && m_process.state() == QProcess::Running;
}

ServiceProcess::~ServiceProcess()
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
    return runToEnd(builtTool("zunaroctl"), QStringList {"--root", device.root()} + args);
}

int startProxySim(QProcess &proxy)
{
    proxy.start(builtTool(QStringLiteral("tgpush_proxy_sim")), {});
    if (!QTest::qWaitFor([&proxy] { return proxy.canReadLine(); }, 5000))
        return 0;
    return proxy.readLine().split(':').last().trimmed().toInt();
}

QByteArray proxyControl(int port, const QString &request)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/control/%2").arg(port).arg(request)))));
    QSignalSpy(reply.get(), &QNetworkReply::finished).wait(5000);
    return reply->readAll();
}

ChildReaper::~ChildReaper()
{
    if (*pid > 0 && kill(*pid, SIGKILL) == 0)
        waitpid(*pid, nullptr, 0);
}
