#include "bb/data/JsonDataAccess.h"

#include <QJsonDocument>
#include <QJsonParseError>

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

// The integers read here have at most this many digits, which always fit
// in 64 bits; longer ones may become doubles and are left to QJsonDocument.
constexpr int kMaxQuickDigits = 18;

class FlatObjectReader
{
public:
    explicit FlatObjectReader(const QByteArray &text)
        : m_p(text.constData()), m_end(text.constData() + text.size())
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
            QString key;
            Quick r = readString(key);
            if (r != Quick::Read)
                return r;
            if (!skipSpace())
                return Quick::Broken;
            if (*m_p != ':')
                return Quick::Unsure;
            ++m_p;
            if (!skipSpace())
                return Quick::Broken;
            QVariant value;
            r = readValue(value);
            if (r != Quick::Read)
                return r;
            // A repeated name keeps its last value, as in QJsonDocument.
            map.insert(key, value);
            if (!skipSpace())
                return Quick::Broken;
            if (*m_p == '}') {
                ++m_p;
                return finish();
            }
            if (*m_p != ',')
                return Quick::Unsure;
            ++m_p;
            if (!skipSpace())
                return Quick::Broken;
        }
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

    // At the opening quote. Escapes are left to QJsonDocument.
    Quick readString(QString &out)
    {
        const char *begin = ++m_p;
        bool ascii = true;
        while (m_p < m_end && *m_p != '"') {
            const uchar c = uchar(*m_p);
            if (c == '\\')
                return Quick::Unsure;
            ascii = ascii && c < 0x80;
            ++m_p;
        }
        if (m_p >= m_end)
            return Quick::Broken;
        const QByteArrayView bytes(begin, m_p - begin);
        ++m_p;
        if (ascii) {
            out = QString::fromLatin1(bytes);
        } else {
            if (!bytes.isValidUtf8())
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
        while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        if (m_p >= m_end)
            return Quick::Broken;
        const qsizetype count = m_p - digits;
        if (count == 0 || count > kMaxQuickDigits || (count > 1 && *digits == '0') || *m_p == '.'
            || *m_p == 'e' || *m_p == 'E')
            return Quick::Unsure;
        qint64 value = 0;
        for (const char *d = digits; d < m_p; ++d)
            value = value * 10 + (*d - '0');
        out = QVariant(qlonglong(negative ? -value : value));
        return Quick::Read;
    }

    const char *m_p;
    const char *m_end;
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
    const QJsonDocument doc = QJsonDocument::fromJson(buffer, &error);
    m_hasError = (error.error != QJsonParseError::NoError);
    if (m_hasError)
        return QVariant();
    return doc.toVariant();
}

} // namespace data
} // namespace bb
