// Loopback latency from an event published at tgpush_proxy_sim to the
// service having handled the poll that carried it. Prints p50 and p99.
// Usage: bench_push_roundtrip [rounds]   (the simulator is taken from the build tree)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "service_main.h"
#include "zunaro/device.h"

class ServiceBench
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
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(banner.mid(banner.lastIndexOf(':') + 1).trimmed().toInt());

        QTemporaryDir device;
        QDir(device.path()).mkpath(QStringLiteral("app/native"));
        QDir(device.path()).mkpath(QStringLiteral("data"));
        zplatform::setApplicationDirPath(device.path() + QStringLiteral("/app/native"));
        QFile env(device.path() + QStringLiteral("/data/tgpush_proxy.env"));
        env.open(QIODevice::WriteOnly);
        env.write("TGPUSH_POLL_URL=" + base.toUtf8() + "/poll\nTGPUSH_TIMEOUT_MS=30000\n");
        env.close();

        QNetworkAccessManager control;
        std::unique_ptr<ZunaroHeadlessService> service(new ZunaroHeadlessService(nullptr));
        service->eventsTailTimer->stop();
        std::vector<qint64> latencies;
        for (int i = 0; i < rounds; ++i) {
            service->tgpushPollTimer->stop();
            service->onTgpushTick();
            QNetworkReply *poll = service->tgpushReply;
            if (!poll)
                return 1;
            // Publish only once the proxy holds the poll.
            for (bool held = false; !held;) {
                std::unique_ptr<QNetworkReply> stats(control.get(QNetworkRequest(QUrl(base + QStringLiteral("/control/stats")))));
                while (!stats->isFinished())
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                held = stats->readAll().contains("\"waiting\":1");
            }
            bool handled = false;
            QElapsedTimer timer;
            qint64 latency = 0;
            QObject::connect(poll, &QNetworkReply::finished, [&] {
                latency = timer.nsecsElapsed();
                handled = true;
            });
            timer.start();
            std::unique_ptr<QNetworkReply> publish(control.get(QNetworkRequest(QUrl(base + QStringLiteral("/control/publish")))));
            while (!handled || !publish->isFinished())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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
    return ServiceBench::run(rounds);
}
