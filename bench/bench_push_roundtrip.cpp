// Loopback latency from an event published at tgpush_proxy_sim to the
// service having handled the poll that carried it. Prints p50 and p99.
// The bench talks to the simulator's control side through a plain socket,
// kept alive across rounds, so that no second HTTP client shares the
// service's thread and the figure is the service's poll alone.
// Usage: bench_push_roundtrip [rounds]   (the simulator is taken from the build tree)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "serviceprobe.h"
#include "zunaro/device.h"

namespace {
// One connection to the simulator on 127.0.0.1; -1 when it cannot be made.
int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendRequest(int fd, const char *path)
{
    const QByteArray request = QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    return ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size();
}

// The body of the answer to the request sent last; empty on a failure.
QByteArray readAnswer(int fd)
{
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const qsizetype headerEnd = bytes.indexOf("\r\n\r\n");
        if (headerEnd >= 0) {
            const QByteArray headers = bytes.left(headerEnd).toLower();
            const qsizetype at = headers.indexOf("content-length:");
            const qsizetype length = at < 0 ? 0 : headers.mid(at + 15, headers.indexOf('\r', at) - at - 15).trimmed().toLongLong();
            if (bytes.size() >= headerEnd + 4 + length)
                return bytes.mid(headerEnd + 4, length);
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return QByteArray();
        bytes.append(buffer, n);
    }
}
} // namespace

class PushRoundtripBench
{
public:
    static int run(int rounds)
    {
        QProcess sim;
        // The simulator goes with the run, however the run ends.
        const auto stopSim = qScopeGuard([&sim] {
            sim.terminate();
            if (!sim.waitForFinished(2000)) {
                sim.kill();
                sim.waitForFinished(2000);
            }
        });
        sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/tgpush_proxy_sim/tgpush_proxy_sim"),
                  {});
        if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
            std::fprintf(stderr, "bench_push_roundtrip: tgpush_proxy_sim did not start\n");
            return 1;
        }
        const QByteArray banner = sim.readAllStandardOutput();
        const int port = banner.mid(banner.lastIndexOf(':') + 1).trimmed().toInt();
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        const int control = connectTo(port);
        if (control < 0) {
            std::fprintf(stderr, "bench_push_roundtrip: cannot connect to tgpush_proxy_sim\n");
            return 1;
        }
        const auto closeControl = qScopeGuard([control] { close(control); });

        QTemporaryDir device;
        QDir(device.path()).mkpath(QStringLiteral("app/native"));
        QDir(device.path()).mkpath(QStringLiteral("data"));
        zplatform::setApplicationDirPath(device.path() + QStringLiteral("/app/native"));
        QFile env(device.path() + QStringLiteral("/data/tgpush_proxy.env"));
        env.open(QIODevice::WriteOnly);
        env.write("TGPUSH_POLL_URL=" + base.toUtf8() + "/poll\nTGPUSH_TIMEOUT_MS=30000\n");
        env.close();

        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        ServiceProbe p(*service);
        p.tail.eventsTailTimer->stop();
        std::vector<qint64> latencies;
        for (int i = 0; i < rounds; ++i) {
            p.push.tgpushPollTimer->stop();
            p.onTgpushTick();
            QNetworkReply *poll = p.push.tgpushReply;
            if (!poll)
                return 1;
            // Publish only once the proxy holds the poll; the event loop
            // turns meanwhile, so the service sends it.
            for (bool held = false; !held;) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
                if (!sendRequest(control, "/control/stats"))
                    return 1;
                held = readAnswer(control).contains("\"waiting\":1");
            }
            bool handled = false;
            QElapsedTimer timer;
            qint64 latency = 0;
            QObject::connect(poll, &QNetworkReply::finished, [&] {
                latency = timer.nsecsElapsed();
                handled = true;
            });
            timer.start();
            if (!sendRequest(control, "/control/publish"))
                return 1;
            while (!handled)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (readAnswer(control).isEmpty())
                return 1;
            latencies.push_back(latency);
        }
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](double q) { return double(latencies[size_t(q * double(latencies.size() - 1))]) / 1e6; };
        std::printf("push_roundtrip_p50 %.3f ms\n", at(0.50));
        std::printf("push_roundtrip_p99 %.3f ms\n", at(0.99));
        return 0;
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(2, atoi(argv[1])) : 200;
    return PushRoundtripBench::run(rounds);
}
