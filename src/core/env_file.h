#pragma once
// The two KEY=value file dialects the service reads, side by side so their
// one difference stays visible: the backend's environment files hand a
// value over exactly as written (quotes included, since the backend may
// want them), while the push settings drop one pair of matching quotes
// around a value (the way such files are usually written by hand).
//
// Both share the rest: a line is trimmed; blank lines, "#" lines and lines
// without a name before their first "=" assign nothing; name and value are
// trimmed; the last assignment of a name wins. Each dialect is a pure
// function on the file's bytes, so it can be checked on any input.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

namespace envfile {

// How much of a file is read at most. Real files are a few lines; a cut
// last line is left out, since it is not the line that was written.
constexpr qsizetype kMaxBackendEnvFileBytes = 1024 * 1024;
constexpr qsizetype kMaxPushSettingsFileBytes = 256 * 1024;

using Assignment = QPair<QString, QString>;

// Backend environment dialect: the assignments in file order. Quotes stay
// part of the value; a line holding a NUL is skipped, since an environment
// entry ends at its first NUL and could not be handed over as written.
QList<Assignment> parseBackendEnv(const QByteArray &content);

// Push settings dialect: one pair of matching quotes (double or single)
// around a value is removed; the last value of a key is kept.
QMap<QString, QString> parsePushSettings(const QByteArray &content);

// Reads a file of either dialect with its size bound: the complete lines
// of at most maxBytes. False when no regular file can be read there.
bool readEnvFile(const QString &path, qsizetype maxBytes, QByteArray &content);

} // namespace envfile
