#pragma once
// Every file the service and the platform open goes through here. Anyone
// may have put anything at a path: a FIFO, a device, a directory, a huge or
// sparse file. So every open is non-blocking (a FIFO can never hold it),
// the kind of file is checked on the open descriptor (never by a separate
// look before the open, which a swap in between would defeat), reads are
// bounded, and whole-file writes go through a new temporary file and a
// rename, so nothing already at the path is ever opened for writing.
// What the service keeps may be private (the login file holds a phone
// number): every folder made here is 0700 and every file 0600, whatever
// the umask.

#include <QByteArray>
#include <QString>

namespace zplatform {

// The first maxBytes of a regular file; *truncated tells whether there was
// more, *mtimeMs (when asked for) its modification time. False when no
// regular file can be read there.
bool readFileHead(const QString &path, qsizetype maxBytes, QByteArray *content, bool *truncated,
                  qint64 *mtimeMs = nullptr);

// Size of a regular file; 0 for anything else (missing, FIFO, directory).
qint64 regularFileSize(const QString &path);

// Replaces the whole file: the content goes to a new temporary file in the
// same folder, which is then renamed over the path, so a reader never sees
// half a file. False (errno set) when it cannot be written (a missing
// folder is created only when asked for).
enum class Folder { MustExist, Create };
bool writeFileAtomically(const QString &path, const QByteArray &content, Folder folder = Folder::MustExist);

// Appends the bytes with one write to a regular file, created when missing
// (concurrent appenders never split each other's lines). A symbolic link or
// anything but a regular file at the path is refused.
bool appendToFile(const QString &path, const QByteArray &bytes);

// Opens a file for a child's output: a regular file, created or emptied, or
// a FIFO somebody reads; -1 (errno set) for anything else, and for a FIFO
// nobody reads (which would block). Close-on-exec: the caller hands it on
// explicitly.
int openOutputFile(const QString &path);

// Creates the folder and every missing one above it, each for its owner
// alone; folders already there are left as they are. False (errno set)
// when one cannot be made or something else is in the way.
bool makePrivatePath(const QString &path);

} // namespace zplatform
