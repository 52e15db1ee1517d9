#pragma once
// Reading files that anyone may have put anything at: only regular files are
// read (a FIFO is never waited on, a directory never read), and only up to a
// bound.

#include <QByteArray>
#include <QString>

namespace zplatform {

// The first maxBytes of a regular file; *truncated tells whether there was
// more. False when nothing readable is there.
bool readFileHead(const QString &path, qsizetype maxBytes, QByteArray *content, bool *truncated);

// Size of a regular file; 0 for anything else (missing, FIFO, directory).
qint64 regularFileSize(const QString &path);

} // namespace zplatform
