#include "bb/data/JsonDataAccess.h"
#include "zunaro/json.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <map>

namespace {
constexpr char kByteOrderMark[] = "\xef\xbb\xbf";
} // namespace

namespace zplatform {

QJsonDocument readJson(const QByteArray &text, QJsonParseError *error)
{
    // Only the character right after an opening quote is lost. Written as
    // an escape after any quote it means what it meant: the first character
    // of a string, one after an escaped quote, or, after a closing quote, no
    // JSON either way.
    const QByteArray lost = QByteArray(1, '"') + kByteOrderMark;
    if (!text.contains(lost))
        return QJsonDocument::fromJson(text, error);
    return QJsonDocument::fromJson(QByteArray(text).replace(lost, "\"\\ufeff"), error);
}

} // namespace zplatform

namespace bb {
namespace data {

namespace {

// Most texts handed to the parser are one flat object of strings, integers
// and literals. Those are read here straight into the map, without the
// document and its conversion; whatever else the text holds is left to
// QJsonDocument, so every text ends up read exactly as QJsonDocument reads it.
enum class Quick {
    Read,   // the map holds the object
    Broken, // QJsonDocument would reject the text as well
    Unsure, // outside what this reader knows: ask QJsonDocument
};

// Member names and many short values (types, titles, senders) repeat from
// one text to the next. Short ASCII strings are kept in a small table so a
// repeat shares the QString it had before instead of allocating a new one.
// The table is per thread and fixed in size: a slot holds the last string
// whose bytes hashed to it.
class ShortStrings
{
public:
    static constexpr qsizetype kMaxChars = 32;

    QString get(QByteArrayView ascii)
    {
        const qsizetype n = ascii.size();
        if (n > kMaxChars)
            return QString::fromLatin1(ascii);
        Slot &slot = m_slots[hash(ascii) % kSlots];
        if (slot.string.isNull() || slot.size != n || std::memcmp(slot.bytes, ascii.data(), size_t(n)) != 0) {
            slot.string = QString::fromLatin1(ascii);
            slot.size = n;
            std::memcpy(slot.bytes, ascii.data(), size_t(n));
        }
        return slot.string;
    }

private:
    static constexpr quint32 kSlots = 509;

    struct Slot {
        QString string;
        qsizetype size = 0;
        char bytes[kMaxChars];
    };

    // The first and the last eight bytes and the length tell the strings
    // met in practice apart well enough; a collision only costs a copy.
    static quint32 hash(QByteArrayView bytes)
    {
        const qsizetype n = bytes.size();
        quint64 head = 0;
        quint64 tail = 0;
        if (n >= 8) {
            std::memcpy(&head, bytes.data(), 8);
            std::memcpy(&tail, bytes.data() + n - 8, 8);
        } else {
            std::memcpy(&head, bytes.data(), size_t(n));
        }
        const quint64 mixed = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ quint64(n)) * 0xFF51AFD7ED558CCDull;
        return quint32(mixed >> 32);
    }

    Slot m_slots[kSlots];
};

ShortStrings &shortStrings()
{
    thread_local ShortStrings strings;
    return strings;
}

// The integers read here have at most this many digits, which always fit
// in 64 bits; longer ones may become doubles and are left to QJsonDocument.
constexpr int kMaxQuickDigits = 18;

class FlatObjectReader
{
public:
    explicit FlatObjectReader(const QByteArray &text)
        : m_p(text.constData()), m_end(text.constData() + text.size()), m_strings(shortStrings())
    {
    }

    Quick read(QVariantMap &map)
    {
        if (!skipSpace() || *m_p != '{')
            return Quick::Unsure;
        ++m_p;
        if (!skipSpace())
            return Quick::Broken;
        if (*m_p == '}') {
            ++m_p;
            return finish();
        }
        for (;;) {
            if (*m_p != '"')
                return Quick::Unsure;
            Member &member = m_members.emplace_back();
            Quick r = readString(member.name, &member.nameBytes);
            if (r != Quick::Read)
                return r;
            if (!skipSpace())
                return Quick::Broken;
            if (*m_p != ':')
                return Quick::Unsure;
            ++m_p;
            if (!skipSpace())
                return Quick::Broken;
            r = readValue(member.value);
            if (r != Quick::Read)
                return r;
            if (!skipSpace())
                return Quick::Broken;
            if (*m_p == '}') {
                ++m_p;
                break;
            }
            if (*m_p != ',')
                return Quick::Unsure;
            ++m_p;
            if (!skipSpace())
                return Quick::Broken;
        }
        const Quick r = finish();
        if (r == Quick::Read)
            fill(map);
        return r;
    }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    // Moves past white space; false when the text ends there. A text that
    // ends inside the object is broken whatever the rest would have been.
    bool skipSpace()
    {
        while (m_p < m_end && isSpace(*m_p))
            ++m_p;
        return m_p < m_end;
    }

    Quick finish() { return skipSpace() ? Quick::Unsure : Quick::Read; }

    enum class Bytes { Ascii, Wide, Escaped };

    // Whether a string's bytes hold a backslash, else whether any is beyond
    // ASCII; eight bytes at a time.
    static Bytes classify(QByteArrayView bytes)
    {
        constexpr quint64 kOnes = 0x0101010101010101ull;
        constexpr quint64 kHighs = 0x8080808080808080ull;
        constexpr quint64 kBackslashes = 0x5C5C5C5C5C5C5C5Cull;
        const char *c = bytes.data();
        const char *const end = c + bytes.size();
        quint64 seen = 0;
        quint64 backslash = 0;
        for (; end - c >= 8; c += 8) {
            quint64 word;
            std::memcpy(&word, c, 8);
            seen |= word;
            // A byte of `x` is zero where `word` holds a backslash.
            const quint64 x = word ^ kBackslashes;
            backslash |= (x - kOnes) & ~x & kHighs;
        }
        for (; c < end; ++c) {
            seen |= uchar(*c);
            backslash |= *c == '\\';
        }
        if (backslash)
            return Bytes::Escaped;
        return (seen & kHighs) ? Bytes::Wide : Bytes::Ascii;
    }

    // At the opening quote. Escapes are left to QJsonDocument. `ascii`, if
    // given, receives the bytes of a string that is all ASCII, else stays
    // null.
    Quick readString(QString &out, QByteArrayView *ascii = nullptr)
    {
        const char *begin = ++m_p;
        const void *quote = std::memchr(begin, '"', size_t(m_end - begin));
        if (!quote)
            return Quick::Broken;
        m_p = static_cast<const char *>(quote);
        const QByteArrayView bytes(begin, m_p - begin);
        ++m_p;
        const Bytes kind = classify(bytes);
        if (kind == Bytes::Escaped)
            return Quick::Unsure;
        if (kind == Bytes::Ascii) {
            out = m_strings.get(bytes);
            if (ascii)
                *ascii = bytes;
        } else {
            // QString::fromUtf8 would drop a leading U+FEFF; readJson keeps it.
            if (!bytes.isValidUtf8() || bytes.startsWith(kByteOrderMark))
                return Quick::Unsure;
            out = QString::fromUtf8(bytes);
        }
        return Quick::Read;
    }

    // Whether the text goes on with `word` after the current character.
    // QJsonDocument wants one more character after a literal, which an
    // object's closing brace always provides.
    Quick literal(const char *word, qsizetype length)
    {
        ++m_p;
        if (m_end - m_p <= length)
            return Quick::Broken;
        if (QByteArrayView(m_p, length) != QByteArrayView(word, length))
            return Quick::Unsure;
        m_p += length;
        return Quick::Read;
    }

    Quick readValue(QVariant &out)
    {
        Quick r;
        switch (*m_p) {
        case '"': {
            QString text;
            r = readString(text);
            out = text;
            return r;
        }
        case 't':
            r = literal("rue", 3);
            out = true;
            return r;
        case 'f':
            r = literal("alse", 4);
            out = false;
            return r;
        case 'n':
            r = literal("ull", 3);
            out = QVariant::fromValue(nullptr);
            return r;
        default:
            return readInteger(out);
        }
    }

    Quick readInteger(QVariant &out)
    {
        const bool negative = *m_p == '-';
        if (negative)
            ++m_p;
        const char *digits = m_p;
        // Unsigned, so a run too long to use may wrap harmlessly.
        quint64 value = 0;
        while (m_p < m_end && uchar(*m_p - '0') < 10) {
            value = value * 10 + uchar(*m_p - '0');
            ++m_p;
        }
        if (m_p >= m_end)
            return Quick::Broken;
        const qsizetype count = m_p - digits;
        if (count == 0 || count > kMaxQuickDigits || (count > 1 && *digits == '0') || *m_p == '.'
            || *m_p == 'e' || *m_p == 'E')
            return Quick::Unsure;
        out = QVariant(negative ? -qlonglong(value) : qlonglong(value));
        return Quick::Read;
    }

    struct Member {
        QString name;
        QByteArrayView nameBytes; // null unless the name is ASCII
        QVariant value;
    };

    // The members go into the map in the order of their names whenever the
    // names are ASCII, where byte order is QString's order: each then lands
    // at the end of the tree without a search. A repeated name keeps its
    // last value, as in QJsonDocument.
    void fill(QVariantMap &map)
    {
        const qsizetype count = m_members.size();
        bool ascii = true;
        for (qsizetype i = 0; i < count && ascii; ++i)
            ascii = !m_members[i].nameBytes.isNull();
        if (!ascii) {
            for (Member &member : m_members)
                map.insert(member.name, member.value);
            return;
        }
        // Stable, so an equal name stays after the earlier one. The usual
        // few names are sorted in place; many names never cost quadratic
        // time, whatever order the text lists them in.
        QVarLengthArray<Member *, kUsualMembers> order(count);
        const auto byName = [](const Member *a, const Member *b) { return a->nameBytes < b->nameBytes; };
        for (qsizetype i = 0; i < count; ++i)
            order[i] = &m_members[i];
        if (count > kUsualMembers) {
            std::stable_sort(order.begin(), order.end(), byName);
        } else {
            for (qsizetype i = 1; i < count; ++i) {
                Member *const member = order[i];
                qsizetype j = i;
                for (; j > 0 && byName(member, order[j - 1]); --j)
                    order[j] = order[j - 1];
                order[j] = member;
            }
        }
        std::map<QString, QVariant> sorted;
        auto last = sorted.end();
        for (qsizetype i = 0; i < count; ++i) {
            Member &member = *order[i];
            if (i > 0 && member.nameBytes == order[i - 1]->nameBytes)
                last->second = std::move(member.value);
            else
                last = sorted.emplace_hint(sorted.end(), std::move(member.name), std::move(member.value));
        }
        map = QVariantMap(std::move(sorted));
    }

    static constexpr int kUsualMembers = 16;

    const char *m_p;
    const char *m_end;
    ShortStrings &m_strings;
    QVarLengthArray<Member, kUsualMembers> m_members;
};

} // namespace

QVariant JsonDataAccess::loadFromBuffer(const QByteArray &buffer)
{
    QVariantMap map;
    switch (FlatObjectReader(buffer).read(map)) {
    case Quick::Read:
        m_hasError = false;
        return QVariant(std::move(map));
    case Quick::Broken:
        m_hasError = true;
        return QVariant();
    case Quick::Unsure:
        break;
    }
    QJsonParseError error;
    const QJsonDocument doc = zplatform::readJson(buffer, &error);
    m_hasError = (error.error != QJsonParseError::NoError);
    if (m_hasError)
        return QVariant();
    return doc.toVariant();
}

} // namespace data
} // namespace bb
