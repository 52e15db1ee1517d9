// Reading events without the service: the JSON reader keeps a string's leading U+FEFF, which QJsonDocument drops;
// the number conversions of event members and the pure parts of the Hub summary. That the reader reads every text,
// whole or cut anywhere, exactly as QJsonDocument does, and the preparation and quick filter of event lines and the
// fold of white space, are checked against plain oracles by fuzz_json_reader over its seeds in every run.

#include <QtTest>

#include <tuple>

#include "bb/data/JsonDataAccess.h"
#include "core/event_number.h"
#include "events/summary_logic.h"
#include "same_variant.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    // Qt drops a string's leading U+FEFF (bytes EF BB BF); here it stays, in
    // names and values, raw or escaped, while a mark before the text is still
    // skipped.
    void keepsLeadingFeff()
    {
        const QString m(QChar(0xFEFF));
        const QByteArray raw = "\xef\xbb\xbf";
        const QList<std::pair<QByteArray, QVariantMap>> cases = {
            {"{\"e\":\"" + raw + "\",\"k\":\"" + raw + raw + "x\"}", {{"e", m}, {"k", m + m + "x"}}},
            {raw + "{\"" + raw + "k\":\"" + raw + "y\",\"u\":\"\\ufeffy\",\"l\":[\"" + raw + "\"]}",
             {{m + "k", m + "y"}, {"u", m + "y"}, {"l", QVariantList {m}}}},
        };
        for (const auto &[text, want] : cases) {
            bb::data::JsonDataAccess reader;
            const QVariant got = reader.loadFromBuffer(text);
            QVERIFY2(!reader.hasError() && sameVariant(got, want), text.constData());
        }
    }

    // Integers within 64 bits, from numbers (also with an exponent) or digits between blanks; anything else is 0,
    // and so is any value beyond 32 bits as an int.
    void memberConversion_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<qint64>("asInt64");
        QTest::addColumn<int>("asInt32");
        for (const auto &[json, asInt64, asInt32] : QList<std::tuple<QByteArray, qint64, int>> {
                 {"9007199254740993", 9007199254740993LL, 0}, {"9223372036854775807", 9223372036854775807LL, 0},
                 {"92233720368547758070", 0, 0}, {"-7", -7, -7}, {"1.5e3", 1500, 1500}, {"2.6", 0, 0},
                 {"\" 42 \"", 42, 42}, {"\"12abc\"", 0, 0}, {"\"12\\u0000x\"", 0, 0}, {"true", 0, 0},
                 {"3000000000", 3000000000LL, 0}})
            QTest::addRow("%s", json.constData()) << json << asInt64 << asInt32;
    }
    void memberConversion()
    {
        QFETCH(QByteArray, json);
        bb::data::JsonDataAccess parser;
        const QVariant v = parser.loadFromBuffer("{\"m\":" + json + "}").toMap().value(QStringLiteral("m"));
        QVERIFY(!parser.hasError());
        QTEST(eventnumber::toInt64(v), "asInt64");
        QTEST(eventnumber::toInt32(v), "asInt32");
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

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_helpers.moc"
