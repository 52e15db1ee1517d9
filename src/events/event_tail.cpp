// Following the backend's events file: each pass reads what was appended
// since the last one and hands every complete line to its handler.

#include "events/event_tail.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calls/call_logic.h"
#include "events/event_reader.h"
#include "service_main.h"
#include "zunaro/log.h"

namespace eventtail {

namespace {
bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

QByteArray prepareLine(QByteArrayView raw)
{
    qsizetype begin = 0;
    qsizetype end = raw.size();
    while (begin < end && isAsciiSpace(raw[begin]))
        ++begin;
    while (end > begin && isAsciiSpace(raw[end - 1]))
        --end;
    const QByteArrayView line = raw.sliced(begin, end - begin);
    const LineBytes bytes = line.isEmpty() ? LineBytes::Nul : classifyBytes(line);
    if (bytes == LineBytes::Nul)
        return QByteArray();
    // Non-ASCII white space at either end, or broken UTF-8: go through the
    // decoder, as the text would be read.
    if (bytes == LineBytes::Broken || (bytes == LineBytes::Utf8 && (uchar(line.front()) >= 0x80 || uchar(line.back()) >= 0x80)))
        return QString::fromUtf8(line).trimmed().toUtf8();
    return QByteArray::fromRawData(line.data(), line.size());
}

bool couldDispatch(QByteArrayView line)
{
    const char *const begin = line.data();
    const size_t size = size_t(line.size());
    // Every name has an underscore near its start, and underscores are
    // rare, so the names are only compared where one is.
    for (const char *p = begin; (p = static_cast<const char *>(std::memchr(p, '_', size - size_t(p - begin))));
         ++p) {
        const size_t at = size_t(p - begin);
        for (const EventTypeName &known : kEventTypes) {
            if (at >= known.underscore && size - (at - known.underscore) >= known.name.size()
                && std::memcmp(p - known.underscore, known.name.data(), known.name.size()) == 0)
                return true;
        }
    }
    return std::memchr(begin, '\\', size) != nullptr;
}

void dropCarriageReturns(QByteArray &bytes)
{
    if (!bytes.contains('\r'))
        return;
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
}

bool exceedsValues(QByteArrayView line, int maxValues)
{
    if (line.size() <= maxValues)
        return false;
    int values = 0;
    bool inString = false;
    for (qsizetype i = 0, n = line.size(); i < n; ++i) {
        const char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if ((c == ',' || c == '[' || c == '{') && ++values > maxValues) {
            return true;
        }
    }
    return false;
}

namespace {
// A regular file open for reading, with the size it had when looked at.
// Only a regular file is read: a FIFO or a device in its place must not
// block the service.
class EventsFile
{
public:
    // Takes `fd` (or -1) over.
    explicit EventsFile(int fd) : m_fd(fd)
    {
        struct stat st;
        if (m_fd >= 0 && (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd >= 0) {
            m_size = st.st_size;
            m_identity = { quint64(st.st_dev), quint64(st.st_ino) };
        }
    }
    explicit EventsFile(const QString &path)
        : EventsFile(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~EventsFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    EventsFile(const EventsFile &) = delete;
    EventsFile &operator=(const EventsFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    qint64 size() const { return m_size; }
    QPair<quint64, quint64> identity() const { return m_identity; }

    // Where the next written bytes at or after `offset` begin: past a hole,
    // which holds only zeros, or the size when only a hole is left.
    qint64 nextData(qint64 offset) const
    {
        const off_t data = ::lseek(m_fd, off_t(offset), SEEK_DATA);
        if (data >= 0)
            return qMin(qint64(data), m_size);
        return errno == ENXIO ? m_size : offset;
    }

    // Reads up to `length` bytes at `offset` into `buffer`; the count read,
    // 0 at the end of the file, -1 on an error.
    qint64 readAt(qint64 offset, qint64 length, QByteArray &buffer) const
    {
        buffer.resize(length);
        ssize_t n;
        do {
            n = ::pread(m_fd, buffer.data(), size_t(length), off_t(offset));
        } while (n < 0 && errno == EINTR);
        buffer.resize(n > 0 ? n : 0);
        return n;
    }

    // Whether the file still begins with `head`.
    bool beginsWith(const QByteArray &head) const
    {
        QByteArray bytes;
        return readAt(0, head.size(), bytes) == head.size() && bytes == head;
    }

private:
    int m_fd = -1;
    qint64 m_size = 0;
    QPair<quint64, quint64> m_identity;
};

// Holds the file the offset counts in open (`fd`, or none for -1) in
// `held`, in place of the one held before. While it is held no other file
// can be given its inode number: a file at the path with the same device
// and inode is this very file, moved away and back, and is read on where it
// was left. A deleted file is held until another one takes its path.
void holdFile(int &held, int fd)
{
    if (held >= 0)
        ::close(held);
    held = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
}

// Appends to `head`, the file's first bytes as read, what a read of `bytes`
// at `offset` adds to them, up to the bound.
void extendHead(QByteArray &head, qint64 offset, QByteArrayView bytes)
{
    if (offset == head.size() && offset < kHeadBytes)
        head.append(bytes.first(qMin(qint64(bytes.size()), kHeadBytes - offset)));
}
} // namespace

} // namespace eventtail

void ZunaroHeadlessService::setUpTail()
{
    tail.eventsFilePath = dataDir + QStringLiteral("/backend_events.jsonl");
    // Whatever the events file holds already is history: only lines appended
    // from now on are read.
    // (Something other than a regular file there counts as unreadable: a
    // FIFO must not hold start-up.)
    skipExistingEvents();
    setUpEventsWatch();
    // An idle tick sleeps; whatever the backend's events bring wakes it.
    if (tail.eventsWatcher) {
        connect(tail.eventsWatcher, &QFileSystemWatcher::fileChanged, this, &ZunaroHeadlessService::wakeTick);
        connect(tail.eventsWatcher, &QFileSystemWatcher::directoryChanged, this, &ZunaroHeadlessService::wakeTick);
    }
    // In push mode this timer runs the tick.
    tail.eventsTailTimer = new QTimer(this);
    tail.eventsTailTimer->setInterval(750);
    connect(tail.eventsTailTimer, &QTimer::timeout, this, &ZunaroHeadlessService::onEventsTailTick);
}

void ZunaroHeadlessService::skipExistingEvents()
{
    const eventtail::EventsFile file(tail.eventsFilePath);
    tail.eventsFileOffset = file.size();
    tail.eventsFileIdentity = file.identity();
    eventtail::holdFile(tail.eventsFileHeldFd, file.fd());
    tail.eventsFileHead.clear();
    if (file.isOpen())
        file.readAt(0, qMin(file.size(), eventtail::kHeadBytes), tail.eventsFileHead);
    tail.eventsPartialLine.clear();
    tail.eventsLongLineSkipOffset = -1;
}

void ZunaroHeadlessService::restartEventsFile()
{
    tail.eventsFileOffset = 0;
    tail.eventsFileHead.clear();
    tail.eventsPartialLine.clear();
    tail.eventsLongLineSkipOffset = -1;
}

void ZunaroHeadlessService::tailBackendEvents()
{
    if (tail.eventsFilePath.isEmpty())
        return;
    // The path is looked at first: whatever was appended to the held file
    // before another one took its place is then read below, before the
    // switch. Nothing at the path (moved away, deleted): the held file is
    // still read, and followed should it come back.
    const eventtail::EventsFile atPath(tail.eventsFilePath);
    if (tail.eventsFileHeldFd >= 0 && !readHeldEventsFile())
        return;
    if (!atPath.isOpen() || atPath.identity() == tail.eventsFileIdentity)
        return;
    // Another file in its place (renamed over it, or created after the old
    // one was deleted): read from its beginning.
    tail.eventsFileIdentity = atPath.identity();
    eventtail::holdFile(tail.eventsFileHeldFd, atPath.fd());
    restartEventsFile();
    if (tail.eventsFileHeldFd >= 0)
        readHeldEventsFile();
}

bool ZunaroHeadlessService::readHeldEventsFile()
{
    const eventtail::EventsFile file(::fcntl(tail.eventsFileHeldFd, F_DUPFD_CLOEXEC, 3));
    if (!file.isOpen())
        return true;
    // Cut short, or written anew from its start: the offset and the partial
    // line belonged to what was there before. A file that only grew still
    // begins with the bytes read from it.
    if (file.size() < tail.eventsFileOffset || tail.eventsFileOffset < 0 || !file.beginsWith(tail.eventsFileHead))
        restartEventsFile();
    // What is appended while this pass runs waits for the next one, so a
    // busy writer cannot keep the pass going.
    const qint64 end = file.size();
    if (tail.eventsFileOffset >= end) {
        tail.eventsReadBuffer = QByteArray();
        return true;
    }

    tail.eventsPassUiRunning = isUiRunningActive() ? 1 : 0;
    eventtail::LineAssembly assembly { std::move(tail.eventsPartialLine), tail.eventsLongLineSkipOffset == tail.eventsFileOffset };
    QByteArray &chunk = tail.eventsReadBuffer;
    qint64 budget = eventtail::kMaxPassBytes;
    while (tail.eventsFileOffset < end && budget > 0) {
        const qint64 data = file.nextData(tail.eventsFileOffset);
        if (data > tail.eventsFileOffset) {
            // A hole reads as zeros, and a line with a NUL byte is never an
            // event: the line it falls in is dropped without reading them.
            assembly.partial.clear();
            assembly.skipping = true;
            tail.eventsFileOffset = data;
            continue;
        }
        const qint64 n = file.readAt(tail.eventsFileOffset, qMin(qMin(eventtail::kReadChunkBytes, budget), end - tail.eventsFileOffset),
                                     chunk);
        if (n <= 0)
            break;
        eventtail::extendHead(tail.eventsFileHead, tail.eventsFileOffset, chunk);
        tail.eventsFileOffset += n;
        budget -= n;
        eventtail::dropCarriageReturns(chunk);
        eventtail::splitLines(
            assembly, chunk, eventtail::kMaxLineBytes,
            [this](QByteArrayView line) { dispatchBackendEvent(line); },
            [] {
                zplatform::logLine("service: events line longer than %lld bytes dropped\n",
                                  static_cast<long long>(eventtail::kMaxLineBytes));
            });
    }
    tail.eventsPartialLine = std::move(assembly.partial);
    tail.eventsLongLineSkipOffset = assembly.skipping ? tail.eventsFileOffset : -1;
    tail.eventsPassUiRunning = -1;
    // A pass that stopped at its bound leaves the rest to the next turn of
    // the event loop, not to the tick, and keeps its buffer for it.
    if (budget <= 0 && tail.eventsFileOffset < end) {
        queueEventsPass();
        return false;
    }
    chunk = QByteArray();
    return true;
}

void ZunaroHeadlessService::setUpEventsWatch()
{
    // The folder too: a file created, or renamed into place, later is seen.
    tail.eventsWatcher = new QFileSystemWatcher(this);
    if (!tail.eventsWatcher->addPath(dataDir)) {
        zplatform::logLine("service: events file watch unavailable; reading it on the tick only\n");
        delete tail.eventsWatcher;
        tail.eventsWatcher = nullptr;
        return;
    }
    connect(tail.eventsWatcher, &QFileSystemWatcher::fileChanged, this, &ZunaroHeadlessService::queueEventsPass);
    connect(tail.eventsWatcher, &QFileSystemWatcher::directoryChanged, this, &ZunaroHeadlessService::queueEventsPass);
    watchEventsFile();
}

void ZunaroHeadlessService::watchEventsFile()
{
    if (tail.eventsWatcher && !tail.eventsWatcher->files().contains(tail.eventsFilePath) && QFileInfo::exists(tail.eventsFilePath))
        tail.eventsWatcher->addPath(tail.eventsFilePath);
}

void ZunaroHeadlessService::queueEventsPass()
{
    // However many changes arrive meanwhile, one pass runs for them.
    if (tail.eventsPassQueued)
        return;
    tail.eventsPassQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            tail.eventsPassQueued = false;
            watchEventsFile();
            // A stopped service has no tick reading the file either.
            if (serviceActive)
                tailBackendEvents();
        },
        Qt::QueuedConnection);
}

bool ZunaroHeadlessService::uiRunningForEvents() const
{
    return tail.eventsPassUiRunning < 0 ? isUiRunningActive() : tail.eventsPassUiRunning == 1;
}

void ZunaroHeadlessService::dispatchBackendEvent(QByteArrayView rawLine)
{
    const QByteArray line = eventtail::prepareLine(rawLine);
    if (line.isEmpty() || !eventtail::couldDispatch(line))
        return;
    if (eventtail::exceedsValues(line, eventtail::kMaxLineValues)) {
        zplatform::logLine("service: events line with more than %d values dropped\n", eventtail::kMaxLineValues);
        return;
    }
    eventtail::Event event;
    if (!eventtail::readEvent(line, event))
        return;
    switch (event.type) {
    case eventtail::EventType::HubNotifyMessage:
    {
        QString title, sender, text;
        enqueueHubSummaryMessage({ eventtail::toInt64(event.chatId), eventtail::toInt64(event.date),
                                   eventtail::toTextView(event.chatTitle, title),
                                   eventtail::toTextView(event.senderName, sender),
                                   eventtail::toTextView(event.text, text) });
        break;
    }
    case eventtail::EventType::ChatUnread:
        applyChatUnread(eventtail::toInt64(event.chatId), eventtail::toInt32(event.unreadCount));
        break;
    case eventtail::EventType::CallUpdate:
        handleCallUpdate(calls::parseCallUpdate(event));
        break;
    case eventtail::EventType::Other:
        break;
    }
}
