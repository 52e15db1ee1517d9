#include "files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zplatform {

namespace {
// Opens with the given flags (non-blocking added) and keeps the descriptor
// only when it is a regular file; -1 otherwise, with errno saying why.
int openRegular(const QByteArray &path, int flags, struct stat *st, mode_t mode = 0600)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}
} // namespace

bool readFileHead(const QString &path, qsizetype maxBytes, QByteArray *content, bool *truncated, qint64 *mtimeMs)
{
    content->clear();
    *truncated = false;
    struct stat st {};
    const int fd = openRegular(QFile::encodeName(path), O_RDONLY, &st);
    if (fd < 0)
        return false;
    if (mtimeMs)
        *mtimeMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    // One byte more than allowed tells a full file from a longer one; the
    // buffer never grows past what the file holds, so a large bound costs
    // nothing for a small file.
    QByteArray buffer(qMin<qint64>(maxBytes + 1, qint64(st.st_size) + 1), Qt::Uninitialized);
    qsizetype got = 0;
    for (;;) {
        if (got == buffer.size()) {
            if (got > maxBytes)
                break;
            // The file grew since it was opened.
            buffer.resize(qMin<qint64>(maxBytes + 1, qint64(got) * 2 + 4096));
        }
        const ssize_t n = ::read(fd, buffer.data() + got, size_t(buffer.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    *truncated = got > maxBytes;
    buffer.truncate(qMin(got, maxBytes));
    *content = buffer;
    return true;
}

qint64 regularFileSize(const QString &path)
{
    struct stat st {};
    const int fd = openRegular(QFile::encodeName(path), O_RDONLY, &st);
    if (fd < 0)
        return 0;
    ::close(fd);
    return qint64(st.st_size);
}

bool writeFileAtomically(const QString &path, const QByteArray &content, Folder folder)
{
    if (folder == Folder::Create)
        makePrivatePath(QFileInfo(path).absolutePath());
    const QByteArray target = QFile::encodeName(path);
    // mkostemp creates a file that did not exist (O_EXCL): whatever sits at
    // the target, it is never opened; the rename replaces it.
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // mkostemp makes it 0600 already; said here so that it stays so.
    const bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, content.constData(), content.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(temporary.constData());
        errno = err;
        return false;
    }
    return true;
}

bool appendToFile(const QString &path, const QByteArray &bytes)
{
    struct stat st {};
    const int fd = openRegular(QFile::encodeName(path), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, &st);
    if (fd < 0)
        return false;
    // One write: O_APPEND places it whole at the end.
    const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
    ::close(fd);
    return written == bytes.size();
}

int openOutputFile(const QString &path)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(),
                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st {};
    bool usable = ::fstat(fd, &st) == 0;
    if (usable && S_ISREG(st.st_mode)) {
        // Emptied only once it is known to be a regular file: O_TRUNC at the
        // open would act on whatever is there. One left by an older service
        // open to others is closed to them (a file of somebody else's stays
        // as it is).
        usable = ::ftruncate(fd, 0) == 0;
        if (usable && st.st_uid == ::geteuid())
            ::fchmod(fd, 0600);
    } else if (usable && S_ISFIFO(st.st_mode)) {
        // A FIFO opens without blocking only while someone reads it (no
        // reader: ENXIO), so somebody collects the output on purpose. The
        // child writes to it as to any pipe.
        const int flags = ::fcntl(fd, F_GETFL);
        usable = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    } else {
        errno = EINVAL;
        usable = false;
    }
    if (!usable) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool makePrivatePath(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    const QByteArray encoded = QFile::encodeName(clean);
    int made = ::mkdir(encoded.constData(), 0700);
    if (made != 0 && errno == ENOENT) {
        const QString parent = QFileInfo(clean).path();
        if (parent == clean || !makePrivatePath(parent))
            return false;
        made = ::mkdir(encoded.constData(), 0700);
    }
    // A umask may take even the owner's bits.
    if (made == 0)
        return ::chmod(encoded.constData(), 0700) == 0;
    if (errno != EEXIST)
        return false;
    struct stat st {};
    if (::stat(encoded.constData(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool appendJsonLine(const QString &path, const QJsonObject &object)
{
    makePrivatePath(QFileInfo(path).absolutePath());
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    line.append('\n');
    return appendToFile(path, line);
}

SmallFile readSmallFile(const QString &path, qsizetype maxBytes, QByteArray *content)
{
    bool truncated = false;
    if (!readFileHead(path, maxBytes, content, &truncated))
        return QFileInfo::exists(path) ? SmallFile::Unreadable : SmallFile::Absent;
    if (truncated) {
        content->clear();
        return SmallFile::TooLarge;
    }
    return SmallFile::Read;
}

} // namespace zplatform
