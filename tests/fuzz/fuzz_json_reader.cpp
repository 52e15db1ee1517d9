// The event reader against QJsonDocument: every text is rejected by both or
// read into the same value, with the same types (a 64-bit id stays a
// qlonglong, never a double that has lost digits). Keeping a string's
// leading U+FEFF, which QJsonDocument alone drops, never changes which
// texts are rejected. And the events tail's
// quick test that lets a line go unparsed never rules out a line that is an
// event the service acts on.

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>

#include "bb/data/JsonDataAccess.h"
#include "events/event_tail.h"
#include "fuzz_check.h"
#include "zunaro/json.h"
#include "same_variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzInput(data, size);
    QJsonParseError error;
    const QJsonDocument doc = zplatform::readJson(text, &error);
    const bool rejected = error.error != QJsonParseError::NoError;
    QJsonDocument::fromJson(text, &error);
    fuzzCheck(rejected == (error.error != QJsonParseError::NoError), "keeping U+FEFF changed which texts are JSON");

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
