#include "bb/data/JsonDataAccess.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace bb {
namespace data {

QVariant JsonDataAccess::loadFromBuffer(const QByteArray &buffer)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(buffer, &error);
    m_hasError = (error.error != QJsonParseError::NoError);
    if (m_hasError)
        return QVariant();
    return doc.toVariant();
}

} // namespace data
} // namespace bb
