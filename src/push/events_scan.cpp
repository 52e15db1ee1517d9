#include "push/events_scan.h"

#include <cstring>
#include <string.h>

#include "push/env_config.h"

namespace push {

namespace {
// glibc's memmem is vectorised; answers can be megabytes long.
qsizetype find(QByteArrayView haystack, qsizetype from, const char *needle, size_t needleLen)
{
    if (from >= haystack.size())
        return -1;
    const void *hit = memmem(haystack.data() + from, size_t(haystack.size() - from), needle, needleLen);
    return hit ? static_cast<const char *>(hit) - haystack.data() : -1;
}

bool isJsonBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isCSpace(char c)
{
    return isJsonBlank(c) || c == '\v' || c == '\f';
}

// strtoull's reading of a number, bounded by `end` and without its habit of
// negating a leading minus: an id like "-1" must not turn into a huge cursor.
// Returns the end of the digits, or nullptr when no valid number starts here.
const char *readId(const char *p, const char *end, quint64 &out)
{
    while (p < end && isCSpace(*p))
        ++p;
    if (p < end && *p == '+')
        ++p;
    const char *digits = p;
    while (p < end && *p >= '0' && *p <= '9')
        ++p;
    return parseU64Digits(digits, p, out) ? p : nullptr;
}

constexpr char kEventsKey[] = "\"events\":[";
constexpr char kIdKey[] = "\"id\":";
} // namespace

bool extractU64(QByteArrayView body, const char *name, quint64 &out)
{
    const size_t nameLen = strlen(name);
    QByteArray key;
    key.reserve(qsizetype(nameLen) + 3);
    key.append('"').append(name, qsizetype(nameLen)).append("\":");
    const qsizetype at = find(body, 0, key.constData(), size_t(key.size()));
    if (at < 0)
        return false;
    const char *p = body.data() + at + key.size();
    const char *end = body.data() + body.size();
    while (p < end && isJsonBlank(*p))
        ++p;
    const bool quoted = p < end && *p == '"';
    if (quoted)
        ++p;
    const char *digits = p;
    while (p < end && *p >= '0' && *p <= '9')
        ++p;
    if (quoted && (p >= end || *p != '"'))
        return false;
    return parseU64Digits(digits, p, out);
}

EventsScan scanEvents(QByteArrayView body, quint64 since)
{
    EventsScan scan;
    scan.best = since;
    const qsizetype keyAt = find(body, 0, kEventsKey, sizeof kEventsKey - 1);
    if (keyAt < 0)
        return scan;
    const qsizetype first = keyAt + qsizetype(sizeof kEventsKey - 1);
    const qsizetype close = find(body, first, "]", 1);
    if (close < 0) {
        scan.status = EventsScan::UnterminatedEvents;
        return scan;
    }
    scan.status = EventsScan::Accepted;

    const QByteArrayView slice = body.sliced(first, close - first);
    const char *end = slice.data() + slice.size();
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = find(slice, from, kIdKey, sizeof kIdKey - 1);
        if (at < 0)
            break;
        quint64 id = 0;
        const char *after = readId(slice.data() + at + qsizetype(sizeof kIdKey - 1), end, id);
        if (!after) {
            from = at + 1;
            continue;
        }
        ++scan.count;
        if (id > scan.best)
            scan.best = id;
        from = after - slice.data();
    }

    quint64 nextSince = 0;
    if (extractU64(body, "next_since", nextSince) && nextSince > scan.best)
        scan.best = nextSince;
    return scan;
}

} // namespace push
