// The rules of backend supervision that need no process: stack limit,
// wait-status decoding, back-off, jitter, datagram splitting and the
// environment-list utilities.

#include <QtTest>

#include <sys/stat.h>

#include "backend/backend_logic.h"
#include "service_main.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void stackLimit_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qulonglong>("bytes");
        QTest::newRow("missing") << QString() << 196608ULL;
        QTest::newRow("empty") << QStringLiteral("") << 196608ULL;
        QTest::newRow("abc") << QStringLiteral("abc") << 196608ULL;
        QTest::newRow("-5") << QStringLiteral("-5") << 196608ULL;
        QTest::newRow("0") << QStringLiteral("0") << 196608ULL;
        QTest::newRow("1") << QStringLiteral("1") << 131072ULL;
        QTest::newRow("64") << QStringLiteral("64") << 131072ULL;
        QTest::newRow("128") << QStringLiteral("128") << 131072ULL;
        QTest::newRow("512") << QStringLiteral("512") << 524288ULL;
        QTest::newRow("last 32-bit") << QStringLiteral("4194303") << 4194303ULL * 1024;
        QTest::newRow("first past 32 bits") << QStringLiteral("4194304") << 1073741824ULL;
        QTest::newRow("past int") << QStringLiteral("99999999999") << 1073741824ULL;
        QTest::newRow("past 64 bits") << QStringLiteral("123456789012345678901234567890") << 1073741824ULL;
        QTest::newRow("12x") << QStringLiteral("12x") << 196608ULL;
    }
    void stackLimit()
    {
        QFETCH(QString, value);
        QFETCH(qulonglong, bytes);
        QCOMPARE(qulonglong(backend::stackLimitBytes(value)), bytes);
    }

    void waitStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("exitStatus");
        QTest::newRow("exit 0") << 0 << 0 << 0;
        QTest::newRow("exit 42") << (42 << 8) << 42 << 0;
        QTest::newRow("exit 255") << (255 << 8) << 255 << 0;
        QTest::newRow("SIGKILL") << 9 << 137 << 1;
        QTest::newRow("SIGSEGV with core") << (11 | 0x80) << 139 << 1;
        QTest::newRow("stopped") << ((19 << 8) | 0x7f) << -1 << 0;
    }
    void waitStatus()
    {
        QFETCH(int, status);
        QFETCH(int, exitCode);
        QFETCH(int, exitStatus);
        const backend::ExitInfo info = backend::decodeWaitStatus(status);
        QCOMPARE(info.exitCode, exitCode);
        QCOMPARE(info.exitStatus, exitStatus);
    }

    void restartDelay_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QList<int>>("delays"); // for attempts 0, 1, 2, ...
        QTest::newRow("ordinary") << 0 << QList<int> {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
        QTest::newRow("signal") << 137 << QList<int> {1000, 2000, 4000, 8000, 16000, 32000, 60000};
        QTest::newRow("unknown") << -1 << QList<int> {1000, 2000, 4000, 8000, 16000, 32000, 60000};
        QTest::newRow("code 9") << 9 << QList<int> {5000, 10000, 20000, 40000, 60000, 60000};
        QTest::newRow("code 42") << 42 << QList<int> {30000, 60000, 120000, 240000, 480000, 600000, 600000};
    }
    void restartDelay()
    {
        QFETCH(int, exitCode);
        QFETCH(QList<int>, delays);
        for (int n = 0; n < delays.size(); ++n)
            QCOMPARE(backend::restartDelayMs(exitCode, n), delays.at(n));
        // Doubling stops at ten, so a huge count cannot overflow.
        QCOMPARE(backend::restartDelayMs(exitCode, 1000000), delays.last());
    }

    void jitter_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("draw");
        QTest::addColumn<int>("expected");
        QTest::newRow("zero") << 0 << 123 << 0;
        QTest::newRow("negative") << -5 << 123 << -5;
        QTest::newRow("100 lowest") << 100 << 0 << 0;
        QTest::newRow("100 clipped at 0") << 100 << 150 << 0;
        QTest::newRow("100 above") << 100 << 151 << 1;
        QTest::newRow("100 highest") << 100 << 500 << 350;
        QTest::newRow("1000 lowest") << 1000 << 0 << 750;
        QTest::newRow("1000 highest") << 1000 << 500 << 1250;
        QTest::newRow("1000 wraps") << 1000 << 501 << 750;
        QTest::newRow("5000 lowest") << 5000 << 0 << 4500;
        QTest::newRow("5000 highest") << 5000 << 1000 << 5500;
        QTest::newRow("600000 lowest") << 600000 << 0 << 570000;
        QTest::newRow("600000 highest") << 600000 << 60000 << 630000;
    }
    void jitter()
    {
        QFETCH(int, base);
        QFETCH(int, draw);
        QFETCH(int, expected);
        QCOMPARE(backend::jitterWithDraw(base, draw), expected);
        for (int i = 0; i < 2000; ++i) {
            const int value = ZunaroHeadlessService::jitterDelayMs(base);
            if (base <= 0) {
                QCOMPARE(value, base);
            } else {
                const int spread = qBound(250, base / 10, 30000);
                QVERIFY(value >= qMax(0, base - spread) && value <= base + spread);
            }
        }
    }

    void commandLines_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("one") << QByteArray("ping") << QStringList {"ping"};
        QTest::newRow("three") << QByteArray("a\nb\nc") << QStringList {"a", "b", "c"};
        QTest::newRow("crlf and blanks") << QByteArray(" a \r\n\r\n\n  b\t\r\n") << QStringList {"a", "b"};
        QTest::newRow("only blanks") << QByteArray(" \n \r\n\t\n") << QStringList {};
        QTest::newRow("utf8") << QByteArray("send \xc3\xa9t\xc3\xa9") << QStringList {QStringLiteral("send été")};
        QTest::newRow("inner spaces kept") << QByteArray("say  hi  there ") << QStringList {"say  hi  there"};
    }
    void commandLines()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QStringList, lines);
        QCOMPARE(backend::commandLines(datagram), lines);
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
        QFETCH(QStringList, after);
        ZunaroHeadlessService::upsert_env(env, key, value);
        QCOMPARE(env, after);
        QCOMPARE(ZunaroHeadlessService::get_env_value(env, key), value);
    }

    void loadEnvFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("after"); // starting from {"KEEP=1"}
        QTest::newRow("empty") << QByteArray() << QStringList {"KEEP=1"};
        QTest::newRow("plain") << QByteArray("A=1\nB=2\n") << QStringList {"KEEP=1", "A=1", "B=2"};
        QTest::newRow("crlf") << QByteArray("A=1\r\nB=2\r\n") << QStringList {"KEEP=1", "A=1", "B=2"};
        QTest::newRow("no final newline") << QByteArray("A=1") << QStringList {"KEEP=1", "A=1"};
        QTest::newRow("spaces and hash")
            << QByteArray("  KEY = some value # note  \n") << QStringList {"KEEP=1", "KEY=some value # note"};
        QTest::newRow("quotes kept") << QByteArray("Q=\"x y\"\n") << QStringList {"KEEP=1", "Q=\"x y\""};
        QTest::newRow("equals in value") << QByteArray("A=b=c\n") << QStringList {"KEEP=1", "A=b=c"};
        QTest::newRow("skipped lines")
            << QByteArray("# A=1\n=x\nnoequals\n \t\nB=\n") << QStringList {"KEEP=1", "B="};
        QTest::newRow("export is part of the name") << QByteArray("export A=1\n") << QStringList {"KEEP=1", "export A=1"};
        QTest::newRow("last wins, in place") << QByteArray("KEEP=2\nA=1\nKEEP=3\n") << QStringList {"KEEP=3", "A=1"};
        // A NUL cannot travel in an environment entry: such a line is skipped.
        QTest::newRow("binary") << QByteArray("\0\xff=\x01\nB=\0\nA=\xfe\n", 13)
                                << QStringList {"KEEP=1", "A=\ufffd"};
    }
    void loadEnvFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, after);
        QTemporaryDir dir;
        const QString path = dir.filePath("x.env");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QStringList env {"KEEP=1"};
        ZunaroHeadlessService::load_env_file(env, path);
        QCOMPARE(env, after);
    }

    // Whatever stands where a configuration file should be is read without
    // blocking, crashing or taking unbounded memory.
    void loadEnvFileHostile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("directory") << "directory";
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("oversized") << "oversized";
    }
    void loadEnvFileHostile()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath("x.env");
        QStringList expected {"KEEP=1"};
        if (kind == "directory") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "fifo") {
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == "oversized") {
            // Complete lines up to the bound count; the line it cuts does not.
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            const QByteArray filler = "F=" + QByteArray(1024 * 1024 - 10, 'x') + "\n";
            file.write("A=1\n" + filler + "B=" + QByteArray(100, 'y') + "\nC=3\n");
            expected << "A=1" << QString::fromLatin1(filler.trimmed());
        }
        QStringList env {"KEEP=1"};
        ZunaroHeadlessService::load_env_file(env, path);
        QCOMPARE(env, expected);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_backend_logic.moc"
