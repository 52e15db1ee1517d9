#pragma once

#include <QByteArray>
#include <QVariant>

namespace bb {
namespace data {

// Parses one JSON text into a variant: objects become QVariantMap, arrays
// QVariantList; integers that fit in 64 bits stay exact.
class JsonDataAccess
{
public:
    QVariant loadFromBuffer(const QByteArray &buffer);
    bool hasError() const { return m_hasError; }

private:
    bool m_hasError = false;
};

} // namespace data
} // namespace bb
