// The shortcuts of the ingestion path: the type filter that spares a line
// its parsing, and the line simplification that shares text already simple.

#include <QtTest>

#include "events/event_tail.h"
#include "service_main.h"

class IngestTest : public QObject
{
    Q_OBJECT

private slots:
    void couldDispatch_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("could");
        QTest::newRow("message") << QByteArray("{\"type\":\"hub_notify_message\"}") << true;
        QTest::newRow("unread") << QByteArray("{\"type\":\"chat_unread\",\"chat_id\":1}") << true;
        QTest::newRow("call") << QByteArray("{\"type\":\"call_update\"}") << true;
        QTest::newRow("names at the very start") << QByteArray("hub_notify_message") << true;
        QTest::newRow("name at the very end") << QByteArray("xxcall_update") << true;
        QTest::newRow("after other underscores") << QByteArray("{\"a_b\":\"c_d\",\"t\":\"chat_unread\"}") << true;
        QTest::newRow("escaped type") << QByteArray("{\"type\":\"chat\\u005funread\"}") << true;
        QTest::newRow("other type") << QByteArray("{\"type\":\"user_status\",\"user_id\":1}") << false;
        QTest::newRow("name cut at the end") << QByteArray("{\"type\":\"hub_notify_messag") << false;
        QTest::newRow("underscore first") << QByteArray("_notify_message") << false;
        QTest::newRow("second underscore only") << QByteArray("hubnotify_message") << false;
        QTest::newRow("no underscore") << QByteArray("{\"type\":\"typing\"}") << false;
        QTest::newRow("upper case") << QByteArray("CHAT_UNREAD") << false;
    }
    void couldDispatch()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, could);
        QCOMPARE(eventtail::couldDispatch(line), could);
    }

    // Text already simple is returned as it is; anything else exactly as
    // QString::simplified() makes it.
    void simplifyLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("simple") << QStringLiteral("Bob: hi there");
        QTest::newRow("one character") << QStringLiteral("x");
        QTest::newRow("only a space") << QStringLiteral(" ");
        QTest::newRow("space first") << QStringLiteral(" a");
        QTest::newRow("space last") << QStringLiteral("a ");
        QTest::newRow("two spaces") << QStringLiteral("a  b");
        QTest::newRow("tab") << QStringLiteral("a\tb");
        QTest::newRow("line feed last") << QStringLiteral("a\n");
        QTest::newRow("no-break space") << QStringLiteral("a\u00a0b");
        QTest::newRow("next line") << QStringLiteral("a\u0085b");
        QTest::newRow("line separator") << QStringLiteral("a\u2028b");
        QTest::newRow("ideographic space last") << QStringLiteral("a\u3000");
        QTest::newRow("space then no-break space") << QStringLiteral("a \u00a0b");
        QTest::newRow("unit separator is not space") << QStringLiteral("a\u001fb");
        QTest::newRow("delete is not space") << QStringLiteral("a\u007fb");
        QTest::newRow("beyond ASCII") << QStringLiteral("caf\u00e9 \U0001F600 \u4e2d");
    }
    void simplifyLine()
    {
        QFETCH(QString, text);
        QCOMPARE(ZunaroHeadlessService::simplifyLine(text), text.simplified());
    }
};

QTEST_APPLESS_MAIN(IngestTest)
#include "tst_events_ingest.moc"
