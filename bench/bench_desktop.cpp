// The desktop platform's cost of a post: summary updates per second through
// a private session bus to a notification server, and the time from a
// ringing call's event line to the server's Notify call (p50, p99). The
// server is a fake on a connection of its own, so the figures are this
// side's and the bus's, not a slow mock's.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstdio>

#include "bb/platform/Notification.h"
#include "desktopbus.h"
#include "serviceprobe.h"
#include "testdevice.h"
#include "zunaro/platform.h"

namespace {
constexpr int kUpdates = 2000;
constexpr int kRings = 200;

// The notification server and the UI, on the server connection.
class FakeServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    int notifies = 0;
    qint64 lastDialogNs = 0; // when the last ringing call's Notify arrived
    QElapsedTimer *clock = nullptr;

public slots:
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("body-markup"), QStringLiteral("actions")}; }
    uint Notify(const QString &, uint replacesId, const QString &, const QString &, const QString &,
                const QStringList &actions, const QVariantMap &, int)
    {
        ++notifies;
        if (actions.contains(QStringLiteral("accept")))
            lastDialogNs = clock->nsecsElapsed();
        emit received();
        return replacesId ? replacesId : uint(notifies);
    }
    void CloseNotification(uint) {}

signals:
    void received();
};

// Turns the event loop until `done` holds, woken by each Notify the server
// gets rather than by polling; false after five seconds.
template<typename Done>
bool waitFor(FakeServer &server, Done done)
{
    QEventLoop loop;
    QObject::connect(&server, &FakeServer::received, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    return done() || loop.exec() == 0;
}

class FakeUi : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public slots:
    void Open(const QStringList &, const QVariantMap &) {}
    void Activate(const QVariantMap &) {}
};

double percentile(QList<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[qMin(values.size() - 1, int(p * values.size()))];
}
} // namespace

class DesktopBench
{
public:
    static int run()
    {
        DesktopBus buses;
        if (!buses.start()) {
            fprintf(stderr, "bench_desktop: could not start private buses\n");
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        FakeServer server;
        server.clock = &clock;
        FakeUi ui;
        QDBusConnection serverBus = QDBusConnection::connectToBus(buses.sessionAddress(), QStringLiteral("server"));
        if (!serverBus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server, QDBusConnection::ExportAllSlots)
            || !serverBus.registerService(QStringLiteral("org.freedesktop.Notifications"))
            || !serverBus.registerObject(QStringLiteral("/com/kvel/zunaro"), &ui, QDBusConnection::ExportAllSlots)
            || !serverBus.registerService(QStringLiteral("com.kvel.zunaro"))) {
            fprintf(stderr, "bench_desktop: could not put the fake server on the bus\n");
            return 1;
        }
        qputenv("XDG_DATA_HOME", buses.dir().toUtf8() + "/data");
        qputenv("XDG_CONFIG_HOME", buses.dir().toUtf8() + "/config");
        qputenv("XDG_RUNTIME_DIR", buses.dir().toUtf8()); // the service's command socket, not the machine's
        zplatform::setPlatformKind(zplatform::PlatformKind::Desktop);

        // Updates of one summary, each waited for at the server.
        bb::platform::Notification summary(QStringLiteral("kvel_hub_summary"));
        summary.setTitle(QStringLiteral("Telegram Vyn"));
        const qint64 started = clock.nsecsElapsed();
        for (int i = 1; i <= kUpdates; ++i) {
            summary.setBody(QStringLiteral("%1 new messages from 3 chats\nBob: <hello> & more").arg(i));
            if (summary.notify() != 0 || !waitFor(server, [&] { return server.notifies >= i; })) {
                fprintf(stderr, "bench_desktop: update %d did not reach the server\n", i);
                return 1;
            }
        }
        const double seconds = double(clock.nsecsElapsed() - started) / 1e9;
        printf("desktop_summary_updates_per_s %.0f 1/s\n", kUpdates / seconds);

        // A ringing call from its event line to the server.
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        QList<double> latenciesMs;
        QFile events(p.tail.eventsFilePath);
        if (!events.open(QIODevice::Append)) {
            fprintf(stderr, "bench_desktop: cannot append to %s\n", qPrintable(p.tail.eventsFilePath));
            return 1;
        }
        for (int call = 1; call <= kRings; ++call) {
            const QByteArray ring = "{\"type\":\"call_update\",\"call_id\":" + QByteArray::number(call)
                + ",\"chat_id\":12,\"user_id\":3,\"state\":\"callStatePending\",\"chat_title\":\"Alice\"}\n";
            const qint64 sent = clock.nsecsElapsed();
            events.write(ring);
            events.flush();
            p.tailBackendEvents();
            if (!waitFor(server, [&] { return server.lastDialogNs > sent; })) {
                fprintf(stderr, "bench_desktop: call %d did not ring at the server\n", call);
                return 1;
            }
            latenciesMs.append(double(server.lastDialogNs - sent) / 1e6);
            events.write("{\"type\":\"call_update\",\"call_id\":" + QByteArray::number(call)
                         + ",\"state\":\"callStateDiscarded\"}\n");
            events.flush();
            p.tailBackendEvents();
        }
        printf("desktop_call_notify_p50 %.3f ms\n", percentile(latenciesMs, 0.50));
        printf("desktop_call_notify_p99 %.3f ms\n", percentile(latenciesMs, 0.99));
        return 0;
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return DesktopBench::run();
}

#include "bench_desktop.moc"
