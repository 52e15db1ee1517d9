#pragma once
// File helpers of the embedded platform.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace platform {

// Writes the whole file through a temporary file in the same folder and a
// rename, creating the folder when missing. False when it cannot be written.
bool writeFileAtomically(const QString &path, const QByteArray &content);

// Appends one compact JSON line. False when it cannot be written.
bool appendJsonLine(const QString &path, const QJsonObject &object);

} // namespace platform
