// The JSON reader the service parses events with must read every text
// exactly as QJsonDocument does: the same rejections, the same members, the
// same value types (a 64-bit integer stays a qlonglong, not a double); but
// a string that starts with U+FEFF keeps it, which QJsonDocument drops.
// Whole texts are compared by fuzz_json_reader, over its seeds in every run;
// here every cut of a text, and the mark kept.

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
};

QTEST_APPLESS_MAIN(JsonReaderTest)
#include "tst_json_reader.moc"
