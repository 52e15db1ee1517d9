#pragma once
// Whether two variants hold the same value with the same types all the way
// down: a qlonglong is not a double that happens to compare equal.

#include <QVariant>

#include <algorithm>

inline bool sameVariant(const QVariant &a, const QVariant &b)
{
    if (a.metaType() != b.metaType())
        return false;
    if (a.metaType().id() == QMetaType::QVariantMap) {
        const QVariantMap x = a.toMap(), y = b.toMap();
        return x.keys() == y.keys()
            && std::all_of(x.keyBegin(), x.keyEnd(), [&](const QString &k) { return sameVariant(x[k], y[k]); });
    }
    if (a.metaType().id() == QMetaType::QVariantList) {
        const QVariantList x = a.toList(), y = b.toList();
        return x.size() == y.size() && std::equal(x.cbegin(), x.cend(), y.cbegin(), sameVariant);
    }
    return a == b;
}
