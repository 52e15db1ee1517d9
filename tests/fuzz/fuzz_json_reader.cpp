// The event reader against QJsonDocument: every text is rejected by both or
// read into the same value, with the same types (a 64-bit id stays a
// qlonglong, never a double that has lost digits). And the events tail's
// quick test that lets a line go unparsed never rules out a line that is an
// event the service acts on.

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>

#include <algorithm>

#include "bb/data/JsonDataAccess.h"
#include "events/event_tail.h"
#include "fuzz_check.h"

namespace {
bool sameVariant(const QVariant &a, const QVariant &b)
{
    if (a.metaType() != b.metaType())
        return false;
    if (a.metaType().id() == QMetaType::QVariantMap) {
        const QVariantMap x = a.toMap(), y = b.toMap();
        return x.keys() == y.keys()
            && std::all_of(x.keyBegin(), x.keyEnd(), [&](const QString &k) { return sameVariant(x[k], y[k]); });
    }
    if (a.metaType().id() == QMetaType::QVariantList) {
        const QVariantList x = a.toList(), y = b.toList();
        return x.size() == y.size() && std::equal(x.cbegin(), x.cend(), y.cbegin(), sameVariant);
    }
    return a == b;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzInput(data, size);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    const bool rejected = error.error != QJsonParseError::NoError;

    bb::data::JsonDataAccess reader;
    const QVariant got = reader.loadFromBuffer(text);
    fuzzCheck(reader.hasError() == rejected, "the reader and QJsonDocument disagree on rejecting the text");
    fuzzCheck(rejected ? got.isNull() : sameVariant(got, doc.toVariant()), "the reader's value differs");

    const QByteArray line = eventtail::prepareLine(text);
    if (!line.isEmpty() && !eventtail::couldDispatch(line)) {
        const QString type = QJsonDocument::fromJson(line).object().value(QStringLiteral("type")).toString();
        fuzzCheck(type != QLatin1String("hub_notify_message") && type != QLatin1String("chat_unread")
                      && type != QLatin1String("call_update"),
                  "an event line was ruled out unparsed");
    }
    return 0;
}
