// Reading events lines with simdjson's on-demand parser: the members the
// handlers use are read in place, every other value is checked and passed
// over, and nothing is built for a line but the strings a handler keeps.

#include "events/event_reader.h"

#include <QStringDecoder>
#include <QVariant>

#include <simdjson.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace eventtail {

namespace {
using simdjson::error_code;
using simdjson::SUCCESS;
namespace od = simdjson::ondemand;

// Up to this line size the parser keeps its buffers from one line to the
// next; after a longer line they are given back.
constexpr size_t kKeptCapacity = 64 * 1024;

struct Reader {
    od::parser parser;
    std::vector<char> padded; // the line, with the padding the parser reads past its end
};

Reader &reader()
{
    thread_local Reader r;
    return r;
}

error_code check(od::value value, int depth);

// Walks an object or an array no handler reads, so that a fault anywhere in
// the line rejects it.
template <typename Container>
error_code checkMembers(Container container, int depth)
{
    for (auto member : container) {
        if constexpr (std::is_same_v<Container, od::object>) {
            od::field field;
            std::string_view key;
            if (error_code e = std::move(member).get(field); e || (e = field.unescaped_key().get(key)))
                return e;
            if (error_code e = check(field.value(), depth + 1))
                return e;
        } else {
            od::value value;
            if (error_code e = std::move(member).get(value); e || (e = check(value, depth + 1)))
                return e;
        }
    }
    return SUCCESS;
}

// `depth`: the nesting of `value` if it is an object or an array.
error_code check(od::value value, int depth)
{
    od::json_type type;
    if (error_code e = value.type().get(type))
        return e;
    switch (type) {
    case od::json_type::array:
    case od::json_type::object:
        if (depth > kMaxDepth)
            return simdjson::DEPTH_ERROR;
        if (type == od::json_type::array) {
            od::array array;
            error_code e = value.get_array().get(array);
            return e ? e : checkMembers(array, depth);
        } else {
            od::object object;
            error_code e = value.get_object().get(object);
            return e ? e : checkMembers(object, depth);
        }
    case od::json_type::string:
        return value.get_string().error();
    case od::json_type::number:
        return value.get_double().error();
    case od::json_type::boolean:
        return value.get_bool().error();
    case od::json_type::null: {
        bool null = false;
        error_code e = value.is_null().get(null);
        return e ? e : null ? SUCCESS : simdjson::N_ATOM_ERROR;
    }
    }
    return simdjson::INCORRECT_TYPE;
}

// A member value the handlers read, of the kind Qt reads it as: an integer
// that does not fit in 64 bits is a double, and a whole double that does an
// integer.
error_code read(od::value value, JsonValue &out)
{
    od::json_type type;
    if (error_code e = value.type().get(type))
        return e;
    switch (type) {
    case od::json_type::string:
        out.kind = JsonValue::String;
        return value.get_string().get(out.string);
    case od::json_type::number: {
        int64_t integer = 0;
        if (!value.get_int64().get(integer)) {
            out.kind = JsonValue::Integer;
            out.integer = integer;
            return SUCCESS;
        }
        double number = 0;
        if (error_code e = value.get_double().get(number))
            return e;
        const bool whole = number == std::trunc(number) && number >= -9223372036854775808.0
            && number < 9223372036854775808.0;
        out.kind = whole ? JsonValue::Integer : JsonValue::Double;
        out.integer = whole ? qint64(number) : 0;
        out.number = number;
        return SUCCESS;
    }
    case od::json_type::boolean:
        out.kind = JsonValue::Bool;
        return value.get_bool().get(out.boolean);
    default:
        out.kind = type == od::json_type::null ? JsonValue::Null : JsonValue::Compound;
        return check(value, 2);
    }
}

// Where a member goes; null for one no handler reads.
JsonValue *slotFor(Event &event, JsonValue &type, std::string_view key)
{
    const auto is = [key](std::string_view name) { return key == name; };
    switch (key.size()) {
    case 4:
        return is("type") ? &type : is("date") ? &event.date : is("text") ? &event.text
            : is("code") ? &event.code : nullptr;
    case 5:
        return is("state") ? &event.state : nullptr;
    case 7:
        return is("chat_id") ? &event.chatId : is("call_id") ? &event.callId : is("user_id") ? &event.userId
            : is("message") ? &event.message : nullptr;
    case 8:
        return is("outgoing") ? &event.outgoing : nullptr;
    case 9:
        return is("user_name") ? &event.userName : nullptr;
    case 10:
        return is("chat_title") ? &event.chatTitle : nullptr;
    case 11:
        return is("sender_name") ? &event.senderName : nullptr;
    case 12:
        return is("unread_count") ? &event.unreadCount : nullptr;
    default:
        return nullptr;
    }
}

EventType typeOf(const JsonValue &type)
{
    if (type.kind != JsonValue::String)
        return EventType::Other;
    for (const EventTypeName &known : kEventTypes) {
        if (type.string == known.name)
            return known.type;
    }
    return EventType::Other;
}
} // namespace

bool readEvent(QByteArrayView line, Event &event)
{
    event = Event();
    Reader &r = reader();
    const size_t size = size_t(line.size());
    if (size <= kKeptCapacity && r.padded.size() > kKeptCapacity + simdjson::SIMDJSON_PADDING) {
        r.parser = od::parser();
        r.padded = std::vector<char>();
    }
    if (r.padded.size() < size + simdjson::SIMDJSON_PADDING)
        r.padded.resize(size + simdjson::SIMDJSON_PADDING);
    std::memcpy(r.padded.data(), line.data(), size);

    od::document doc;
    od::object object;
    if (r.parser.iterate(r.padded.data(), size, r.padded.size()).get(doc) || doc.get_object().get(object))
        return false;
    JsonValue type;
    for (auto member : object) {
        od::field field;
        std::string_view key;
        if (std::move(member).get(field) || field.unescaped_key().get(key))
            return false;
        JsonValue *slot = slotFor(event, type, key);
        if (slot ? read(field.value(), *slot = JsonValue()) : check(field.value(), 2))
            return false;
    }
    // Nothing may follow the object.
    if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS)
        return false;
    event.type = typeOf(type);
    return true;
}

namespace {
constexpr quint64 kOnes = 0x0101010101010101ull;
constexpr quint64 kHighs = 0x8080808080808080ull;

// The bytes of `p` to `end` or'ed together, and whether one is zero.
quint64 orBytes(const char *p, const char *end, bool *zero = nullptr)
{
    quint64 bits = 0;
    quint64 zeros = 0;
    for (; end - p >= 8; p += 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        bits |= word;
        zeros |= (word - kOnes) & ~word & kHighs;
    }
    for (; p < end; ++p) {
        bits |= uchar(*p);
        zeros |= *p == 0;
    }
    if (zero)
        *zero = zeros != 0;
    return bits;
}
} // namespace

LineBytes classifyBytes(QByteArrayView bytes)
{
    bool zero = false;
    const quint64 bits = orBytes(bytes.data(), bytes.data() + bytes.size(), &zero);
    if (zero)
        return LineBytes::Nul;
    if ((bits & kHighs) == 0)
        return LineBytes::Ascii;
    return simdjson::validate_utf8(bytes.data(), size_t(bytes.size())) ? LineBytes::Utf8 : LineBytes::Broken;
}

qint64 toInt64(const JsonValue &value)
{
    switch (value.kind) {
    case JsonValue::Integer:
        return value.integer;
    case JsonValue::Double: {
        // Converting an out-of-range double is undefined, and a fraction
        // names no id: anything but a whole number in range is absent.
        const double d = value.number;
        if (!std::isfinite(d) || d != std::trunc(d) || d <= -9.2e18 || d >= 9.2e18)
            return 0;
        return qint64(d);
    }
    case JsonValue::String: {
        // Qt's conversion stops at a NUL, so "12\u0000x" would read as 12.
        if (value.string.find('\0') != std::string_view::npos)
            return 0;
        bool ok = false;
        const qint64 v = toText(value).trimmed().toLongLong(&ok, 10);
        return ok ? v : 0;
    }
    default:
        return 0;
    }
}

int toInt32(const JsonValue &value)
{
    const qint64 v = toInt64(value);
    return v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max() ? 0 : int(v);
}

bool toBool(const JsonValue &value)
{
    switch (value.kind) {
    case JsonValue::Bool:
        return value.boolean;
    case JsonValue::Integer:
        return value.integer != 0;
    case JsonValue::Double:
        return value.number != 0;
    default:
        return false;
    }
}

QString toText(const JsonValue &value)
{
    switch (value.kind) {
    case JsonValue::String: {
        const QByteArrayView bytes(value.string.data(), qsizetype(value.string.size()));
        // QString::fromUtf8 takes a leading U+FEFF for a byte order mark and
        // drops it; here a name or a text arrives as it was sent.
        if (!bytes.startsWith("\xef\xbb\xbf"))
            return QString::fromUtf8(bytes);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        return decoder(bytes);
    }
    case JsonValue::Integer:
        return QString::number(value.integer);
    case JsonValue::Double:
        return QVariant(value.number).toString();
    case JsonValue::Bool:
        return value.boolean ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return QString();
    }
}

QAnyStringView toTextView(const JsonValue &value, QString &storage)
{
    if (value.kind != JsonValue::String) {
        storage = toText(value);
        return storage.isEmpty() ? QAnyStringView(QLatin1StringView()) : QAnyStringView(storage);
    }
    if ((orBytes(value.string.data(), value.string.data() + value.string.size()) & kHighs) == 0)
        return QLatin1StringView(value.string.data(), qsizetype(value.string.size()));
    return QUtf8StringView(value.string.data(), qsizetype(value.string.size()));
}

} // namespace eventtail
