// The event reader against two others. It takes only texts that simdjson's DOM parser, which checks a whole text as
// RFC 8259 has it, reads as an object nested no deeper than the bound; where QJsonDocument reads the text
// too, every member a handler uses has the same value there, of the same kind (a 64-bit id stays an integer, never a
// double that has lost digits, and a leading U+FEFF stays in a string). Keeping that U+FEFF never changes which
// texts QJsonDocument rejects. The events tail prepares a line as its text trimmed of ASCII blanks, decoded (a byte
// order mark then first is dropped) and trimmed again, and nothing for a line with a NUL; its quick test that lets a
// line go unparsed passes exactly the lines naming a type the service acts on (or holding an escape, which could
// spell one). And the summary's fold of a text's white space gives what QString::simplified() gives.

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariant>

#include <simdjson.h>

#include "events/event_reader.h"
#include "events/event_tail.h"
#include "events/summary_logic.h"
#include "fuzz_check.h"
#include "zunaro/json.h"

namespace {
using eventtail::JsonValue;

// The text with every run of more than 18 digits but an exponent's cut to its first 18. simdjson's DOM parser, unlike
// the RFC, rejects an integer beyond 64 bits; the cut keeps whatever else makes the text valid or not.
QByteArray shortDigits(const QByteArray &text)
{
    QByteArray out;
    for (qsizetype i = 0, end = 0; i < text.size(); i = end) {
        for (end = i; end < text.size() && text[end] >= '0' && text[end] <= '9';)
            ++end;
        end = qMax(end, i + 1);
        const bool exponent = out.endsWith('e') || out.endsWith('E') || out.endsWith("e-") || out.endsWith("e+")
            || out.endsWith("E-") || out.endsWith("E+");
        out += text.mid(i, exponent ? end - i : qMin(end - i, qsizetype(18)));
    }
    return out;
}

// The member as QJsonDocument read it: the same kind, and the same text for it.
bool sameValue(const JsonValue &mine, const QJsonValue &qt)
{
    const QVariant v = qt.toVariant();
    const JsonValue::Kind kind = qt.isUndefined() ? JsonValue::Missing : qt.isNull() ? JsonValue::Null
        : qt.isBool() ? JsonValue::Bool : v.metaType().id() == QMetaType::LongLong ? JsonValue::Integer
        : qt.isDouble() ? JsonValue::Double : qt.isString() ? JsonValue::String : JsonValue::Compound;
    return mine.kind == kind && eventtail::toText(mine) == v.toString();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzInput(data, size);
    QJsonParseError error;
    const QJsonDocument doc = zplatform::readJson(text, &error);
    const bool qtRejected = error.error != QJsonParseError::NoError;
    QJsonDocument::fromJson(text, &error);
    fuzzCheck(qtRejected == (error.error != QJsonParseError::NoError), "keeping U+FEFF changed which texts are JSON");

    eventtail::Event event;
    const bool read = eventtail::readEvent(text, event);
    static simdjson::dom::parser strict;
    static const bool deep = strict.allocate(4096, eventtail::kMaxDepth) == simdjson::SUCCESS;
    fuzzCheck(deep, "no room for the DOM parser");
    simdjson::dom::element root;
    const QByteArray strictText = shortDigits(text);
    const bool object = !strict.parse(strictText.constData(), size_t(strictText.size())).get(root) && root.is_object();
    // The on-demand parser also refuses a few valid numbers (an exponent of many digits) that the DOM parser reads.
    fuzzCheck(!read || object, "the reader takes a text the DOM parser does not take for an object");
    if (read && !qtRejected) {
        const QJsonObject o = doc.object();
        const std::pair<const char *, const JsonValue *> members[] = {
            {"chat_id", &event.chatId}, {"date", &event.date}, {"chat_title", &event.chatTitle},
            {"sender_name", &event.senderName}, {"text", &event.text}, {"unread_count", &event.unreadCount},
            {"call_id", &event.callId}, {"user_id", &event.userId}, {"outgoing", &event.outgoing},
            {"state", &event.state}, {"code", &event.code}, {"message", &event.message}, {"user_name", &event.userName}};
        for (const auto &[name, value] : members)
            fuzzCheck(sameValue(*value, o.value(QLatin1String(name))), name);
        eventtail::EventType type = eventtail::EventType::Other;
        for (const eventtail::EventTypeName &known : eventtail::kEventTypes) {
            if (o.value(QLatin1String("type")) == QLatin1String(known.name.data(), qsizetype(known.name.size())))
                type = known.type;
        }
        fuzzCheck(event.type == type, "the event type differs");
        QString s[3], v[3];
        const JsonValue *t[] = {&event.chatTitle, &event.senderName, &event.text};
        for (int i = 0; i < 3; ++i) {
            s[i] = eventtail::toText(*t[i]);
            fuzzCheck(hubsummary::simplifyLine(s[i]) == s[i].simplified(), "a summary text folds unlike simplified()");
        }
        fuzzCheck(hubsummary::composeLine(eventtail::toTextView(*t[0], v[0]), eventtail::toTextView(*t[1], v[1]),
                                          eventtail::toTextView(*t[2], v[2])) == hubsummary::composeLine(s[0], s[1], s[2]),
                  "a line composed from views differs");
    }

    const QByteArray line = eventtail::prepareLine(text);
    fuzzCheck(line == (text.contains('\0') ? QByteArray() : QString::fromUtf8(text.trimmed()).trimmed().toUtf8()),
              "the line is prepared unlike the trimmed text, or a line with a NUL is kept");
    bool namesType = line.contains('\\');
    for (const eventtail::EventTypeName &known : eventtail::kEventTypes)
        namesType = namesType || line.contains(QByteArrayView(known.name.data(), qsizetype(known.name.size())));
    fuzzCheck(line.isEmpty() || eventtail::couldDispatch(line) == namesType,
              "the quick filter disagrees with a search for the type names");
    return 0;
}
