// Relay throughput and latency: datagrams sent to the command port, carried
// by the service (in this process, on its event loop) to a running simulated
// backend, whose echo comes back through a FIFO in place of its output file.
// Prints lines per second and latency percentiles.
//
// The client (sender and echo reader) is one thread that sleeps in poll()
// whenever it has nothing to send: on a machine with few cores a client
// that spins, or that reads echoes on the service's own event loop, takes
// time from the service and the backend and is measured as theirs.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serviceprobe.h"
#include "zunaro/device.h"

namespace {
// Throughput: many datagrams in flight (never so many that the socket
// overflows). Latency: one at a time, so no line waits behind another.
constexpr int kThroughputLines = 200000;
constexpr int kThroughputWindow = 256;
constexpr int kLatencyLines = 20000;
constexpr int kLines = kThroughputLines + kLatencyLines;
// A lost datagram or a dead backend ends the run instead of hanging it.
constexpr int kStallMs = 10000;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Client
{
public:
    explicit Client(int echoFd)
        : m_echoFd(echoFd)
    {
        m_out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        m_addr.sin_family = AF_INET;
        m_addr.sin_port = htons(zplatform::kCommandPort);
        m_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_sentAt.assign(kLines + 1, 0);
        m_latency.reserve(kLines);
    }
    ~Client() { close(m_out); }

    // False when the echoes stopped coming.
    bool run(const std::atomic<bool> &abandon)
    {
        // The first command launches the backend; the rest is timed once it
        // has answered.
        send("warmup");
        while (!m_warm) {
            if (abandon.load() || !readEchoes())
                return false;
        }
        m_firstSendNs = nowNs();
        int sent = 0;
        while (m_received < kLines) {
            const int window = sent < kThroughputLines ? kThroughputWindow : 1;
            while (sent < kLines && sent - m_received < window) {
                // The single-line phase starts once every throughput line
                // has come back.
                if (sent == kThroughputLines && m_received < kThroughputLines)
                    break;
                ++sent;
                m_sentAt[size_t(sent)] = nowNs();
                send("b" + std::to_string(sent));
            }
            if (abandon.load() || !readEchoes())
                return false;
        }
        return m_latency.size() == size_t(kLines);
    }

    void report() const
    {
        const double seconds = double(m_throughputEndNs - m_firstSendNs) / 1e9;
        std::printf("relay_lines_per_s %.0f lines/s\n", double(kThroughputLines) / seconds);
        std::vector<qint64> single(m_latency.begin() + kThroughputLines, m_latency.end());
        std::sort(single.begin(), single.end());
        std::printf("relay_latency_p50 %.1f us\n", double(single[single.size() / 2]) / 1000.0);
        std::printf("relay_latency_p99 %.1f us\n", double(single[single.size() * 99 / 100]) / 1000.0);
    }

    int received() const { return int(m_latency.size()); }

private:
    void send(const std::string &text)
    {
        sendto(m_out, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&m_addr), sizeof m_addr);
    }

    // Waits for echoes and takes in every whole line; false after a stall.
    bool readEchoes()
    {
        pollfd pfd {m_echoFd, POLLIN, 0};
        if (poll(&pfd, 1, kStallMs) <= 0)
            return false;
        char buffer[65536];
        const ssize_t n = read(m_echoFd, buffer, sizeof buffer);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        const qint64 at = nowNs();
        m_pending.append(buffer, size_t(n));
        size_t start = 0;
        for (size_t nl; (nl = m_pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            const char *line = m_pending.data() + start;
            if (nl - start == 6 && std::memcmp(line, "warmup", 6) == 0) {
                m_warm = true;
            } else if (line[0] == 'b') {
                const int seq = std::atoi(line + 1);
                m_latency.push_back(at - m_sentAt[size_t(seq)]);
                m_received = seq;
                if (seq == kThroughputLines)
                    m_throughputEndNs = at;
            }
        }
        m_pending.erase(0, start);
        return true;
    }

    const int m_echoFd;
    int m_out = -1;
    sockaddr_in m_addr {};
    std::vector<qint64> m_sentAt;
    std::vector<qint64> m_latency;
    std::string m_pending;
    bool m_warm = false;
    int m_received = 0;
    qint64 m_firstSendNs = 0;
    qint64 m_throughputEndNs = 0;
};
} // namespace

class RelayBench
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
        // Held open so that the FIFO never reads as ended while the backend
        // is not (yet) its writer.
        const int keepOpenFd = open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        qputenv("ZUNARO_DEVICE_ROOT", root.path().toUtf8());
        zplatform::setApplicationDirPath(appDir);

        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        if (p.backend.cmdSocketFd < 0) {
            std::fprintf(stderr, "bench_relay: the command port is taken\n");
            return 1;
        }

        Client client(echoFd);
        std::atomic<bool> abandon {false};
        bool complete = false;
        std::thread clientThread([&] {
            complete = client.run(abandon);
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
        });
        QTimer::singleShot(120000, [] { QCoreApplication::exit(1); });
        QCoreApplication::exec();
        abandon.store(true);
        clientThread.join();
        p.stopBackend();
        close(keepOpenFd);
        close(echoFd);
        if (!complete) {
            std::fprintf(stderr, "bench_relay: only %d of %d lines arrived\n", client.received(), kLines);
            return 1;
        }
        client.report();
        return 0;
    }
};

int main(int argc, char **argv)
{
    // The application object asks for a device at once; the bench's own
    // device comes later.
    QTemporaryDir startDevice;
    qputenv("ZUNARO_DEVICE_ROOT", startDevice.path().toUtf8());
    bb::Application app(argc, argv);
    return RelayBench().run();
}
