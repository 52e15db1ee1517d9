#pragma once
// This project's programs as a test's children: the service in a test device, zunaroctl, a guard that ends a child.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>

class TestDevice;

// The real zunaro-service, run from the device's app/native so it finds the device; its log collected as it comes.
class ServiceProcess
{
public:
    explicit ServiceProcess(const TestDevice &device) : m_device(device) {}
    ~ServiceProcess(); // SIGTERM, then SIGKILL if it stays

    // Installs and starts it, and waits until its start-up is over and its control socket exists; false on failure.
    bool start(int timeoutMs = 10000);
    QList<QByteArray> lines(); // log lines so far
    QProcess &process() { return m_process; }

private:
    const TestDevice &m_device;
    QProcess m_process;
    QByteArray m_log;
};

struct CtlRun {
    int exitCode = -1; // -1 when it did not start, crashed or hung
    QByteArray out;
    QByteArray err;
};

// A program run to its end (killed after 20 s: -1), or zunaroctl on the device; the event loop turns meanwhile.
CtlRun runToEnd(const QString &program, const QStringList &args,
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
CtlRun zunaroctl(const TestDevice &device, const QStringList &args);

// The push proxy simulator started in `proxy`; the port it listens on, 0 when it did not start.
int startProxySim(QProcess &proxy);
// A request to its control side ("stats", "publish?count=3"); the answer, empty when none came within 5 s.
QByteArray proxyControl(int port, const QString &request);

// Ends the child whose id `*pid` holds, if any, when the test ends.
struct ChildReaper {
    const int *pid;
    ~ChildReaper();
};
