#pragma once

#include <QByteArray>
#include <QString>

namespace hubopen {

// The content of the hub open request file for one request.
QByteArray compose(const QString &screen, qint64 chatId, const QString &reason, qint64 nowMs);

} // namespace hubopen
