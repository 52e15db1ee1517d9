#pragma once
// The real programs of this project run as child processes of a test: the service in a test device, zunaroctl against
// it, and a guard that ends a child whatever the test's outcome.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>

class TestDevice;

// The real zunaro-service, installed into the device's app/native and run from there, so it finds the device through
// its own folder. Its log is collected as it comes; the destructor ends it.
class ServiceProcess
{
public:
    explicit ServiceProcess(const TestDevice &device) : m_device(device) {}
    ~ServiceProcess(); // SIGTERM, then SIGKILL if it stays

    // Installs and starts the service and waits until its start-up is over and its control socket exists; false when
    // any step fails.
    bool start(int timeoutMs = 10000);
    QList<QByteArray> lines(); // log lines so far
    bool hasLine(const QByteArray &line) { return lines().contains(line); }
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

// Runs a program to its end (killed after 20 s: -1 then), and zunaroctl against the device, the event loop turning:
// an in-process platform answers.
CtlRun runToEnd(const QString &program, const QStringList &args,
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
CtlRun zunaroctl(const TestDevice &device, const QStringList &args);

// Ends the child whose id `*pid` holds, if any, when the test ends.
struct ChildReaper {
    const int *pid;
    ~ChildReaper();
};
