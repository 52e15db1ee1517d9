#include "files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zplatform {

bool writeFileAtomically(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(content) != content.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool appendJsonLine(const QString &path, const QJsonObject &object)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    line.append('\n');
    // O_APPEND and one write: concurrent appenders never split a line.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    ::close(fd);
    return written == line.size();
}

namespace {
// Opens a regular file for reading; -1 for anything else. Non-blocking, so
// a FIFO in the file's place cannot hold the open.
int openRegular(const QString &path, struct stat *st)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

bool readFileHead(const QString &path, qsizetype maxBytes, QByteArray *content, bool *truncated)
{
    content->clear();
    *truncated = false;
    struct stat st {};
    const int fd = openRegular(path, &st);
    if (fd < 0)
        return false;
    // One byte more than allowed tells a full file from a longer one.
    QByteArray buffer(maxBytes + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < buffer.size()) {
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
    const int fd = openRegular(path, &st);
    if (fd < 0)
        return 0;
    ::close(fd);
    return qint64(st.st_size);
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
