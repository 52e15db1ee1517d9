// The event reader against QJsonDocument: every text is rejected by both or read into the same value, with the same
// types (a 64-bit id stays a qlonglong, never a double that has lost digits). Keeping a string's leading U+FEFF,
// which QJsonDocument alone drops, never changes which texts are rejected. The events tail prepares a line as its
// text trimmed of ASCII blanks, decoded (a byte order mark then first is dropped) and trimmed again, and nothing for
// a line with a NUL; its quick test that lets a line go unparsed passes exactly the lines naming a type the service
// acts on (or holding an escape, which could spell one). And the summary's fold of a text's white space gives what
// QString::simplified() gives.

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>

#include "bb/data/JsonDataAccess.h"
#include "events/event_tail.h"
#include "events/summary_logic.h"
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
    fuzzCheck(line == (text.contains('\0') ? QByteArray() : QString::fromUtf8(text.trimmed()).trimmed().toUtf8()),
              "the line is prepared unlike the trimmed text, or a line with a NUL is kept");
    bool namesType = line.contains('\\');
    for (const eventtail::EventTypeName &known : eventtail::kEventTypes)
        namesType = namesType || line.contains(QByteArrayView(known.name.data(), qsizetype(known.name.size())));
    fuzzCheck(line.isEmpty() || eventtail::couldDispatch(line) == namesType,
              "the quick filter disagrees with a search for the type names");

    for (const QVariant &member : got.toMap()) {
        const QString text = member.toString();
        fuzzCheck(hubsummary::simplifyLine(text) == text.simplified(), "a summary text folds unlike simplified()");
    }
    return 0;
}
