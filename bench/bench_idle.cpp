// The service left alone with nothing wanted, on each platform: its resident
// memory and how often it wakes (voluntary context switches of all its
// threads) over 10 s. Counts, not wall time, so a busy machine moves them
// little.
// Usage: bench_idle [service binary]   (default: the one built here)

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include "desktopbus.h"
#include "proc_status.h"
#include "testdevice.h"

namespace {
constexpr int kSettleMs = 3000;
constexpr int kWindowMs = 10000;

void turnEventLoop(int ms)
{
    QTimer::singleShot(ms, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}

qint64 voluntarySwitches(qint64 pid)
{
    qint64 sum = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        sum += qMax<qint64>(0, procStatusField(tasks + '/' + task + QStringLiteral("/status"), "voluntary_ctxt_switches:"));
    return sum;
}

// Runs the service from a device's app folder until its start-up is over,
// lets it settle and prints its figures; false when it did not start.
bool measure(const char *platform, const QString &binary, const QStringList &env)
{
    TestDevice device;
    const QString installed = device.appDir() + QStringLiteral("/zunaro-service");
    if (!QFile::copy(binary, installed))
        return false;
    QProcess service;
    service.setEnvironment(QProcess::systemEnvironment() + env);
    service.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    service.start(installed, {});
    QByteArray log;
    for (int waited = 0; !log.contains("cmd socket listening") && waited < 200; ++waited) {
        if (!service.waitForReadyRead(100) && service.state() != QProcess::Running)
            break;
        log += service.readAllStandardError();
    }
    if (!log.contains("cmd socket listening")) {
        std::fprintf(stderr, "bench_idle: the %s service did not start:\n%s", platform, log.constData());
        return false;
    }
    turnEventLoop(kSettleMs);
    const qint64 pid = service.processId();
    const qint64 rssKiB = procStatusField(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS:");
    const qint64 threads = procStatusField(QStringLiteral("/proc/%1/status").arg(pid), "Threads:");
    const qint64 before = voluntarySwitches(pid);
    turnEventLoop(kWindowMs);
    const qint64 wakeUps = voluntarySwitches(pid) - before;
    std::printf("idle_%s_rss %.1f MiB\n", platform, double(rssKiB) / 1024.0);
    std::printf("idle_%s_threads %lld count\n", platform, threads);
    std::printf("idle_%s_wakeups_10s %lld count\n", platform, wakeUps);
    std::fflush(stdout);
    service.terminate();
    if (!service.waitForFinished(5000))
        service.kill();
    service.waitForFinished(5000);
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString binary = argc > 1 ? QString::fromLocal8Bit(argv[1]) : builtTool(QStringLiteral("zunaro-service"));
    if (!measure("embedded", binary, {QStringLiteral("ZUNARO_PLATFORM=embedded")}))
        return 1;

    // A desktop session: its bus with a notification server, logind and
    // NetworkManager on the system bus, as on a laptop; then one without
    // NetworkManager, where the online state comes from GLib's monitor.
    DesktopBus buses;
    QTemporaryDir home;
    qint64 networkManager = 0;
    if (!buses.start() || !home.isValid()
        || !buses.startMock(false, QStringLiteral("org.freedesktop.Notifications"), {"-t", "notification_daemon"})
        || !buses.startMock(true, QStringLiteral("org.freedesktop.login1"), {"-t", "logind"})
        || !(networkManager = buses.startMock(true, QStringLiteral("org.freedesktop.NetworkManager"),
                                              {"-t", "networkmanager"}))) {
        std::fprintf(stderr, "bench_idle: the desktop's buses did not start\n");
        return 1;
    }
    const QStringList desktop {QStringLiteral("ZUNARO_PLATFORM=desktop"), "XDG_RUNTIME_DIR=" + home.path(),
                               "XDG_DATA_HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.path()};
    if (!measure("desktop", binary, desktop))
        return 1;
    buses.stop(networkManager);
    return measure("desktop_glib", binary, desktop) ? 0 : 1;
}
