// How long an appended events line waits before the user sees it: from the
// write of a ringing "call_update" to its dialog on screen, and from the
// write of a message to its dispatch. Once with the file watch, once with
// the tick alone, in one run. Prints "name value unit" lines. An optional
// argument sets the number of events per figure.

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileSystemWatcher>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bb/platform/NotificationDialog.h"
#include "serviceprobe.h"
#include "zunaro/device.h"

namespace {
constexpr int kDefaultEvents = 200;

enum class Kind { Call, Message };

QByteArray lineFor(Kind kind, int id)
{
    if (kind == Kind::Call)
        return "{\"type\":\"call_update\",\"call_id\":" + QByteArray::number(id)
            + ",\"chat_id\":12,\"user_id\":3,\"state\":\"callStatePending\",\"user_name\":\"Ann\"}\n";
    return "{\"type\":\"hub_notify_message\",\"chat_id\":" + QByteArray::number(id)
        + ",\"chat_title\":\"Chat\",\"text\":\"hello\"}\n";
}

double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const qsizetype rank = qsizetype(std::ceil(p / 100.0 * double(values.size())));
    return values.at(std::clamp<qsizetype>(rank - 1, 0, values.size() - 1));
}

void print(const QByteArray &name, double value, const char *unit)
{
    std::printf("%s %.2f %s\n", name.constData(), value, unit);
    std::fflush(stdout);
}
} // namespace

class LatencyBench
{
public:
    // Latencies in milliseconds of `events` lines appended at random moments
    // 50 to 150 ms apart: no phase of the tick is favoured, and a call is
    // handled (a few file writes) before the next one rings.
    static QList<double> run(Kind kind, bool watch, int events)
    {
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        if (!watch) {
            delete p.tail.eventsWatcher;
            p.tail.eventsWatcher = nullptr;
        }
        QFile file(p.tail.eventsFilePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return {};

        QList<qint64> writtenNs;
        QList<double> latencies;
        QElapsedTimer clock;
        clock.start();
        QRandomGenerator random(7);
        QEventLoop loop;

        QTimer writer;
        writer.setSingleShot(true);
        QObject::connect(&writer, &QTimer::timeout, [&] {
            const QByteArray line = lineFor(kind, int(writtenNs.size()) + 1);
            writtenNs.append(clock.nsecsElapsed());
            file.write(line);
            if (writtenNs.size() < events)
                writer.start(50 + random.bounded(101));
        });
        // Lines are handled in file order, so everything up to the last one
        // handled has been handled; checked whenever the loop goes idle.
        const auto observe = [&] {
            qint64 handled = 0;
            if (kind == Kind::Message)
                handled = qint64(p.summary.hubSummaryMessageCount);
            else if (p.calls.incomingCallDialog && p.calls.incomingCallDialog->isShown())
                handled = p.calls.incomingCallDialogCallId;
            const qint64 now = clock.nsecsElapsed();
            while (latencies.size() < std::min<qint64>(handled, writtenNs.size()))
                latencies.append((now - writtenNs.at(latencies.size())) / 1e6);
            if (latencies.size() == events)
                loop.quit();
        };
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop,
                         observe);
        QTimer::singleShot(events * 150 + 5000, &loop, &QEventLoop::quit);
        writer.start(20);
        loop.exec();
        return latencies;
    }

    // Latencies in milliseconds from the device's unlock (the lock state
    // file replaced, as zunaroctl does) to the UI's invocation for a call
    // that rang while locked; the unlock comes 50 to 150 ms after the ring.
    static QList<double> runUnlock(const QString &lockPath, int events)
    {
        ZunaroHeadlessService service(nullptr);
        ServiceProbe p(service);
        QFile file(p.tail.eventsFilePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return {};
        const auto setLock = [&lockPath](const char *state) {
            QSaveFile lock(lockPath);
            return lock.open(QIODevice::WriteOnly) && lock.write(state) == 1 && lock.commit();
        };
        QList<double> latencies;
        QElapsedTimer clock;
        clock.start();
        QRandomGenerator random(7);
        QEventLoop loop;
        qint64 unlockedNs = 0;
        int ringing = 0;
        QTimer step;
        step.setSingleShot(true);
        QObject::connect(&step, &QTimer::timeout, [&] {
            if (p.calls.pendingCallId == ringing && ringing > 0) {
                unlockedNs = clock.nsecsElapsed();
                setLock("0");
                return;
            }
            // The next call rings on a locked device.
            setLock("1");
            ++ringing;
            file.write(lineFor(Kind::Call, ringing));
            step.start(50 + random.bounded(101));
        });
        const auto observe = [&] {
            if (unlockedNs == 0 || p.calls.lastCallInvokeCallId != ringing)
                return;
            latencies.append((clock.nsecsElapsed() - unlockedNs) / 1e6);
            unlockedNs = 0;
            if (latencies.size() == events)
                loop.quit();
            else
                step.start(20);
        };
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop,
                         observe);
        QTimer::singleShot(events * 400 + 5000, &loop, &QEventLoop::quit);
        step.start(20);
        loop.exec();
        return latencies;
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int requested = argc > 1 ? QByteArray(argv[1]).toInt() : kDefaultEvents;
    const int events = requested > 0 ? requested : kDefaultEvents;

    QTemporaryDir device;
    for (const char *folder : { "app/native", "data", "platform" })
        QDir(device.path()).mkpath(QString::fromLatin1(folder));
    qunsetenv("ZUNARO_DEVICE_ROOT");
    zplatform::setApplicationDirPath(device.path() + QStringLiteral("/app/native"));

    int failed = 0;
    for (const Kind kind : { Kind::Call, Kind::Message }) {
        for (const bool watch : { true, false }) {
            QFile::remove(device.path() + QStringLiteral("/data/backend_events.jsonl"));
            const QList<double> latencies = LatencyBench::run(kind, watch, events);
            const QByteArray name = QByteArray("latency_") + (kind == Kind::Call ? "call" : "message")
                + (watch ? "" : "_tick_only");
            if (latencies.size() != events) {
                std::printf("%s_p99 failed -\n", name.constData());
                failed = 1;
                continue;
            }
            print(name + "_p50", percentile(latencies, 50), "ms");
            print(name + "_p99", percentile(latencies, 99), "ms");
        }
    }
    QFile::remove(device.path() + QStringLiteral("/data/backend_events.jsonl"));
    const QList<double> unlock = LatencyBench::runUnlock(device.path() + QStringLiteral("/platform/lock_state"), events);
    if (unlock.size() != events) {
        std::printf("latency_unlock_invoke_p99 failed -\n");
        failed = 1;
    } else {
        print("latency_unlock_invoke_p50", percentile(unlock, 50), "ms");
        print("latency_unlock_invoke_p99", percentile(unlock, 99), "ms");
    }
    return failed;
}
