// The rules of backend supervision that need no process: stack limit, wait
// status, back-off, jitter and the environment lists.

#include <QtTest>

#include <array>

#include "backend/backend_logic.h"
#include "service_main.h"
#include "testdevice.h"

class BackendLogicTest : public QObject
{
    Q_OBJECT

private slots:
    // Unset or not a positive number: 192 KiB; never under 128 KiB; past 32 bits of bytes, 1 GiB.
    void stackLimit_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qulonglong>("bytes");
        const qulonglong fallback = 196608, least = 131072, most = 1073741824;
        for (const auto &[value, bytes] : QList<QPair<QString, qulonglong>> {
                 {"", fallback}, {"12x", fallback}, {"-5", fallback}, {"0", fallback}, {"64", least},
                 {"512", 524288}, {"4194303", 4194303ULL * 1024}, {"4194304", most},
                 {"123456789012345678901234567890", most}})
            QTest::addRow("\"%s\"", qPrintable(value)) << value << bytes;
    }
    void stackLimit()
    {
        QFETCH(QString, value);
        QTEST(qulonglong(backend::stackLimitBytes(value)), "bytes");
    }

    // {raw status, exit code, exit status}: a death by signal N reads as 128 + N, a stopped child as no exit.
    void waitStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<std::pair<int, int>>("exit");
        for (const auto &[status, code, how] : QList<std::array<int, 3>> {
                 {0, 0, 0}, {255 << 8, 255, 0}, {9, 137, 1}, {11 | 0x80, 139, 1}, {(19 << 8) | 0x7f, -1, 0}})
            QTest::addRow("status 0x%x", status) << status << std::pair(code, how);
    }
    void waitStatus()
    {
        QFETCH(int, status);
        const backend::ExitInfo info = backend::decodeWaitStatus(status);
        QTEST(std::pair(info.exitCode, info.exitStatus), "exit");
    }

    // Doubling from each code's base to its cap, which a long run of failures keeps without overflowing.
    void restartDelay_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QList<int>>("delays");
        QTest::newRow("exit 0") << 0 << QList<int> {1000, 2000, 4000, 8000, 16000, 32000, 60000};
        QTest::newRow("exit 9") << 9 << QList<int> {5000, 10000, 20000, 40000, 60000};
        QTest::newRow("exit 42") << 42 << QList<int> {30000, 60000, 120000, 240000, 480000, 600000};
    }
    void restartDelay()
    {
        QFETCH(int, exitCode);
        QFETCH(QList<int>, delays);
        QList<int> got;
        for (int attempts = 0; attempts < delays.size(); ++attempts)
            got << backend::restartDelayMs(exitCode, attempts);
        QCOMPARE(got << backend::restartDelayMs(exitCode, 1000000), delays << delays.last());
    }

    // ±10 %, at least 250 ms, at most 30 s, never below 0; real draws: tst_push_service.
    void jitter_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("draw");
        QTest::addColumn<int>("result");
        for (const auto &[base, draw, result] : QList<std::array<int, 3>> {
                 {-5, 123, -5}, {100, 0, 0}, {1000, 0, 750}, {1000, 501, 750}, {5000, 1000, 5500}, {600000, 0, 570000}})
            QTest::addRow("base %d draw %d", base, draw) << base << draw << result;
    }
    void jitter()
    {
        QFETCH(int, base);
        QFETCH(int, draw);
        QTEST(backend::jitterWithDraw(base, draw), "result");
    }

    // The last assignment wins, on the first entry of exactly its name, which is also the one read; what passes the
    // bounds is skipped, with one line.
    void loadEnvFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("skipped");
        const QStringList start {"KEEPS=9", "KEEP=1", "KEEP=0"};
        QTest::newRow("last wins") << QByteArray("KEEP=2\nA=1\nKEEP=3\nkeep=4\n")
                                   << QStringList {"KEEPS=9", "KEEP=3", "KEEP=0", "A=1", "keep=4"} << 0;
        // The line the read bound cuts does not count; an entry too large for any launch is not handed over.
        QTest::newRow("oversized") << "A=1\nF=" + QByteArray(1024 * 1024 - 10, 'x') + "\nB=" + QByteArray(100, 'y')
                                          + "\nC=3\n"
                                   << start + QStringList {"A=1"} << 1;
        // And so many names that the launch would near the system's limit.
        QByteArray many;
        for (int i = 0; i < 3000; ++i)
            many += "N" + QByteArray::number(i) + "=v\n";
        QTest::newRow("3000 names") << many << start + QString::fromLatin1(many).split('\n').mid(0, 1024)
                                    << 3000 - 1024;
    }
    void loadEnvFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, after);
        QFETCH(int, skipped);
        QTemporaryDir dir;
        const QString path = dir.filePath("x.env");
        QVERIFY(placeAt(path, content));
        QStringList env {"KEEPS=9", "KEEP=1", "KEEP=0"};
        LogCapture log;
        ZunaroHeadlessService::load_env_file(env, path);
        QCOMPARE(env, after);
        QCOMPARE(ZunaroHeadlessService::get_env_value(env, QStringLiteral("KEEP")), after.at(1).mid(5));
        QCOMPARE(log.lines().size(), skipped > 0 ? 1 : 0);
        QVERIFY(!skipped || log.lines().first().startsWith("service: env file " + QFile::encodeName(path) + ": "
                                                           + QByteArray::number(skipped) + " assignments skipped"));
    }
};

QTEST_GUILESS_MAIN(BackendLogicTest)
#include "tst_backend_logic.moc"
