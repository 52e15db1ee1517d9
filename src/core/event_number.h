#pragma once
// Reading a number member of a backend event, the one way every handler and
// helper reads one: the events come from another program, so any JSON value
// may stand where a number is expected.

#include <QString>
#include <QVariant>

#include <cmath>
#include <limits>

namespace eventnumber {

// A 64-bit member as every handler reads it: a JSON integer exactly, a whole
// JSON number, a string of decimal digits between blanks; anything else is 0.
inline qint64 toInt64(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong();
        return u > qulonglong(std::numeric_limits<qint64>::max()) ? 0 : qint64(u);
    }
    case QMetaType::Double: {
        // Converting an out-of-range double is undefined, and a fraction
        // names no id: anything but a whole number in range is absent.
        const double d = value.toDouble();
        if (!std::isfinite(d) || d != std::trunc(d) || d <= -9.2e18 || d >= 9.2e18)
            return 0;
        return qint64(d);
    }
    case QMetaType::QString: {
        // Qt's conversion stops at a NUL, so "12\u0000x" would read as 12.
        const QString text = value.toString();
        if (text.contains(QChar(0)))
            return 0;
        bool ok = false;
        const qint64 v = text.trimmed().toLongLong(&ok, 10);
        return ok ? v : 0;
    }
    default:
        return 0;
    }
}

// The same for a 32-bit member; a value outside int is 0.
inline int toInt32(const QVariant &value)
{
    const qint64 v = toInt64(value);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return 0;
    return int(v);
}

} // namespace eventnumber
