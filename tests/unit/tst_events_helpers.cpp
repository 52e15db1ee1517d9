// The pure parts of the event tail, the Hub summary and the notification
// timing.

#include <QtTest>

#include "bb/data/JsonDataAccess.h"
#include "events/event_tail.h"
#include "events/hub_summary.h"
#include "push/notify_timing.h"

using Line = ZunaroHeadlessService::HubSummaryLine;

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void memberConversion_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<qint64>("asInt64");
        QTest::addColumn<int>("asInt32");
        QTest::newRow("number") << QByteArray("12345") << qint64(12345) << 12345;
        QTest::newRow("2^53+1 number") << QByteArray("9007199254740993") << 9007199254740993LL << 0;
        QTest::newRow("2^53+1 string") << QByteArray("\"9007199254740993\"") << 9007199254740993LL << 0;
        QTest::newRow("int64 max") << QByteArray("9223372036854775807") << 9223372036854775807LL << 0;
        QTest::newRow("beyond int64") << QByteArray("92233720368547758070") << qint64(0) << 0;
        QTest::newRow("negative") << QByteArray("-7") << qint64(-7) << -7;
        QTest::newRow("exponent") << QByteArray("1.5e3") << qint64(1500) << 1500;
        QTest::newRow("fraction rounds") << QByteArray("2.6") << qint64(3) << 3;
        QTest::newRow("digits with text") << QByteArray("\"12abc\"") << qint64(0) << 0;
        QTest::newRow("empty string") << QByteArray("\"\"") << qint64(0) << 0;
        QTest::newRow("true") << QByteArray("true") << qint64(0) << 0;
        QTest::newRow("null") << QByteArray("null") << qint64(0) << 0;
        QTest::newRow("object") << QByteArray("{\"a\":1}") << qint64(0) << 0;
        QTest::newRow("beyond int") << QByteArray("3000000000") << qint64(3000000000LL) << 0;
    }
    void memberConversion()
    {
        QFETCH(QByteArray, json);
        QFETCH(qint64, asInt64);
        QFETCH(int, asInt32);
        bb::data::JsonDataAccess parser;
        const QVariant v = parser.loadFromBuffer("{\"m\":" + json + "}").toMap().value(QStringLiteral("m"));
        QVERIFY(!parser.hasError());
        QCOMPARE(eventtail::toInt64(v), asInt64);
        QCOMPARE(eventtail::toInt32(v), asInt32);
    }

    void prepareLine_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("prepared");
        QTest::newRow("plain") << QByteArray("{\"a\":1}") << QByteArray("{\"a\":1}");
        QTest::newRow("blanks around") << QByteArray(" \t{\"a\":1}  ") << QByteArray("{\"a\":1}");
        QTest::newRow("only blanks") << QByteArray("   \t ") << QByteArray();
        QTest::newRow("NUL inside") << QByteArray("{\"a\":\"x\0y\"}", 11) << QByteArray();
        QTest::newRow("NUL at end") << QByteArray("{\"a\":1}\0", 8) << QByteArray();
        QTest::newRow("no-break space around") << QByteArray("\xc2\xa0{\"a\":1}\xc2\xa0") << QByteArray("{\"a\":1}");
        QTest::newRow("broken UTF-8 repaired") << QByteArray("{\"a\":\"\xff\"}") << QByteArray("{\"a\":\"\xef\xbf\xbd\"}");
        QTest::newRow("valid UTF-8 kept") << QByteArray("{\"a\":\"\xc3\xa9\"}") << QByteArray("{\"a\":\"\xc3\xa9\"}");
    }
    void prepareLine()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, prepared);
        QCOMPARE(eventtail::prepareLine(raw), prepared);
    }

    void couldDispatch_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("could");
        QTest::newRow("message") << QByteArray("{\"type\":\"hub_notify_message\"}") << true;
        QTest::newRow("unread") << QByteArray("{\"type\":\"chat_unread\"}") << true;
        QTest::newRow("call") << QByteArray("{\"type\":\"call_update\"}") << true;
        QTest::newRow("other type") << QByteArray("{\"type\":\"typing\"}") << false;
        QTest::newRow("escaped name") << QByteArray("{\"type\":\"chat\\u005funread\"}") << true;
    }
    void couldDispatch()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, could);
        QCOMPARE(eventtail::couldDispatch(line), could);
    }

    void incompleteUtf8Tail_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("tail");
        QTest::newRow("ascii") << QByteArray("abc") << 0;
        QTest::newRow("line feed") << QByteArray("abc\n") << 0;
        QTest::newRow("whole 2-byte") << QByteArray("a\xc3\xa9") << 0;
        QTest::newRow("lead of 2") << QByteArray("a\xc3") << 1;
        QTest::newRow("2 of 3") << QByteArray("a\xe2\x82") << 2;
        QTest::newRow("whole 3-byte") << QByteArray("a\xe2\x82\xac") << 0;
        QTest::newRow("3 of 4") << QByteArray("a\xf0\x9f\x98") << 3;
        QTest::newRow("stray continuation") << QByteArray("a\x82") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
    }
    void incompleteUtf8Tail()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, tail);
        QCOMPARE(eventtail::incompleteUtf8Tail(bytes), tail);
    }

    // Reads fed one after another, the lines that come out, and the
    // overlong lines reported, with a bound of 8 bytes.
    void splitLines_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<QByteArray>("partial");
        QTest::addColumn<int>("overlong");
        QTest::newRow("three in one read") << QList<QByteArray> { "a\nbb\nccc\n" }
                                           << QList<QByteArray> { "a", "bb", "ccc" } << QByteArray() << 0;
        QTest::newRow("split across reads") << QList<QByteArray> { "ab", "cd\ne" }
                                            << QList<QByteArray> { "abcd" } << QByteArray("e") << 0;
        QTest::newRow("empty lines") << QList<QByteArray> { "\n\nx\n" }
                                     << QList<QByteArray> { "", "", "x" } << QByteArray() << 0;
        QTest::newRow("exactly the bound") << QList<QByteArray> { "12345678\n" }
                                           << QList<QByteArray> { "12345678" } << QByteArray() << 0;
        QTest::newRow("long line in one read") << QList<QByteArray> { "123456789\nok\n" }
                                               << QList<QByteArray> { "ok" } << QByteArray() << 1;
        QTest::newRow("long line across reads, resumes at line feed")
            << QList<QByteArray> { "12345", "6789", "abcdefgh", "xyz\nok\nlast" }
            << QList<QByteArray> { "ok" } << QByteArray("last") << 1;
        QTest::newRow("two long lines") << QList<QByteArray> { "123456789\n123456789\n" }
                                        << QList<QByteArray> {} << QByteArray() << 2;
    }
    void splitLines()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QByteArray, partial);
        QFETCH(int, overlong);
        eventtail::LineAssembly state;
        QList<QByteArray> seen;
        int reported = 0;
        for (const QByteArray &read : reads)
            eventtail::splitLines(state, read, 8, [&](QByteArrayView l) { seen.append(l.toByteArray()); },
                                  [&] { ++reported; });
        QCOMPARE(seen, lines);
        QCOMPARE(state.partial, partial);
        QCOMPARE(reported, overlong);
    }

    void composeLine_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        QTest::newRow("private chat") << "Alice" << "" << "Hi" << "Alice: Hi";
        QTest::newRow("group") << "Team" << "Bob" << "Lunch?" << "Team: Bob: Lunch?";
        QTest::newRow("sender is title") << "Alice" << "Alice" << "Hi" << "Alice: Hi";
        QTest::newRow("tabs and breaks") << " Te\tam " << "Bo\r\nb" << "a\n\nb\tc  d" << "Te am: Bo b: a b c d";
        QTest::newRow("fallbacks") << "  " << "" << "\n" << "Chat: New message";
        QTest::newRow("placeholders stay text") << "%2" << "%1" << "x" << "%2: %1: x";
        QTest::newRow("300 characters") << "T" << "" << QString(300, QLatin1Char('x'))
                                        << QStringLiteral("T: ") + QString(177, QLatin1Char('x')) + QChar(0x2026);
        QTest::newRow("pair not cut") << "T" << "" << QString(176, QLatin1Char('x')) + QStringLiteral("\U0001F600yyyy")
                                      << QStringLiteral("T: ") + QString(176, QLatin1Char('x')) + QChar(0x2026);
    }
    void composeLine()
    {
        QFETCH(QString, title);
        QFETCH(QString, sender);
        QFETCH(QString, text);
        QFETCH(QString, line);
        QCOMPARE(hubsummary::composeLine(title, sender, text), line);
    }

    void header_data()
    {
        QTest::addColumn<qint64>("chats");
        QTest::addColumn<quint64>("messages");
        QTest::addColumn<quint64>("pending");
        QTest::addColumn<QString>("header");
        QTest::newRow("one") << qint64(1) << quint64(1) << quint64(1) << "1 new message from 1 chat";
        QTest::newRow("several chats") << qint64(2) << quint64(4) << quint64(1) << "4 new messages from 2 chats";
        QTest::newRow("pending only, one") << qint64(0) << quint64(0) << quint64(1) << "1 new message";
        QTest::newRow("pending only, none") << qint64(0) << quint64(0) << quint64(0) << "1 new message";
        QTest::newRow("pending only, seven") << qint64(0) << quint64(3) << quint64(7) << "7 new messages";
        QTest::newRow("zero with chats") << qint64(1) << quint64(0) << quint64(0) << "0 new messages from 1 chat";
        QTest::newRow("64-bit count") << qint64(1) << quint64(18446744073709551615ULL) << quint64(0)
                                      << "18446744073709551615 new messages from 1 chat";
    }
    void header()
    {
        QFETCH(qint64, chats);
        QFETCH(quint64, messages);
        QFETCH(quint64, pending);
        QFETCH(QString, header);
        QCOMPARE(hubsummary::header(chats, messages, pending), header);
    }

    void composeBody_data()
    {
        QTest::addColumn<QList<Line>>("lines");
        QTest::addColumn<QStringList>("shown");
        QList<Line> many;
        for (int i = 0; i < 20; ++i)
            many.append(Line { 100 + i, 0, QStringLiteral("m%1").arg(i) });
        QStringList first15;
        for (int i = 0; i < 15; ++i)
            first15.append(QStringLiteral("m%1").arg(i));
        QTest::newRow("at most 15") << many << first15;

        QList<Line> oneChat;
        for (int i = 0; i < 7; ++i)
            oneChat.append(Line { 9007199254740993LL, 0, QStringLiteral("a%1").arg(i) });
        oneChat.append(Line { 5, 0, QStringLiteral("b") });
        QTest::newRow("at most 5 of a chat") << oneChat << QStringList { "a0", "a1", "a2", "a3", "a4", "b" };
        QTest::newRow("unusable lines skipped")
            << QList<Line> { Line { 0, 0, "no chat" }, Line { 1, 0, "  " }, Line { 1, 0, " kept " } }
            << QStringList { "kept" };
    }
    void composeBody()
    {
        QFETCH(QList<Line>, lines);
        QFETCH(QStringList, shown);
        QCOMPARE(hubsummary::composeBody(QStringLiteral("H"), lines, 15, 5),
                 (QStringList { "H" } + shown).join(QLatin1Char('\n')));
    }

    // A chat's count reports applied one after another ("u" marks a report
    // while the UI is in front): entry, total and what the last one adds.
    void applyUnread_data()
    {
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<int>("entry"); // -1: no entry
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("added");
        QTest::newRow("first counts whole") << QStringList { "3" } << 3 << quint64(3) << quint64(3);
        QTest::newRow("2 then 5") << QStringList { "2", "5" } << 5 << quint64(5) << quint64(3);
        QTest::newRow("5 to 0") << QStringList { "5", "0" } << -1 << quint64(0) << quint64(0);
        QTest::newRow("5 to 2") << QStringList { "5", "2" } << 2 << quint64(2) << quint64(0);
        QTest::newRow("unchanged") << QStringList { "4", "4" } << 4 << quint64(4) << quint64(0);
        QTest::newRow("negative is 0") << QStringList { "4", "-3" } << -1 << quint64(0) << quint64(0);
        QTest::newRow("UI reads to 0") << QStringList { "5", "u0" } << -1 << quint64(0) << quint64(0);
        QTest::newRow("UI in front, count grows") << QStringList { "5", "u9" } << 5 << quint64(5) << quint64(0);
        QTest::newRow("delta from the count seen by the UI") << QStringList { "5", "u9", "10" } << 6 << quint64(6)
                                                             << quint64(1);
        QTest::newRow("entry saturates") << QStringList { "5", "u3", "2147483647" } << 2147483647
                                         << quint64(5) + 2147483644 << quint64(2147483644);
    }
    void applyUnread()
    {
        QFETCH(QStringList, reports);
        QFETCH(int, entry);
        QFETCH(quint64, total);
        QFETCH(quint64, added);
        hubsummary::UnreadResult r;
        bool known = false;
        int previous = 0;
        for (QString report : reports) {
            const bool ui = report.startsWith(QLatin1Char('u'));
            const int count = report.remove(QLatin1Char('u')).toInt();
            r = hubsummary::applyUnread(r.entry, r.total, known, previous, count, ui);
            known = true;
            previous = qMax(count, 0);
        }
        QCOMPARE(r.entry.present ? r.entry.count : -1, entry);
        QCOMPARE(r.total, total);
        QCOMPARE(r.added, added);
    }

    void dueDelay_data()
    {
        QTest::addColumn<qint64>("now");
        QTest::addColumn<int>("coalesce");
        QTest::addColumn<int>("minInterval");
        QTest::addColumn<qint64>("lastPost");
        QTest::addColumn<int>("delay");
        QTest::newRow("nothing posted") << qint64(1000) << 5000 << 5000 << qint64(0) << 5000;
        QTest::newRow("coalescing is later") << qint64(11000) << 5000 << 5000 << qint64(10000) << 5000;
        QTest::newRow("interval is later") << qint64(11000) << 5000 << 60000 << qint64(10000) << 59000;
        QTest::newRow("both off") << qint64(11000) << 0 << 0 << qint64(10000) << 0;
        QTest::newRow("negative coalescing") << qint64(11000) << -50 << 0 << qint64(0) << 0;
        QTest::newRow("capped at an hour") << qint64(0) << 2000000000 << 0 << qint64(0) << 3600000;
    }
    void dueDelay()
    {
        QFETCH(qint64, now);
        QFETCH(int, coalesce);
        QFETCH(int, minInterval);
        QFETCH(qint64, lastPost);
        QFETCH(int, delay);
        QCOMPARE(notifytiming::dueDelayMs(now, coalesce, minInterval, lastPost), delay);
    }

    void waitForLines_data()
    {
        QTest::addColumn<bool>("uiAlive");
        QTest::addColumn<bool>("namesChats");
        QTest::addColumn<bool>("hasLines");
        QTest::addColumn<qint64>("since");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<bool>("wait");
        QTest::newRow("alive, chats, no lines") << true << true << false << qint64(1000) << qint64(8999) << true;
        QTest::newRow("8000 ms passed") << true << true << false << qint64(1000) << qint64(9000) << false;
        QTest::newRow("clock went back") << true << true << false << qint64(5000) << qint64(1000) << true;
        QTest::newRow("lines came") << true << true << true << qint64(1000) << qint64(2000) << false;
        QTest::newRow("push counts only") << true << false << false << qint64(1000) << qint64(2000) << false;
        QTest::newRow("UI gone") << false << true << false << qint64(1000) << qint64(2000) << false;
        QTest::newRow("nothing pending") << true << true << false << qint64(0) << qint64(2000) << false;
    }
    void waitForLines()
    {
        QFETCH(bool, uiAlive);
        QFETCH(bool, namesChats);
        QFETCH(bool, hasLines);
        QFETCH(qint64, since);
        QFETCH(qint64, now);
        QFETCH(bool, wait);
        QCOMPARE(notifytiming::waitForLines(uiAlive, namesChats, hasLines, since, now, 8000), wait);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_helpers.moc"
