#pragma once

#include <QByteArray>
#include <QString>

namespace presence {

// Whether a presence file counts as fresh. `firstLine` is what was read of
// the file's first line (null when it could not be opened), `mtimeMs` its
// modification time (0 or less when unknown).
bool isFresh(const QByteArray &firstLine, qint64 mtimeMs, qint64 nowMs, qint64 windowMs);

// Reads the file at `path` and applies isFresh(); false when nothing, or
// something other than a regular file, is there.
bool fileIsFresh(const QString &path, qint64 nowMs, qint64 windowMs);

} // namespace presence
