#pragma once
// File helpers of the embedded platform, on top of the project's one reader
// and writer.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "zunaro/files.h"

namespace zplatform {

// Appends one compact JSON line. False when it cannot be written.
bool appendJsonLine(const QString &path, const QJsonObject &object);

enum class SmallFile { Absent, Unreadable, TooLarge, Read };

// Reads a file someone else may have put anything at: only a regular file
// is read (a FIFO or a directory is Unreadable, never waited on), and at
// most maxBytes of it; a longer one is TooLarge.
SmallFile readSmallFile(const QString &path, qsizetype maxBytes, QByteArray *content);

} // namespace zplatform
