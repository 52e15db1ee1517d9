#pragma once
// Cutting text for a bounded place (a summary line, a notification line, a
// log entry) without splitting a character: half a surrogate pair would not
// encode, and would show as a replacement sign.

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace zplatform {

// The longest start of `text` of at most `maxUnits` UTF-16 units that ends
// on a character boundary: a surrogate pair is kept or left out whole.
inline QStringView leftWhole(QStringView text, qsizetype maxUnits)
{
    if (maxUnits <= 0)
        return text.first(0);
    if (text.size() <= maxUnits)
        return text;
    return text.first(text.at(maxUnits - 1).isHighSurrogate() ? maxUnits - 1 : maxUnits);
}

// The same for UTF-8 bytes: the longest start of at most `maxBytes` bytes
// that does not end inside a character.
inline qsizetype utf8WholeLength(const QByteArray &text, qsizetype maxBytes)
{
    if (text.size() <= maxBytes)
        return text.size();
    qsizetype keep = qMax<qsizetype>(maxBytes, 0);
    for (int back = 0; back < 3 && keep > 0 && (uchar(text.at(keep)) & 0xc0) == 0x80; ++back)
        --keep;
    return keep;
}

// `text` itself when it fits in `maxUnits` units; else its whole-character
// start of that many units followed by an ellipsis (U+2026), one unit more.
inline QString elided(const QString &text, qsizetype maxUnits)
{
    if (text.size() <= maxUnits)
        return text;
    QString cut = leftWhole(text, maxUnits).toString();
    cut += QChar(0x2026);
    return cut;
}

} // namespace zplatform
