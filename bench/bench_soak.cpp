// Soak: the service's memory and descriptors across long runs of what a
// hostile or busy neighbour does: backend launches and exits, event lines
// over many distinct chats, control clients that vanish mid-conversation,
// command datagrams for a backend that stopped reading, and a push answer
// that never ends. Each phase runs once small (warm-up: caches, pools and
// tables reach their working size), then in full; the resident memory and
// the open descriptors are printed after the warm-up and after each full
// phase, and the peak resident memory at the end.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <string>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bb/Application.h"
#include "proc_status.h"
#include "serviceprobe.h"
#include "zunaro/device.h"

namespace {
constexpr int kLaunches = 2000;
constexpr int kEventLines = 1000000;
constexpr int kDistinctChats = 500000;
constexpr int kControlRequests = 100000;
constexpr int kDatagrams = 1000000;
constexpr int kWarmUpDivisor = 10;
constexpr int kEndlessAnswers = 10;

// A figure of /proc/self/status ("VmRSS:", "VmHWM:"), in KiB.
qint64 statusKiB(const QByteArray &field)
{
    return procStatusField(QStringLiteral("/proc/self/status"), field);
}

double rssMiB()
{
    return statusKiB("VmRSS:") / 1024.0;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size());
}

void print(const char *phase, const char *what, double value, const char *unit)
{
    std::printf("soak_%s_%s %.2f %s\n", phase, what, value, unit);
    std::fflush(stdout);
}

// Starts the push proxy simulator with every poll meeting an endless answer;
// the poll URL, or empty when it did not start.
QString startEndlessProxy(QProcess &proxy)
{
    proxy.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/tgpush_proxy_sim/tgpush_proxy_sim"),
                {});
    if (!proxy.waitForStarted(5000) || !proxy.waitForReadyRead(5000))
        return QString();
    const QByteArray banner = proxy.readAllStandardOutput();
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(banner.mid(banner.lastIndexOf(':') + 1).trimmed().toInt());
    QNetworkAccessManager control;
    std::unique_ptr<QNetworkReply> fault(
        control.get(QNetworkRequest(QUrl(base + QStringLiteral("/control/fault?kind=endless&times=0")))));
    while (!fault->isFinished())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return fault->error() == QNetworkReply::NoError ? base + QStringLiteral("/poll") : QString();
}

// Runs the event loop for a while, so sockets and timers are served.
void turnEventLoop(int ms)
{
    QTimer::singleShot(ms, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}
} // namespace

class SoakBench
{
public:
    explicit SoakBench(ZunaroHeadlessService &service)
        : s(service)
    {
    }

    // Launch, exit by SIGTERM, reap: the path a backend that ends takes.
    // (stopBackend's own path waits in 50 ms steps, which would make this
    // phase minutes long without adding anything to measure.)
    void launches(int count)
    {
        for (int i = 0; i < count; ++i) {
            s.serviceActive = true;
            s.backend.backendWanted = true;
            s.backend.backendNextStartMs = 0;
            s.startBackend();
            if (s.backend.backendPid <= 0)
                continue;
            kill(s.backend.backendPid, SIGTERM);
            siginfo_t info {};
            waitid(P_PID, id_t(s.backend.backendPid), &info, WEXITED | WNOWAIT);
            s.reapBackend();
        }
        s.backend.backendRestartAttempts = 0;
        s.backend.backendNextStartMs = 0;
    }

    void eventLines(int count, int firstLine)
    {
        QFile file(s.tail.eventsFilePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        QByteArray block;
        for (int i = firstLine; i < firstLine + count; ++i) {
            const QByteArray chat = QByteArray::number(1000000000LL + i % kDistinctChats);
            block += i % 2 == 0
                ? "{\"type\":\"chat_unread\",\"chat_id\":" + chat + ",\"unread_count\":" + QByteArray::number(1 + i % 7) + "}\n"
                : "{\"type\":\"hub_notify_message\",\"chat_id\":" + chat + ",\"date\":1700000000,\"chat_title\":\"C\","
                  "\"sender_name\":\"B\",\"text\":\"hello\"}\n";
            if (block.size() > (1 << 20)) {
                file.write(block);
                block.clear();
                file.flush();
                drainEvents();
            }
        }
        file.write(block);
        file.flush();
        drainEvents();
    }

    // Each client connects, sends a request and is gone before the answer.
    void controlClients(int count)
    {
        const QByteArray path = QFile::encodeName(zplatform::platformDir() + QStringLiteral("/control.sock"));
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.constData(), size_t(std::min<qsizetype>(path.size(), sizeof addr.sun_path - 1)));
        const char request[] = "{\"online\":true}\n";
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            // A full listening backlog: let the service accept, then retry.
            while (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 && errno == EAGAIN)
                QCoreApplication::processEvents();
            const ssize_t ignored = ::write(fd, request, sizeof request - 1);
            (void)ignored;
            ::close(fd);
            if (i % 16 == 15)
                QCoreApplication::processEvents();
        }
        turnEventLoop(200);
    }

    // The backend reads one line, then nothing more: everything after it
    // meets a full pipe.
    void stalledBackend(int count)
    {
        if (s.backend.backendPid <= 0) {
            s.serviceActive = true;
            s.backend.backendWanted = true;
            s.backend.backendNextStartMs = 0;
            s.startBackend();
            s.sendLine(QStringLiteral("sim stop-reading"));
            turnEventLoop(300);
        }
        std::atomic<bool> done {false};
        std::thread sender([count, &done] {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr {};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(zplatform::kCommandPort);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (int i = 0; i < count; ++i) {
                const std::string line = "command number " + std::to_string(i);
                sendto(fd, line.data(), line.size(), 0, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
                // Paced a little, so the service (not only the kernel) sees
                // most of them.
                if (i % 256 == 255)
                    usleep(200);
            }
            close(fd);
            done.store(true);
        });
        while (!done.load())
            turnEventLoop(50);
        sender.join();
        turnEventLoop(300);
    }

    // Polls a proxy whose every answer is endless (the simulator's fault)
    // `count` times; each poll ends when the service cuts the answer.
    void endlessPushAnswers(const QString &pollUrl, int count)
    {
        s.push.tgpushMode = true;
        s.push.tgpushPollUrl = pollUrl;
        for (int i = 0; i < count; ++i) {
            s.pollTgpushMaybe();
            while (s.tgpushPollInFlight())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        s.cancelTgpushPoll();
        s.push.tgpushMode = false;
        // The replies given up are deleted, and their connections closed, by
        // the event loop.
        turnEventLoop(300);
    }

    static int run();

private:
    void drainEvents()
    {
        // A pass reads a bounded amount; go on until the file is read.
        for (qint64 before = -1; before != s.tail.eventsFileOffset;) {
            before = s.tail.eventsFileOffset;
            s.tailBackendEvents();
        }
    }

    ServiceProbe s;
};

int SoakBench::run()
{
    QTemporaryDir root;
    const QString appDir = root.path() + QStringLiteral("/app/native");
    for (const char *dir : {"/app/native", "/data", "/platform", "/accounts/1000/shared/misc/nimbrel"})
        QDir().mkpath(root.path() + QLatin1String(dir));
    const QString sim = QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/td_backend_sim");
    if (!QFile::copy(sim, appDir + QStringLiteral("/td_backend"))) {
        std::fprintf(stderr, "bench_soak: cannot find %s\n", qPrintable(sim));
        return 1;
    }
    qputenv("ZUNARO_DEVICE_ROOT", root.path().toUtf8());
    zplatform::setApplicationDirPath(appDir);

    // The service logs every launch and every full table: millions of lines
    // that say nothing here. Its log goes to /dev/null; the bench's own
    // complaints to the real standard error.
    const int realStderr = dup(STDERR_FILENO);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devNull, STDERR_FILENO);
    close(devNull);
    ZunaroHeadlessService service(nullptr);
    ServiceProbe p(service);
    if (p.backend.cmdSocketFd < 0) {
        dprintf(realStderr, "bench_soak: the command port is taken\n");
        return 1;
    }
    QProcess proxy;
    const auto stopProxy = qScopeGuard([&proxy] {
        proxy.terminate();
        proxy.waitForFinished(2000);
    });
    const QString pollUrl = startEndlessProxy(proxy);
    if (pollUrl.isEmpty()) {
        dprintf(realStderr, "bench_soak: tgpush_proxy_sim did not start\n");
        return 1;
    }
    SoakBench bench(service);
    const auto all = [&](int divisor, int firstLine) {
        bench.launches(kLaunches / divisor);
        bench.eventLines(kEventLines / divisor, firstLine);
        bench.controlClients(kControlRequests / divisor);
        bench.stalledBackend(kDatagrams / divisor);
        // Few and cheap: the warm-up takes as many as the full phase, so the
        // network layer's buffers reach their working size in it.
        bench.endlessPushAnswers(pollUrl, kEndlessAnswers);
    };
    all(kWarmUpDivisor, 0);
    p.stopBackend();

    const double rssStart = rssMiB();
    const int fdsStart = openDescriptors();
    print("start", "rss", rssStart, "MiB");
    print("start", "fds", fdsStart, "fds");
    const auto after = [](const char *phase) {
        print(phase, "rss", rssMiB(), "MiB");
        print(phase, "fds", openDescriptors(), "fds");
    };
    bench.launches(kLaunches);
    after("launches");
    bench.eventLines(kEventLines, kEventLines);
    after("event_lines");
    bench.controlClients(kControlRequests);
    after("control_clients");
    bench.stalledBackend(kDatagrams);
    p.stopBackend();
    after("stalled_backend");
    bench.endlessPushAnswers(pollUrl, kEndlessAnswers);
    after("endless_push");
    print("total", "peak_rss", statusKiB("VmHWM:") * 1024 / 1e6, "MB");
    print("total", "rss_growth", rssMiB() - rssStart, "MiB");
    print("total", "fds_growth", openDescriptors() - fdsStart, "fds");
    return 0;
}

int main(int argc, char **argv)
{
    // The application object asks for a device at once; the bench's own
    // device comes later.
    QTemporaryDir startDevice;
    qputenv("ZUNARO_DEVICE_ROOT", startDevice.path().toUtf8());
    bb::Application app(argc, argv);
    return SoakBench::run();
}
