// The push mode's pure helpers: settings lines and numbers, the cursor text,
// the answer scan, the request URL, back-off, statistics and cursor timing.

#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "push/cursor_file.h"
#include "push/env_config.h"
#include "push/events_scan.h"
#include "push/poll_rules.h"
#include "service_main.h"

using Map = QMap<QString, QString>;

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void envLine_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << QByteArray("A=b") << true << "A" << "b";
        QTest::newRow("blanks, # stays in value")
            << QByteArray("  TGPUSH_POLL_URL =  http://h/p # remark \r") << true << "TGPUSH_POLL_URL"
            << "http://h/p # remark";
        QTest::newRow("comment") << QByteArray("  # A=b") << false << "" << "";
        QTest::newRow("blank") << QByteArray(" \t ") << false << "" << "";
        QTest::newRow("starts with =") << QByteArray("=b") << false << "" << "";
        QTest::newRow("blanks then =") << QByteArray("   =b") << false << "" << "";
        QTest::newRow("no =") << QByteArray("A b") << false << "" << "";
        QTest::newRow("more =") << QByteArray("A=b=c") << true << "A" << "b=c";
        QTest::newRow("double quotes empty") << QByteArray("A=\"\"") << true << "A" << "";
        QTest::newRow("single quotes empty") << QByteArray("A=''") << true << "A" << "";
        QTest::newRow("quoted") << QByteArray("A=\" x \"") << true << "A" << " x ";
        QTest::newRow("unbalanced quote kept") << QByteArray("A=\"http://h") << true << "A" << "\"http://h";
        QTest::newRow("mixed quotes kept") << QByteArray("A=\"x'") << true << "A" << "\"x'";
        QTest::newRow("lone quote kept") << QByteArray("A=\"") << true << "A" << "\"";
        QTest::newRow("no keyword") << QByteArray("export A=b") << true << "export A" << "b";
    }

    void envLine()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, taken);
        QString key;
        QString value;
        QCOMPARE(push::parseEnvLine(line, key, value), taken);
        if (taken) {
            QTEST(key, "key");
            QTEST(value, "value");
        }
    }

    void envFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<Map>("expected");
        QTest::newRow("last duplicate wins") << "dup" << true << Map {{"A", "2"}, {"B", "x"}};
        QTest::newRow("missing") << "missing" << false << Map {};
        QTest::newRow("directory") << "dir" << false << Map {};
        QTest::newRow("fifo") << "fifo" << false << Map {};
        QTest::newRow("binary") << "binary" << true << Map {{"A", "1"}};
        QTest::newRow("oversized: cut line dropped") << "huge" << true << Map {{"A", "1"}};
    }

    void envFile()
    {
        QFETCH(QString, kind);
        QFETCH(bool, opened);
        QFETCH(Map, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tgpush_proxy.env"));
        auto write = [&](const QByteArray &content) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        };
        if (kind == "dup")
            write("A=1\nB=x\nA=2\n");
        else if (kind == "dir")
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("tgpush_proxy.env")));
        else if (kind == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == "binary")
            write(QByteArray("\x00\xff\xfe=\x01\n", 6) + "A=1\n" + QByteArray(300, '\0'));
        else if (kind == "huge")
            write("A=1\nB=" + QByteArray(2 * 1024 * 1024, 'x') + "\nC=3\n");
        Map out;
        QCOMPARE(ZunaroHeadlessService::parseEnvFile(path, out), opened);
        out.remove(QString::fromUtf8(QByteArray("\x00\xff\xfe", 3)));
        QCOMPARE(out, expected);
    }

    void boundedInt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("maxValue");
        QTest::addColumn<int>("expected"); // -1: rejected, field keeps 7
        QTest::newRow("zero") << "0" << 300000 << 0;
        QTest::newRow("max") << "300000" << 300000 << 300000;
        QTest::newRow("over max") << "300001" << 300000 << -1;
        QTest::newRow("negative") << "-1" << 300000 << -1;
        QTest::newRow("unit") << "5s" << 300000 << -1;
        QTest::newRow("empty") << "" << 300000 << -1;
        QTest::newRow("hour boundary") << "3600000" << 3600000 << 3600000;
        QTest::newRow("over hour") << "3600001" << 3600000 << -1;
        QTest::newRow("beyond int") << "99999999999" << 3600000 << -1;
    }

    void boundedInt()
    {
        QFETCH(QString, text);
        QFETCH(int, maxValue);
        QFETCH(int, expected);
        int field = 7;
        QCOMPARE(push::parseBoundedInt(text, maxValue, field), expected >= 0);
        QCOMPARE(field, expected >= 0 ? expected : 7);
    }

    void cursorText_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint64>("value");
        QTest::newRow("blanks around") << QByteArray("  42 \n") << true << quint64(42);
        QTest::newRow("zero") << QByteArray("0") << true << quint64(0);
        QTest::newRow("empty") << QByteArray("") << false << quint64(0);
        QTest::newRow("letters") << QByteArray("abc") << false << quint64(0);
        QTest::newRow("plus") << QByteArray("+5") << false << quint64(0);
        QTest::newRow("minus") << QByteArray("-1") << false << quint64(0);
        QTest::newRow("inner blank") << QByteArray("4 2") << false << quint64(0);
        QTest::newRow("largest") << QByteArray("18446744073709551615") << true << ~quint64(0);
        QTest::newRow("overflow") << QByteArray("18446744073709551616") << false << quint64(0);
    }

    void cursorText()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, ok);
        QFETCH(quint64, value);
        quint64 out = 0;
        QCOMPARE(push::parseCursorText(content, out), ok);
        QCOMPARE(out, value);
    }

    void scan_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<quint64>("since");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("count");
        QTest::addColumn<quint64>("best");
        const int ok = push::EventsScan::Accepted;
        QTest::newRow("empty array, next_since")
            << QByteArray("{\"events\":[],\"next_since\":17}") << quint64(5) << ok << 0 << quint64(17);
        QTest::newRow("blank before [") << QByteArray("{\"events\": [{\"id\":9}]}") << quint64(0)
                                        << int(push::EventsScan::MissingEvents) << 0 << quint64(0);
        QTest::newRow("unterminated") << QByteArray("{\"events\":[{\"id\":9}") << quint64(0)
                                      << int(push::EventsScan::UnterminatedEvents) << 0 << quint64(0);
        QTest::newRow("not json") << QByteArray("<html>") << quint64(3)
                                  << int(push::EventsScan::MissingEvents) << 0 << quint64(3);
        QTest::newRow("id as string") << QByteArray("{\"events\":[{\"id\":5},{\"id\":\"6\"}]}") << quint64(0)
                                      << ok << 1 << quint64(5);
        QTest::newRow("nested id") << QByteArray("{\"events\":[{\"id\":12,\"m\":{\"id\":40}}]}") << quint64(0)
                                   << ok << 2 << quint64(40);
        QTest::newRow("chat_id not an id")
            << QByteArray("{\"events\":[{\"chat_id\":99,\"id\":3}]}") << quint64(0) << ok << 1 << quint64(3);
        QTest::newRow("] inside text ends slice")
            << QByteArray("{\"events\":[{\"id\":4,\"t\":\"a]b\"},{\"id\":50}]}") << quint64(0) << ok << 1
            << quint64(4);
        QTest::newRow("2^64 not counted")
            << QByteArray("{\"events\":[{\"id\":18446744073709551616},{\"id\":18446744073709551615}]}")
            << quint64(0) << ok << 1 << ~quint64(0);
        QTest::newRow("blanks and plus after colon")
            << QByteArray("{\"events\":[{\"id\": \n\t+8}]}") << quint64(0) << ok << 1 << quint64(8);
        QTest::newRow("minus id skipped") << QByteArray("{\"events\":[{\"id\":-1}]}") << quint64(2) << ok << 0
                                          << quint64(2);
        QTest::newRow("next_since quoted")
            << QByteArray("{\"events\":[],\"next_since\":\"99\"}") << quint64(0) << ok << 0 << quint64(99);
        QTest::newRow("next_since unterminated quote")
            << QByteArray("{\"events\":[],\"next_since\":\"99}") << quint64(1) << ok << 0 << quint64(1);
        QTest::newRow("next_since negative")
            << QByteArray("{\"events\":[],\"next_since\":-5}") << quint64(1) << ok << 0 << quint64(1);
        QTest::newRow("next_since too large")
            << QByteArray("{\"events\":[],\"next_since\":18446744073709551616}") << quint64(1) << ok << 0
            << quint64(1);
        QTest::newRow("next_since twice, first empty")
            << QByteArray("{\"next_since\":null,\"events\":[],\"next_since\":70}") << quint64(1) << ok << 0
            << quint64(1);
        QTest::newRow("smaller ids keep cursor")
            << QByteArray("{\"events\":[{\"id\":3},{\"id\":4}],\"next_since\":4}") << quint64(10) << ok << 2
            << quint64(10);
        QTest::newRow("next_since before events")
            << QByteArray("{\"next_since\":30,\"events\":[{\"id\":20}]}") << quint64(0) << ok << 1 << quint64(30);
    }

    void scan()
    {
        QFETCH(QByteArray, body);
        QFETCH(quint64, since);
        const push::EventsScan result = push::scanEvents(body, since);
        QTEST(int(result.status), "status");
        QTEST(result.count, "count");
        QTEST(result.best, "best");
    }

    void extractField_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint64>("value");
        QTest::newRow("bare") << QByteArray("{\"n\": 12,") << true << quint64(12);
        QTest::newRow("quoted") << QByteArray("{\"n\":\"12\"}") << true << quint64(12);
        QTest::newRow("quote at end") << QByteArray("{\"n\":\"12") << false << quint64(7);
        QTest::newRow("nothing after key") << QByteArray("{\"n\":") << false << quint64(7);
        QTest::newRow("plus") << QByteArray("{\"n\":+1}") << false << quint64(7);
        QTest::newRow("missing") << QByteArray("{\"m\":1}") << false << quint64(7);
        QTest::newRow("longer key only") << QByteArray("{\"nn\":1}") << false << quint64(7);
    }

    void extractField()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);
        QFETCH(quint64, value);
        quint64 out = 7;
        QCOMPARE(ZunaroHeadlessService::extractU64Field(body, "n", out), ok);
        QCOMPARE(out, value);
    }

    void pollUrl_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<quint64>("since");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("url");
        QTest::newRow("no query") << "http://h/poll" << quint64(0) << 0
                                  << "http://h/poll?since=0&timeout_ms=0";
        QTest::newRow("query") << "http://h/poll?k=1" << quint64(42) << 300000
                               << "http://h/poll?k=1&since=42&timeout_ms=300000";
        QTest::newRow("ends in ?") << "http://h/poll?" << quint64(1) << 5 << "http://h/poll?&since=1&timeout_ms=5";
        QTest::newRow("percent escapes kept") << "http://h/a%2Fb%31" << quint64(9) << 1
                                              << "http://h/a%2Fb%31?since=9&timeout_ms=1";
    }

    void pollUrl()
    {
        QFETCH(QString, base);
        QFETCH(quint64, since);
        QFETCH(int, timeoutMs);
        QTEST(push::pollRequestUrl(base, since, timeoutMs), "url");
    }

    void backoff()
    {
        const QList<int> expected {5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000};
        int current = 0;
        for (const int step : expected) {
            current = push::nextBackoffMs(current);
            QCOMPARE(current, step);
        }
        QCOMPARE(push::nextBackoffMs(-3), 5000);
    }

    void statsTiming_data()
    {
        QTest::addColumn<qint64>("nowMs");
        QTest::addColumn<qint64>("loggedMs");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("due");
        QTest::newRow("never logged") << qint64(5) << qint64(0) << false << true;
        QTest::newRow("within 30 min") << qint64(1000 + 1799999) << qint64(1000) << false << false;
        QTest::newRow("at 30 min") << qint64(1000 + 1800000) << qint64(1000) << false << true;
        QTest::newRow("forced") << qint64(1001) << qint64(1000) << true << true;
        QTest::newRow("clock went back") << qint64(10) << qint64(1000) << false << false;
    }

    void statsTiming()
    {
        QFETCH(qint64, nowMs);
        QFETCH(qint64, loggedMs);
        QFETCH(bool, force);
        QTEST(push::statsLineDue(nowMs, loggedMs, force), "due");
    }

    void timeoutCount_data()
    {
        QTest::addColumn<qint64>("durMs");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("counts");
        QTest::newRow("exactly timeout - 1500") << qint64(298500) << 300000 << true;
        QTest::newRow("one ms less") << qint64(298499) << 300000 << false;
        QTest::newRow("timeout 0 never") << qint64(999999) << 0 << false;
        QTest::newRow("short timeout") << qint64(0) << 1000 << true;
    }

    void timeoutCount()
    {
        QFETCH(qint64, durMs);
        QFETCH(int, timeoutMs);
        QTEST(push::countsAsTimeout(durMs, timeoutMs), "counts");
    }

    void cursorWriteSurvivesKill()
    {
        // A writer killed at random moments must leave the old or the new
        // cursor, never an empty or cut file.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tgpush_since.txt"));
        QVERIFY(push::replaceFileContent(path, push::cursorFileContent(42)));
        QCOMPARE(QFile(path).size(), qint64(3));
        for (int round = 0; round < 20; ++round) {
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                for (quint64 v = 1;; v = v * 977 % 1000000007)
                    push::replaceFileContent(path, push::cursorFileContent(v));
            }
            const QDateTime before = QFileInfo(path).lastModified();
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).lastModified() != before, 5000);
            usleep(useconds_t(round * 97 % 500));
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray content = file.readAll();
            quint64 value = 0;
            QVERIFY2(content.endsWith('\n') && push::parseCursorText(content, value), content.constData());
            QVERIFY(content == push::cursorFileContent(value));
        }
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_push_parsing.moc"
