// The rules of backend supervision that need no process: stack limit,
// wait-status decoding, back-off, jitter and the
// environment-list utilities.

#include <QtTest>

#include <array>

#include "backend/backend_logic.h"
#include "service_main.h"
#include "testdevice.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void stackLimit_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qulonglong>("bytes");
        const qulonglong fallback = 196608, least = 131072, most = 1073741824;
        QTest::newRow("missing") << QString() << fallback;
        for (const char *bad : {"", "abc", "12x", "-5", "0"})
            QTest::newRow(bad) << QString::fromLatin1(bad) << fallback;
        // Byte counts past 32 bits are capped instead of overflowing.
        const QList<QPair<const char *, qulonglong>> rows {
            {"64", least}, {"128", least}, {"512", 524288}, {"4194303", 4194303ULL * 1024}, {"4194304", most},
            {"8589934592", most}, {"123456789012345678901234567890", most}};
        for (const auto &[value, bytes] : rows)
            QTest::newRow(value) << QString::fromLatin1(value) << bytes;
    }
    void stackLimit()
    {
        QFETCH(QString, value);
        QTEST(qulonglong(backend::stackLimitBytes(value)), "bytes");
    }

    void waitStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("exitStatus");
        QTest::newRow("exit 0") << 0 << 0 << 0;
        QTest::newRow("exit 255") << (255 << 8) << 255 << 0;
        QTest::newRow("SIGKILL") << 9 << 137 << 1;
        QTest::newRow("SIGSEGV with core") << (11 | 0x80) << 139 << 1;
        QTest::newRow("stopped") << ((19 << 8) | 0x7f) << -1 << 0;
    }
    void waitStatus()
    {
        QFETCH(int, status);
        const backend::ExitInfo info = backend::decodeWaitStatus(status);
        QTEST(info.exitCode, "exitCode");
        QTEST(info.exitStatus, "exitStatus");
    }

    // The sequences themselves are run through the service; here only the
    // caps that a long run of failures reaches without overflowing.
    void restartDelayCaps()
    {
        const QList<QPair<int, int>> caps {{0, 60000}, {137, 60000}, {-1, 60000}, {9, 60000}, {42, 600000}};
        for (const auto &[exitCode, cap] : caps)
            QCOMPARE(backend::restartDelayMs(exitCode, 1000000), cap);
    }

    void jitter_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("draw");
        QTest::addColumn<int>("expected");
        const QList<std::array<int, 3>> rows {{0, 123, 0},       {-5, 123, -5},         {100, 150, 0},
                                              {100, 151, 1},     {100, 500, 350},       {1000, 0, 750},
                                              {1000, 500, 1250}, {1000, 501, 750},      {5000, 1000, 5500},
                                              {600000, 0, 570000}, {600000, 60000, 630000}};
        for (const auto &[base, draw, expected] : rows)
            QTest::addRow("%d draws %d", base, draw) << base << draw << expected;
    }
    void jitter()
    {
        QFETCH(int, base);
        QFETCH(int, draw);
        QTEST(backend::jitterWithDraw(base, draw), "expected");
        for (int i = 0; i < 2000; ++i) {
            const int value = ZunaroHeadlessService::jitterDelayMs(base);
            const int spread = base <= 0 ? 0 : qBound(250, base / 10, 30000);
            QVERIFY(value >= qMin(base, qMax(0, base - spread)) && value <= base + spread);
        }
    }

    void upsertAndGet_data()
    {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("append") << QStringList {"A=1"} << "B" << "2" << QStringList {"A=1", "B=2"};
        QTest::newRow("replace in place") << QStringList {"A=1", "B=2", "C=3"} << "B" << "x"
                                          << QStringList {"A=1", "B=x", "C=3"};
        QTest::newRow("first of two") << QStringList {"A=1", "A=2"} << "A" << "9" << QStringList {"A=9", "A=2"};
        QTest::newRow("prefix is not the name") << QStringList {"AB=1"} << "A" << "2" << QStringList {"AB=1", "A=2"};
        QTest::newRow("case sensitive") << QStringList {"a=1"} << "A" << "2" << QStringList {"a=1", "A=2"};
        QTest::newRow("empty value") << QStringList {"A=1"} << "A" << "" << QStringList {"A="};
    }
    void upsertAndGet()
    {
        QFETCH(QStringList, env);
        QFETCH(QString, key);
        QFETCH(QString, value);
        ZunaroHeadlessService::upsert_env(env, key, value);
        QTEST(env, "after");
        QCOMPARE(ZunaroHeadlessService::get_env_value(env, key), value);
    }

    // Whatever stands where a configuration file should be is read without
    // blocking, crashing or taking unbounded memory; assignments land in
    // place, the last one winning. How a line reads is checked by the
    // settings files' fuzz target against a plain reading of the rules.
    void loadEnvFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // as placeAt()
        QTest::addColumn<QStringList>("after");  // starting from {"KEEP=1"}
        QTest::addColumn<int>("skipped");        // assignments over the bound, logged in one line
        QTest::newRow("quotes kept") << QByteArray("Q=\"x y\"\n") << QStringList {"KEEP=1", "Q=\"x y\""} << 0;
        QTest::newRow("last wins, in place") << QByteArray("KEEP=2\nA=1\nKEEP=3\n") << QStringList {"KEEP=3", "A=1"} << 0;
        for (const char *kind : {"<none>", "<dir>", "<fifo>"})
            QTest::newRow(kind) << QByteArray(kind) << QStringList {"KEEP=1"} << 0;
        // Complete lines up to the read bound count, the line it cuts does
        // not; and an entry too large for any launch is not handed over.
        const QByteArray filler = "F=" + QByteArray(1024 * 1024 - 10, 'x');
        QTest::newRow("oversized") << "A=1\n" + filler + "\nB=" + QByteArray(100, 'y') + "\nC=3\n"
                                   << QStringList {"KEEP=1", "A=1"} << 1;
        // A file may add only so many names: the launch stays far below the
        // system's limit on the environment.
        QByteArray many;
        QStringList firstNames {"KEEP=1"};
        for (int i = 0; i < 3000; ++i) {
            many += "N" + QByteArray::number(i) + "=v\n";
            if (i < 1024)
                firstNames << QStringLiteral("N%1=v").arg(i);
        }
        QTest::newRow("too many names") << many << firstNames << 3000 - 1024;
    }
    void loadEnvFile()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QVERIFY(placeAt(dir.filePath("x.env"), content));
        QStringList env {"KEEP=1"};
        const QString path = dir.filePath("x.env");
        LogCapture log;
        ZunaroHeadlessService::load_env_file(env, path);
        QTEST(env, "after");
        QFETCH(int, skipped);
        const QList<QByteArray> lines = log.matching("service: env file " + QFile::encodeName(path));
        QCOMPARE(lines.size(), skipped > 0 ? 1 : 0);
        if (skipped > 0)
            QVERIFY(lines.first().contains(": " + QByteArray::number(skipped) + " assignments skipped"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_logic.moc"
