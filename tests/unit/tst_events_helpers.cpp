// Reading events without the service: the conversions of event members and the pure parts of the Hub summary. That
// the reader reads every text, whole or cut anywhere, as QJsonDocument and simdjson's DOM parser do, and the
// preparation and quick filter of event lines and the fold of white space, are checked against plain oracles by
// fuzz_json_reader over its seeds in every run.

#include <QtTest>

#include <tuple>

#include "events/event_reader.h"
#include "events/summary_logic.h"

class EventsHelpersTest : public QObject
{
    Q_OBJECT

private slots:
    // A member as each handler reads it: integers within 64 bits, from numbers (also with an exponent) or digits
    // between blanks, anything else 0, and 0 as an int beyond 32 bits; a flag from true or a number; a text as sent,
    // a leading U+FEFF kept (raw or escaped), a number as Qt writes it.
    void members_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<qint64>("asInt64");
        QTest::addColumn<int>("asInt32");
        QTest::addColumn<bool>("asBool");
        QTest::addColumn<QString>("asText");
        const QString m(QChar(0xFEFF));
        for (const auto &[json, asInt64, asInt32, asBool, asText] :
             QList<std::tuple<QByteArray, qint64, int, bool, QString>> {
                 {"9007199254740993", 9007199254740993LL, 0, true, "9007199254740993"},
                 {"9223372036854775807", 9223372036854775807LL, 0, true, "9223372036854775807"},
                 {"92233720368547758070", 0, 0, true, "92233720368547760000"}, {"-7", -7, -7, true, "-7"},
                 {"1.5e3", 1500, 1500, true, "1500"}, {"2.6", 0, 0, true, "2.6"}, {"0", 0, 0, false, "0"},
                 {"\" 42 \"", 42, 42, false, " 42 "}, {"\"12abc\"", 0, 0, false, "12abc"},
                 {"\"12\\u0000x\"", 0, 0, false, QString("12") + QChar(0) + "x"}, {"true", 0, 0, true, "true"},
                 {"3000000000", 3000000000LL, 0, true, "3000000000"}, {"null", 0, 0, false, ""},
                 {"[\"1\"]", 0, 0, false, ""}, {"\"\xef\xbb\xbf\xef\xbb\xbfx\"", 0, 0, false, m + m + "x"},
                 {"\"\\ufeffy\"", 0, 0, false, m + "y"}})
            QTest::addRow("%s", json.constData()) << json << asInt64 << asInt32 << asBool << asText;
    }
    void members()
    {
        QFETCH(QByteArray, json);
        eventtail::Event event;
        QVERIFY(eventtail::readEvent("{\"text\":" + json + ",\"x\":[{}]}", event));
        QTEST(eventtail::toInt64(event.text), "asInt64");
        QTEST(eventtail::toInt32(event.text), "asInt32");
        QTEST(eventtail::toBool(event.text), "asBool");
        QTEST(eventtail::toText(event.text), "asText");
    }

    // A chat's count reports applied one after another ("u" marks a report while the UI is in front): the entry
    // ("-": none), the total and what the last report adds.
    void applyUnread_data()
    {
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("result");
        QTest::newRow("2 then 5") << QStringList { "2", "5" } << "entry=5 total=5 added=3";
        QTest::newRow("5 to 2") << QStringList { "5", "2" } << "entry=2 total=2 added=0";
        QTest::newRow("unchanged") << QStringList { "4", "4" } << "entry=4 total=4 added=0";
        QTest::newRow("negative is 0") << QStringList { "4", "-3" } << "entry=- total=0 added=0";
        QTest::newRow("UI reads to 0") << QStringList { "5", "u0" } << "entry=- total=0 added=0";
        QTest::newRow("UI in front, count grows") << QStringList { "5", "u9" } << "entry=5 total=5 added=0";
        QTest::newRow("delta from the count seen by the UI") << QStringList { "5", "u9", "10" }
                                                             << "entry=6 total=6 added=1";
        QTest::newRow("entry saturates") << QStringList { "5", "u3", "2147483647" }
                                         << "entry=2147483647 total=2147483649 added=2147483644";
    }
    void applyUnread()
    {
        QFETCH(QStringList, reports);
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
        const QString entry = r.entry.present ? QString::number(r.entry.count) : QStringLiteral("-");
        QTEST(QStringLiteral("entry=%1 total=%2 added=%3").arg(entry).arg(r.total).arg(r.added), "result");
    }
};

QTEST_GUILESS_MAIN(EventsHelpersTest)
#include "tst_events_helpers.moc"
