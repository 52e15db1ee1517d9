#pragma once
// Cutting text for a bounded place (a summary line, a notification line, a
// log entry) without splitting a character: half a surrogate pair would not
// encode, and would show as a replacement sign.

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
