// Ingestion of the backend's events file: the passes over a million mixed
// lines with the handlers on and no UI, next to jq filtering the same file,
// and the instructions a line costs, counted by callgrind in a run of this
// program on fewer lines. Prints "name value unit" lines. An optional
// argument sets the number of lines; "--passes-only N" runs the passes over
// N lines and nothing else, as the counted run does.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <QRegularExpression>

#include <cstdio>
#include <ctime>

#include <sys/resource.h>

#include "events/event_reader.h"
#include "serviceprobe.h"
#include "zunaro/device.h"

namespace {
constexpr int kDefaultLines = 1000000;
// Lines of the counted run: callgrind runs some fifty times slower.
constexpr int kCountedLines = 100000;

// The kind of line i: 4 in 10 messages, 3 unread counts, 2 other types,
// 1 malformed.
QByteArray lineFor(int i, QRandomGenerator &random)
{
    const qint64 chat = 9007199254740993LL + random.bounded(500);
    switch (i % 10) {
    case 0: case 3: case 5: case 8:
        return QByteArrayLiteral("{\"type\":\"hub_notify_message\",\"chat_id\":") + QByteArray::number(chat)
            + ",\"date\":" + QByteArray::number(1700000000 + i) + ",\"chat_title\":\"Chat "
            + QByteArray::number(chat % 1000) + "\",\"sender_name\":\"Bob\",\"text\":\"message number "
            + QByteArray::number(i) + " with some words in it\"}";
    case 1: case 6: case 9:
        return QByteArrayLiteral("{\"type\":\"chat_unread\",\"chat_id\":") + QByteArray::number(chat)
            + ",\"unread_count\":" + QByteArray::number(random.bounded(20)) + "}";
    case 2:
        return QByteArrayLiteral("{\"type\":\"user_status\",\"user_id\":") + QByteArray::number(chat)
            + ",\"status\":\"online\"}";
    case 4:
        return QByteArrayLiteral("{\"type\":\"typing\",\"chat_id\":") + QByteArray::number(chat) + "}";
    default:
        return QByteArrayLiteral("{\"type\":\"hub_notify_message\",\"chat_id\":") + QByteArray::number(chat)
            + ",\"text\":\"cut off";
    }
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeakRss()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

double cpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double childrenCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void print(const char *name, double value, const char *unit)
{
    std::printf("%s %.2f %s\n", name, value, unit);
    std::fflush(stdout);
}
} // namespace

class IngestBench
{
public:
    // Passes over `lines` lines in a fresh service; the figures are printed
    // unless `quiet`. The processor seconds of the passes, -1 on a failure;
    // the file's path is left in `path`.
    static double ingest(int lines, bool quiet, QString *path = nullptr);
    static int run(int lines);

private:
    // The part callgrind counts.
    Q_NEVER_INLINE static void passes(ServiceProbe &p, qint64 bytes)
    {
        // Each pass reads a bounded part; the service runs them back to back.
        while (p.tail.eventsFileOffset < bytes)
            p.tailBackendEvents();
    }
};

double IngestBench::ingest(int lines, bool quiet, QString *pathOut)
{
    static QTemporaryDir device;
    QDir(device.path()).mkpath(QStringLiteral("app/native"));
    QDir(device.path()).mkpath(QStringLiteral("data"));
    QDir(device.path()).mkpath(QStringLiteral("platform"));
    qunsetenv("ZUNARO_DEVICE_ROOT");
    zplatform::setApplicationDirPath(device.path() + QStringLiteral("/app/native"));

    ZunaroHeadlessService service(nullptr);
    ServiceProbe p(service);
    const QString path = p.tail.eventsFilePath;
    if (pathOut)
        *pathOut = path;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return -1;
        QRandomGenerator random(42);
        QByteArray block;
        for (int i = 0; i < lines; ++i) {
            block += lineFor(i, random);
            block += '\n';
            if (block.size() > (1 << 20)) {
                file.write(block);
                block.clear();
            }
        }
        file.write(block);
    }
    const qint64 bytes = QFileInfo(path).size();

    p.tail.eventsFileOffset = 0;
    resetPeakRss();
    const qint64 idleKiB = statusKiB("VmRSS");
    QElapsedTimer timer;
    const double cpuBefore = cpuSeconds();
    timer.start();
    passes(p, bytes);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    const qint64 peakKiB = statusKiB("VmHWM");
    if (quiet)
        return cpu;

    print("ingest_lines_per_s", lines / seconds, "lines/s");
    print("ingest_mb_per_s", bytes / 1e6 / seconds, "MB/s");
    print("ingest_seconds", seconds, "s");
    // On a shared machine the wall clock also counts other programs'
    // turns; the processor time is the pass's own.
    print("ingest_cpu_seconds", cpu, "s");
    print("ingest_lines_per_cpu_s", lines / cpu, "lines/s");
    print("ingest_rss_idle", idleKiB / 1024.0, "MiB");
    print("ingest_rss_peak", peakKiB / 1024.0, "MiB");
    print("ingest_rss_above_idle", (peakKiB - idleKiB) / 1024.0, "MiB");
    print("ingest_messages_taken", double(p.summary.hubSummaryMessageCount), "messages");
    return cpu;
}

int IngestBench::run(int lines)
{
    QString path;
    const double cpu = ingest(lines, false, &path);
    if (cpu < 0)
        return 1;

    // One object of 125,000 members named in descending order: the order
    // of the names must not make reading it slow.
    QByteArray wide = "{\"type\":\"chat_unread\"";
    for (int i = 125000; i > 0; --i)
        wide += ",\"m" + QByteArray::number(i) + "\":1";
    wide += '}';
    const double wideBefore = cpuSeconds();
    eventtail::Event event;
    if (!eventtail::readEvent(wide, event))
        return 1;
    print("ingest_descending_names_cpu_s", cpuSeconds() - wideBefore, "s");

    const QString valgrind = QStandardPaths::findExecutable(QStringLiteral("valgrind"));
    if (valgrind.isEmpty()) {
        std::printf("ingest_instructions_per_line unavailable -\n");
    } else {
        QProcess counted;
        counted.setStandardOutputFile(QProcess::nullDevice());
        counted.start(valgrind, { QStringLiteral("--tool=callgrind"), QStringLiteral("--callgrind-out-file=/dev/null"),
                                  QStringLiteral("--toggle-collect=IngestBench::passes*"),
                                  QCoreApplication::applicationFilePath(), QStringLiteral("--passes-only"),
                                  QString::number(kCountedLines) });
        const QRegularExpressionMatch collected = QRegularExpression(QStringLiteral("Collected : (\\d+)"))
                                                      .match(QString::fromUtf8(counted.waitForFinished(600000)
                                                                               ? counted.readAllStandardError() : ""));
        if (counted.exitCode() != 0 || !collected.hasMatch())
            std::printf("ingest_instructions_per_line failed -\n");
        else
            print("ingest_instructions_per_line", collected.captured(1).toDouble() / kCountedLines, "instr");
    }

    const QString jq = QStandardPaths::findExecutable(QStringLiteral("jq"));
    if (jq.isEmpty()) {
        std::printf("jq_seconds unavailable -\n");
        return 0;
    }
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    const double jqCpuBefore = childrenCpuSeconds();
    process.start(jq, { QStringLiteral("-c"), QStringLiteral("-R"),
                        QStringLiteral("fromjson? | select(type == \"object\" and (.type == "
                                       "\"hub_notify_message\" or .type == \"chat_unread\" or "
                                       ".type == \"call_update\"))"),
                        path });
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        std::printf("jq_seconds failed -\n");
        return 0;
    }
    const double jqSeconds = timer.nsecsElapsed() / 1e9;
    const double jqCpu = childrenCpuSeconds() - jqCpuBefore;
    print("jq_seconds", jqSeconds, "s");
    print("jq_cpu_seconds", jqCpu, "s");
    print("jq_lines_per_cpu_s", lines / jqCpu, "lines/s");
    print("ingest_cpu_vs_jq", jqCpu / cpu, "x");
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "--passes-only")
        return IngestBench::ingest(QByteArray(argv[2]).toInt(), true) < 0 ? 1 : 0;
    const int lines = argc > 1 ? QByteArray(argv[1]).toInt() : kDefaultLines;
    return IngestBench::run(lines > 0 ? lines : kDefaultLines);
}
