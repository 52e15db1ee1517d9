#pragma once
// The saved cursor on disk.

#include <QByteArray>
#include <QString>

namespace push {

// "42\n": the digits and one line feed.
QByteArray cursorFileContent(quint64 since);

// Replaces the file through a temporary file in the same folder and a
// rename, so a crash or kill mid-write leaves the old content or the new,
// never an empty or half file.
bool replaceFileContent(const QString &path, const QByteArray &content);

} // namespace push
