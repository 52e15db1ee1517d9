#include "push/env_config.h"

#include <algorithm>

namespace push {

bool parseBoundedInt(const QString &text, int maxValue, int &out)
{
    // Plain decimal digits after an optional sign, nothing else: Qt's
    // conversion would also take blanks around them (a quoted " 1") and stop
    // at a NUL ("7\0junk" as 7).
    const qsizetype from = text.startsWith(u'+') || text.startsWith(u'-') ? 1 : 0;
    if (text.size() <= from
        || !std::all_of(text.begin() + from, text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return false;
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < 0 || number > maxValue)
        return false;
    out = number;
    return true;
}

bool parseU64Digits(const char *begin, const char *end, quint64 &out)
{
    if (begin >= end)
        return false;
    quint64 number = 0;
    for (const char *p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        const quint64 digit = quint64(*p - '0');
        if (number > (~quint64(0) - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    out = number;
    return true;
}

bool parseCursorText(const QByteArray &content, quint64 &out)
{
    const QByteArray digits = content.trimmed();
    return parseU64Digits(digits.constBegin(), digits.constEnd(), out);
}

} // namespace push
