// The push mode's pure helpers: settings lines, the cursor text,
// the answer scan, the request URL, back-off, and a cursor write under kill.

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
        QTest::addColumn<QString>("key"); // empty: the line is skipped
        QTest::addColumn<QString>("value");
        QTest::newRow("blanks, # stays in value")
            << QByteArray("  TGPUSH_POLL_URL =  http://h/p # remark \r") << "TGPUSH_POLL_URL" << "http://h/p # remark";
        QTest::newRow("comment") << QByteArray("  # A=b") << "" << "";
        QTest::newRow("blank") << QByteArray(" \t ") << "" << "";
        QTest::newRow("starts with =") << QByteArray("=b") << "" << "";
        QTest::newRow("blanks then =") << QByteArray("   =b") << "" << "";
        QTest::newRow("no =") << QByteArray("A b") << "" << "";
        QTest::newRow("more =") << QByteArray("A=b=c") << "A" << "b=c";
        QTest::newRow("double quotes empty") << QByteArray("A=\"\"") << "A" << "";
        QTest::newRow("single quotes empty") << QByteArray("A=''") << "A" << "";
        QTest::newRow("quoted") << QByteArray("A=\" x \"") << "A" << " x ";
        QTest::newRow("unbalanced quote kept") << QByteArray("A=\"http://h") << "A" << "\"http://h";
        QTest::newRow("mixed quotes kept") << QByteArray("A=\"x'") << "A" << "\"x'";
        QTest::newRow("lone quote kept") << QByteArray("A=\"") << "A" << "\"";
        QTest::newRow("no keyword") << QByteArray("export A=b") << "export A" << "b";
    }
    void envLine()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, key);
        QString k, v;
        QCOMPARE(push::parseEnvLine(line, k, v), !key.isEmpty());
        if (!key.isEmpty()) {
            QCOMPARE(k, key);
            QTEST(v, "value");
        }
    }

    // Hostile settings files; the service-level table covers the ordinary ones.
    void envFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // "fifo": a FIFO in its place
        QTest::addColumn<bool>("opened");
        QTest::addColumn<Map>("expected");
        QTest::newRow("fifo") << QByteArray("fifo") << false << Map {};
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe=\x01\nA=1\n", 10) + QByteArray(300, '\0') << true
                                << Map {{"A", "1"}};
        QTest::newRow("oversized: cut line dropped") << "A=1\nB=" + QByteArray(2 * 1024 * 1024, 'x') + "\nC=3\n"
                                                     << true << Map {{"A", "1"}};
    }
    void envFile()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tgpush_proxy.env"));
        QFile file(path);
        if (content == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        Map out;
        QTEST(ZunaroHeadlessService::parseEnvFile(path, out), "opened");
        out.remove(QString::fromUtf8(QByteArray("\x00\xff\xfe", 3)));
        QTEST(out, "expected");
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
        quint64 out = 0;
        QTEST(push::parseCursorText(content, out), "ok");
        QTEST(out, "value");
    }

    void scan_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<quint64>("since");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("count");
        QTest::addColumn<quint64>("best");
        const int ok = push::EventsScan::Accepted, missing = push::EventsScan::MissingEvents;
        const auto row = [](const char *name, const QByteArray &body, quint64 since, int status, int count,
                            quint64 best) { QTest::newRow(name) << body << since << status << count << best; };
        row("empty array, next_since", "{\"events\":[],\"next_since\":17}", 5, ok, 0, 17);
        row("blank before [", "{\"events\": [{\"id\":9}]}", 0, missing, 0, 0);
        row("unterminated", "{\"events\":[{\"id\":9}", 0, push::EventsScan::UnterminatedEvents, 0, 0);
        row("not json", "<html>", 3, missing, 0, 3);
        row("id as string", "{\"events\":[{\"id\":5},{\"id\":\"6\"}]}", 0, ok, 1, 5);
        row("nested id", "{\"events\":[{\"id\":12,\"m\":{\"id\":40}}]}", 0, ok, 2, 40);
        row("chat_id not an id", "{\"events\":[{\"chat_id\":99,\"id\":3}]}", 0, ok, 1, 3);
        row("] inside text ends slice", "{\"events\":[{\"id\":4,\"t\":\"a]b\"},{\"id\":50}]}", 0, ok, 1, 4);
        row("2^64 not counted", "{\"events\":[{\"id\":18446744073709551616},{\"id\":18446744073709551615}]}", 0,
            ok, 1, ~quint64(0));
        row("blanks and plus after colon", "{\"events\":[{\"id\": \n\t+8}]}", 0, ok, 1, 8);
        row("minus id skipped", "{\"events\":[{\"id\":-1}]}", 2, ok, 0, 2);
        row("next_since quoted", "{\"events\":[],\"next_since\":\"99\"}", 0, ok, 0, 99);
        row("next_since unterminated quote", "{\"events\":[],\"next_since\":\"99}", 1, ok, 0, 1);
        row("next_since with plus", "{\"events\":[],\"next_since\":+99}", 1, ok, 0, 1);
        row("next_since negative", "{\"events\":[],\"next_since\":-5}", 1, ok, 0, 1);
        row("next_since too large", "{\"events\":[],\"next_since\":18446744073709551616}", 1, ok, 0, 1);
        row("next_since with nothing after", "{\"events\":[],\"next_since\":", 1, ok, 0, 1);
        row("longer key is not next_since", "{\"events\":[],\"next_sincex\":9}", 1, ok, 0, 1);
        row("next_since twice, first empty", "{\"next_since\":null,\"events\":[],\"next_since\":70}", 1, ok, 0, 1);
        row("first next_since inside the array", "{\"events\":[{\"id\":3,\"next_since\":90}],\"next_since\":7}", 0,
            ok, 1, 90);
        row("first next_since before the array", "{\"next_since\":7,\"events\":[{\"id\":3,\"next_since\":90}]}", 0,
            ok, 1, 7);
        row("smaller ids keep cursor", "{\"events\":[{\"id\":3},{\"id\":4}],\"next_since\":4}", 10, ok, 2, 10);
        row("next_since before events", "{\"next_since\":30,\"events\":[{\"id\":20}]}", 0, ok, 1, 30);
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

    void pollUrl_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<quint64>("since");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("url");
        QTest::newRow("no query") << "http://h/poll" << quint64(0) << 0 << "http://h/poll?since=0&timeout_ms=0";
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
        int current = -3;
        for (const int step : {5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000})
            QCOMPARE(current = push::nextBackoffMs(current), step);
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
