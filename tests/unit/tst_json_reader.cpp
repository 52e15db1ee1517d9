// The JSON reader the service parses events with must read every text
// exactly as QJsonDocument does: the same rejections, the same members, the
// same value types (a 64-bit integer stays a qlonglong, not a double); but
// a string that starts with U+FEFF keeps it, which QJsonDocument drops.

#include <algorithm>
#include <ctime>

#include <QJsonDocument>
#include <QJsonParseError>
#include <QtTest>

#include "bb/data/JsonDataAccess.h"
#include "same_variant.h"
#include "zunaro/json.h"

namespace {

// Empty unless the reader and QJsonDocument disagree on `text`.
QByteArray disagreement(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument doc = zplatform::readJson(text, &error);
    const bool wantError = error.error != QJsonParseError::NoError;
    const QVariant want = wantError ? QVariant() : doc.toVariant();

    bb::data::JsonDataAccess reader;
    const QVariant got = reader.loadFromBuffer(text);
    if (reader.hasError() != wantError)
        return "error " + QByteArray::number(reader.hasError()) + " for " + text.toPercentEncoding(" {}\":,");
    if (!sameVariant(got, want))
        return "different value for " + text.toPercentEncoding(" {}\":,");
    return QByteArray();
}

const QByteArray kMessage = "{\"type\":\"hub_notify_message\",\"chat_id\":9007199254740993,\"date\":1700000000,"
                            "\"chat_title\":\"Chat 1\",\"sender_name\":\"Bob\",\"text\":\"hi there\"}";
const QByteArray kMixed = "{ \"a\" : -12 ,\t\"b\":true,\"c\":false,\"d\":null,\r\n\"e\":\"\xc3\xa9\xf0\x9f\x98\x80\","
                          "\"f\":0,\"a\":\"again\",\"\":\"\"}";

} // namespace

class JsonReaderTest : public QObject
{
    Q_OBJECT

private slots:
    void readsLikeQJsonDocument_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("message") << kMessage;
        QTest::newRow("white space, literals, repeated name") << kMixed;
        QTest::newRow("repeated names") << QByteArray("{\"b\":1,\"a\":2,\"b\":3,\"a\":\"x\",\"ab\":4,\"B\":5}");
        QTest::newRow("names beyond ASCII") << QByteArray("{\"\xc3\xa9\":1,\"z\":2,\"\xef\xbd\x81\":3,\"\xf0\x9f\x98\x80\":4}");
        QByteArray many = "{";
        for (int i = 0; i < 18; ++i)
            many += "\"m" + QByteArray::number(i, 36) + "\":" + QByteArray::number(i) + ',';
        QTest::newRow("many members, the first repeated") << many + "\"m0\":18}";
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("empty text") << QByteArray();
        QTest::newRow("only blanks") << QByteArray(" \t");
        QTest::newRow("array") << QByteArray("[1,\"a\",{\"b\":2}]");
        QTest::newRow("nested") << QByteArray("{\"a\":{\"b\":[1,2]},\"c\":3}");
        QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf{\"a\":1}");
        QTest::newRow("garbage after") << QByteArray("{\"a\":1}x");
        QTest::newRow("comma before end") << QByteArray("{\"a\":1,}");
        QTest::newRow("missing colon") << QByteArray("{\"a\" 1}");
        QTest::newRow("bare name") << QByteArray("{a:1}");
        // Values of one member: escapes, strings the reader must reject or
        // repair, number edges, literals.
        for (const char *value :
             {"\"x\\\"y\\u00e9\\ud83d\\ude00\"", "\"0123456789\\tx\"", "\"0123456789\xc3\xa9x\"", "\"\\ud800\"",
              "\"\\u12g4\"", "\"x\ty\x01\"", "\"\xff\"", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "\"\xef\xbf\xbe\"",
              "9007199254740993", "9223372036854775807", "-9223372036854775808", "9223372036854775808",
              "123456789012345678901234567890", "-0", "012", "+1", "1.0", "2.5", "1e3", "1.", "1e999", "tru", "truex", ""})
            QTest::newRow(QByteArray(value).toPercentEncoding("\"\\+-.").constData()) << "{\"a\":" + QByteArray(value) + '}';
        QTest::newRow("escape in name") << QByteArray("{\"a\\n\":1}");
        QTest::newRow("NUL in string") << QByteArray("{\"a\":\"x\0y\"}", 11);
        QTest::newRow("form feed as blank") << QByteArray("{\f\"a\":1}");
    }
    void readsLikeQJsonDocument()
    {
        QFETCH(QByteArray, text);
        const QByteArray differs = disagreement(text);
        QVERIFY2(differs.isEmpty(), differs.constData());
    }

    // Qt drops a string's leading U+FEFF (bytes EF BB BF); here it stays, in
    // names and values, raw or escaped, while a mark before the text is still
    // skipped and one between tokens is still no JSON.
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
        for (const QByteArray &broken : {"{" + raw + "\"a\":1}", "{\"a\":" + raw + "1}", "{\"a\":1}" + raw}) {
            bb::data::JsonDataAccess reader;
            reader.loadFromBuffer(broken);
            QVERIFY2(reader.hasError(), broken.constData());
        }
    }

    // A line the writer has not finished can end anywhere.
    void everyCutReadsLikeQJsonDocument_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("message") << kMessage;
        QTest::newRow("white space, literals, repeated name") << kMixed;
        QTest::newRow("escapes") << QByteArray("{\"a\":\"x\\\"y\\u00e9\",\"b\":-1.5e2,\"c\":[true]}");
    }
    void everyCutReadsLikeQJsonDocument()
    {
        QFETCH(QByteArray, text);
        for (qsizetype n = 0; n <= text.size(); ++n) {
            const QByteArray differs = disagreement(text.left(n));
            QVERIFY2(differs.isEmpty(), differs.constData());
        }
    }

    // The order of the names must not make reading an object quadratic.
    void descendingNamesCostLinearTime()
    {
        QByteArray text = "{\"type\":\"chat_unread\"";
        for (int i = 125000; i > 0; --i)
            text += ",\"m" + QByteArray::number(i) + "\":1";
        text += '}';
        const std::clock_t before = std::clock();
        bb::data::JsonDataAccess reader;
        const QVariantMap map = reader.loadFromBuffer(text).toMap();
        QCOMPARE_LT(double(std::clock() - before) / CLOCKS_PER_SEC, 2.0);
        QCOMPARE(map.size(), 125001);
        QCOMPARE(map.firstKey(), QStringLiteral("m1"));
    }
};

QTEST_APPLESS_MAIN(JsonReaderTest)
#include "tst_json_reader.moc"
