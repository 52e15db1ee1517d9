// Following the backend's events file: each pass reads what was appended
// since the last one and hands every complete line to its handler.

#include "events/event_tail.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bb/data/JsonDataAccess.h"
#include "service_main.h"
#include "zunaro/log.h"

namespace eventtail {

qint64 toInt64(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong();
        return u > qulonglong(std::numeric_limits<qint64>::max()) ? 0 : qint64(u);
    }
    case QMetaType::Double: {
        // Converting an out-of-range double is undefined, and a fraction
        // names no id: anything but a whole number in range is absent.
        const double d = value.toDouble();
        if (!std::isfinite(d) || d != std::trunc(d) || d <= -9.2e18 || d >= 9.2e18)
            return 0;
        return qint64(d);
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 v = value.toString().trimmed().toLongLong(&ok, 10);
        return ok ? v : 0;
    }
    default:
        return 0;
    }
}

int toInt32(const QVariant &value)
{
    const qint64 v = toInt64(value);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return 0;
    return int(v);
}

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
    if (line.isEmpty() || std::memchr(line.data(), 0, size_t(line.size())))
        return QByteArray();
    // Non-ASCII white space at either end, or broken UTF-8: go through the
    // decoder, as the text would be read.
    if (uchar(line.front()) >= 0x80 || uchar(line.back()) >= 0x80 || !line.isValidUtf8())
        return QString::fromUtf8(line).trimmed().toUtf8();
    return QByteArray::fromRawData(line.data(), line.size());
}

bool couldDispatch(QByteArrayView line)
{
    if (line.contains('\\'))
        return true;
    // Every name has its first underscore three or four bytes in, and
    // underscores are rare, so the names are only compared where one is.
    const auto nameAt = [line](qsizetype at, QByteArrayView name) {
        return at >= 0 && line.size() - at >= name.size() && line.sliced(at, name.size()) == name;
    };
    const char *const begin = line.data();
    const char *const end = begin + line.size();
    for (const char *p = begin; p < end; ++p) {
        p = static_cast<const char *>(std::memchr(p, '_', size_t(end - p)));
        if (!p)
            return false;
        const qsizetype at = p - begin;
        if (nameAt(at - 3, "hub_notify_message") || nameAt(at - 4, "chat_unread")
            || nameAt(at - 4, "call_update"))
            return true;
    }
    return false;
}

void dropCarriageReturns(QByteArray &bytes)
{
    if (!bytes.contains('\r'))
        return;
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
}

int incompleteUtf8Tail(QByteArrayView bytes)
{
    // Walk back over at most three continuation bytes to the lead byte.
    for (int back = 1; back <= 4 && back <= bytes.size(); ++back) {
        const uchar c = uchar(bytes[bytes.size() - back]);
        if ((c & 0xC0) == 0x80)
            continue;
        int needed = 1;
        if ((c & 0xE0) == 0xC0)
            needed = 2;
        else if ((c & 0xF0) == 0xE0)
            needed = 3;
        else if ((c & 0xF8) == 0xF0)
            needed = 4;
        return back < needed ? back : 0;
    }
    return 0;
}

namespace {
// The events file, open for reading as long as it lives. Only a regular
// file is read: a FIFO or a device in its place must not block the service.
class EventsFile
{
public:
    explicit EventsFile(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (m_fd >= 0 && (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd >= 0)
            m_size = st.st_size;
    }
    ~EventsFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    EventsFile(const EventsFile &) = delete;
    EventsFile &operator=(const EventsFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    qint64 size() const { return m_size; }

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

private:
    int m_fd = -1;
    qint64 m_size = 0;
};
} // namespace

} // namespace eventtail

void ZunaroHeadlessService::tailBackendEvents()
{
    if (eventsFilePath.isEmpty())
        return;
    const eventtail::EventsFile file(eventsFilePath);
    if (!file.isOpen())
        return;
    if (file.size() < eventsFileOffset || eventsFileOffset < 0) {
        eventsFileOffset = 0;
        eventsPartialLine.clear();
    }
    // What is appended while this pass runs waits for the next one, so a
    // busy writer cannot keep the pass going.
    const qint64 end = file.size();
    if (eventsFileOffset >= end)
        return;

    eventsPassUiRunning = isUiRunningActive() ? 1 : 0;
    eventtail::LineAssembly assembly { eventsPartialLine.toUtf8(),
                                       eventsLongLineSkipOffset == eventsFileOffset };
    QByteArray chunk;
    int unfinishedCharBytes = 0;
    while (eventsFileOffset < end) {
        const qint64 n = file.readAt(eventsFileOffset, qMin(eventtail::kReadChunkBytes, end - eventsFileOffset), chunk);
        if (n <= 0)
            break;
        eventsFileOffset += n;
        unfinishedCharBytes = eventtail::incompleteUtf8Tail(chunk);
        eventtail::dropCarriageReturns(chunk);
        eventtail::splitLines(
            assembly, chunk, eventtail::kMaxLineBytes,
            [this](QByteArrayView line) { dispatchBackendEvent(line); },
            [] {
                zplatform::logLine("service: events line longer than %lld bytes dropped\n",
                                  static_cast<long long>(eventtail::kMaxLineBytes));
            });
    }
    // A character the writer has only half written is read again, whole,
    // by the next pass.
    if (!assembly.skipping && unfinishedCharBytes > 0 && assembly.partial.size() >= unfinishedCharBytes) {
        assembly.partial.chop(unfinishedCharBytes);
        eventsFileOffset -= unfinishedCharBytes;
    }
    eventsPartialLine = QString::fromUtf8(assembly.partial);
    eventsLongLineSkipOffset = assembly.skipping ? eventsFileOffset : -1;
    eventsPassUiRunning = -1;
}

bool ZunaroHeadlessService::uiRunningForEvents() const
{
    return eventsPassUiRunning < 0 ? isUiRunningActive() : eventsPassUiRunning == 1;
}

void ZunaroHeadlessService::dispatchBackendEvent(QByteArrayView rawLine)
{
    const QByteArray line = eventtail::prepareLine(rawLine);
    if (line.isEmpty() || !eventtail::couldDispatch(line))
        return;
    bb::data::JsonDataAccess json;
    const QVariant parsed = json.loadFromBuffer(line);
    if (json.hasError() || parsed.metaType().id() != QMetaType::QVariantMap)
        return;
    const QVariantMap event = parsed.toMap();
    const QString type = event.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("hub_notify_message")) {
        enqueueHubSummaryMessage(event);
    } else if (type == QLatin1String("chat_unread")) {
        applyChatUnread(eventtail::toInt64(event.value(QStringLiteral("chat_id"))),
                        eventtail::toInt32(event.value(QStringLiteral("unread_count"))));
    } else if (type == QLatin1String("call_update")) {
        handleCallUpdate(event);
    }
}
