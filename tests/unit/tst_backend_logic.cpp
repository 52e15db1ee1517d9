// The rules of backend supervision that need no process: stack limit, wait
// status, back-off, jitter and the environment lists.

#include <QtTest>

#include <array>
#include <tuple>

#include "backend/backend_logic.h"
#include "service_main.h"
#include "testdevice.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    // Unset or not a positive number: 192 KiB; never under 128 KiB; past 32 bits of bytes, 1 GiB.
    void stackLimit()
    {
        const qulonglong fallback = 196608, least = 131072, most = 1073741824;
        const QList<QPair<QString, qulonglong>> rows {
            {"", fallback}, {"12x", fallback}, {"-5", fallback}, {"0", fallback}, {"64", least}, {"512", 524288},
            {"4194303", 4194303ULL * 1024}, {"4194304", most}, {"123456789012345678901234567890", most}};
        for (const auto &[value, bytes] : rows)
            QCOMPARE(qulonglong(backend::stackLimitBytes(value)), bytes);
    }

    // {raw status, exit code, exit status}: a death by signal N reads as 128 + N, a stopped child as no exit.
    void waitStatus()
    {
        const QList<std::array<int, 3>> rows {
            {0, 0, 0}, {255 << 8, 255, 0}, {9, 137, 1}, {11 | 0x80, 139, 1}, {(19 << 8) | 0x7f, -1, 0}};
        for (const auto &[status, exitCode, exitStatus] : rows) {
            const backend::ExitInfo info = backend::decodeWaitStatus(status);
            QCOMPARE(std::pair(info.exitCode, info.exitStatus), std::pair(exitCode, exitStatus));
        }
    }

    // Doubling from each code's base to its cap, which a long run of failures keeps without overflowing.
    void restartDelay()
    {
        const QList<QPair<int, QList<int>>> sequences {{0, {1000, 2000, 4000, 8000, 16000, 32000, 60000}},
                                                       {9, {5000, 10000, 20000, 40000, 60000}},
                                                       {42, {30000, 60000, 120000, 240000, 480000, 600000}}};
        for (const auto &[exitCode, delays] : sequences) {
            QList<int> got;
            for (int attempts = 0; attempts < delays.size(); ++attempts)
                got << backend::restartDelayMs(exitCode, attempts);
            QCOMPARE(got << backend::restartDelayMs(exitCode, 1000000), delays + QList<int> {delays.last()});
        }
    }

    // {base, draw, result}: ±10 %, at least 250 ms, at most 30 s, never below 0; real draws: tst_push_service.
    void jitter()
    {
        const QList<std::array<int, 3>> rows {
            {-5, 123, -5}, {100, 0, 0}, {1000, 0, 750}, {1000, 501, 750}, {5000, 1000, 5500}, {600000, 0, 570000}};
        for (const auto &[base, draw, expected] : rows)
            QCOMPARE(backend::jitterWithDraw(base, draw), expected);
    }

    // {before, name, value, after}: the first entry of exactly that name is replaced and read.
    void upsertAndGet()
    {
        const QList<std::tuple<QStringList, QString, QString, QStringList>> rows {
            {{"AB=1", "a=1"}, "A", "2", {"AB=1", "a=1", "A=2"}},
            {{"A=1", "B=2", "B=3", "C=3"}, "B", "x", {"A=1", "B=x", "B=3", "C=3"}}};
        for (auto [env, key, value, after] : rows) {
            ZunaroHeadlessService::upsert_env(env, key, value);
            QCOMPARE(env, after);
            QCOMPARE(ZunaroHeadlessService::get_env_value(env, key), value);
        }
    }

    // {content, the list after, assignments skipped}: the last assignment wins, on the first entry of its name.
    void loadEnvFile()
    {
        // The line the read bound cuts does not count; an entry too large for any launch is not handed over.
        const QByteArray oversized = "A=1\nF=" + QByteArray(1024 * 1024 - 10, 'x') + "\nB=" + QByteArray(100, 'y')
                                     + "\nC=3\n";
        // And so many names that the launch would near the system's limit.
        QByteArray many;
        for (int i = 0; i < 3000; ++i)
            many += "N" + QByteArray::number(i) + "=v\n";
        const QStringList start {"KEEP=1", "KEEP=0"};
        const QList<std::tuple<QByteArray, QStringList, int>> rows {
            {"KEEP=2\nA=1\nKEEP=3\n", {"KEEP=3", "KEEP=0", "A=1"}, 0}, {oversized, start + QStringList {"A=1"}, 1},
            {many, start + QString::fromLatin1(many).split('\n').mid(0, 1024), 3000 - 1024}};
        for (const auto &[content, after, skipped] : rows) {
            QTemporaryDir dir;
            const QString path = dir.filePath("x.env");
            QVERIFY(placeAt(path, content));
            QStringList env = start;
            LogCapture log;
            ZunaroHeadlessService::load_env_file(env, path);
            QCOMPARE(env, after);
            QCOMPARE(log.lines().size(), skipped > 0 ? 1 : 0);
            QVERIFY(!skipped || log.lines().first().startsWith("service: env file " + QFile::encodeName(path) + ": "
                                                               + QByteArray::number(skipped) + " assignments skipped"));
        }
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_logic.moc"
