// Relay throughput and latency: datagrams sent to the command port by one
// thread, carried by the service (in this process, on its event loop) to a
// running simulated backend, whose echo comes back through a FIFO in place
// of its output file. Prints lines per second and latency percentiles.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service_main.h"
#include "zunaro/device.h"

namespace {
// Throughput: many datagrams in flight (never so many that the socket
// overflows). Latency: one at a time, so no line waits behind another.
constexpr int kThroughputLines = 200000;
constexpr int kThroughputWindow = 256;
constexpr int kLatencyLines = 20000;
constexpr int kLines = kThroughputLines + kLatencyLines;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

class ServiceBench
{
public:
    int run()
    {
        QTemporaryDir root;
        const QString appDir = root.path() + QStringLiteral("/app/native");
        const QString dataDir = root.path() + QStringLiteral("/data");
        QDir().mkpath(appDir);
        QDir().mkpath(dataDir);
        QDir().mkpath(root.path() + QStringLiteral("/accounts/1000/shared/misc/nimbrel"));
        const QString sim = QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/td_backend_sim");
        if (!QFile::copy(sim, appDir + QStringLiteral("/td_backend"))) {
            std::fprintf(stderr, "bench_relay: cannot find %s\n", qPrintable(sim));
            return 1;
        }
        const QByteArray fifo = QFile::encodeName(dataDir + QStringLiteral("/td_backend_service.out"));
        mkfifo(fifo.constData(), 0600);
        const int echoFd = open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        qputenv("ZUNARO_DEVICE_ROOT", root.path().toUtf8());
        platform::setApplicationDirPath(appDir);

        ZunaroHeadlessService service(nullptr);
        if (service.cmdSocketFd < 0) {
            std::fprintf(stderr, "bench_relay: the command port is taken\n");
            return 1;
        }

        std::vector<qint64> sentAt(kLines + 1, 0);
        std::vector<qint64> latency;
        latency.reserve(kLines);
        std::atomic<int> received {-1};
        bool warm = false;
        qint64 firstSendNs = 0;
        std::atomic<qint64> lastReceiveNs {0};
        QByteArray pending;

        QSocketNotifier echoes(echoFd, QSocketNotifier::Read);
        QObject::connect(&echoes, &QSocketNotifier::activated, [&] {
            char buffer[65536];
            const ssize_t n = read(echoFd, buffer, sizeof buffer);
            if (n <= 0)
                return;
            const qint64 at = nowNs();
            pending.append(buffer, int(n));
            qsizetype start = 0;
            for (qsizetype nl; (nl = pending.indexOf('\n', start)) >= 0; start = nl + 1) {
                const QByteArray line = pending.mid(start, nl - start);
                if (line == "warmup") {
                    warm = true;
                } else if (line.startsWith('b')) {
                    const int seq = line.mid(1).toInt();
                    latency.push_back(at - sentAt[size_t(seq)]);
                    lastReceiveNs.store(at);
                    received.store(seq);
                    if (seq == kLines)
                        QCoreApplication::quit();
                }
            }
            pending.remove(0, start);
        });

        const int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(47010);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto sendText = [&](const QByteArray &text) {
            sendto(out, text.constData(), size_t(text.size()), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        };

        // The first command launches the backend; the rest is timed once it
        // has answered.
        sendText("warmup");
        while (!warm)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

        qint64 phaseEndNs = 0;
        std::thread sender([&] {
            firstSendNs = nowNs();
            for (int seq = 1; seq <= kLines; ++seq) {
                const int window = seq <= kThroughputLines ? kThroughputWindow : 1;
                while (seq - 1 - received.load() >= window)
                    std::this_thread::yield();
                if (seq == kThroughputLines + 1)
                    phaseEndNs = lastReceiveNs.load();
                sentAt[size_t(seq)] = nowNs();
                sendText("b" + QByteArray::number(seq));
            }
        });
        QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });
        const int rc = QCoreApplication::exec();
        sender.join();
        close(out);
        service.stopBackend();
        close(echoFd);
        if (rc != 0 || int(latency.size()) != kLines) {
            std::fprintf(stderr, "bench_relay: only %d of %d lines arrived\n", int(latency.size()), kLines);
            return 1;
        }

        const double seconds = double(phaseEndNs - firstSendNs) / 1e9;
        std::printf("relay_lines_per_s %.0f lines/s\n", double(kThroughputLines) / seconds);
        std::vector<qint64> single(latency.begin() + kThroughputLines, latency.end());
        std::sort(single.begin(), single.end());
        std::printf("relay_latency_p50 %.1f us\n", double(single[single.size() / 2]) / 1000.0);
        std::printf("relay_latency_p99 %.1f us\n", double(single[single.size() * 99 / 100]) / 1000.0);
        return 0;
    }
};

int main(int argc, char **argv)
{
    bb::Application app(argc, argv);
    return ServiceBench().run();
}
