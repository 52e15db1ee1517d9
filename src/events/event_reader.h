#pragma once
// Reading one events line into the few members the handlers use, each as the
// JSON value it is, and the conversions every handler reads them with.

#include <QAnyStringView>
#include <QByteArrayView>
#include <QString>

#include <string_view>

#include "events/event_tail.h"

namespace eventtail {

// A JSON value as read. A string stays a view into the reader's buffer,
// valid until the next line is read.
struct JsonValue {
    enum Kind : quint8 { Missing, Null, Bool, Integer, Double, String, Compound };
    Kind kind = Missing;
    bool boolean = false;
    qint64 integer = 0; // an integer within 64 bits; a longer one is a Double
    double number = 0;
    std::string_view string; // UTF-8, unescaped
};

// The members of an event the service acts on; those it does not read are
// checked and passed over. A member named twice keeps its last value.
struct Event {
    EventType type = EventType::Other;
    JsonValue chatId, date, chatTitle, senderName, text, unreadCount;
    JsonValue callId, userId, outgoing, state, code, message, userName;
};

// The deepest nesting a line may hold, the root object included.
constexpr int kMaxDepth = 1024;

// Reads a prepared line, which must be one JSON object as RFC 8259 has it,
// nested no deeper than kMaxDepth; false for anything else.
bool readEvent(QByteArrayView line, Event &event);

// What a line's bytes are, eight at a time: with a NUL byte, else ASCII,
// else UTF-8 or not (simdjson's check).
enum class LineBytes { Nul, Ascii, Utf8, Broken };
LineBytes classifyBytes(QByteArrayView bytes);

// A 64-bit member: a JSON integer exactly, a whole JSON number, a string of
// decimal digits between blanks; anything else is 0.
qint64 toInt64(const JsonValue &value);
// The same for a 32-bit member; a value outside int is 0.
int toInt32(const JsonValue &value);
// A flag: true, or a number other than 0.
bool toBool(const JsonValue &value);
// A text member: a string as it is (a leading U+FEFF too), a number or a
// literal true or false as written by Qt; anything else is empty.
QString toText(const JsonValue &value);
// The same as a view: an ASCII string as Latin-1 where it lies, another
// string as UTF-8, anything else made a string in `storage`.
QAnyStringView toTextView(const JsonValue &value, QString &storage);

} // namespace eventtail
