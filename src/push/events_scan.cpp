#include "push/events_scan.h"

#include <cstring>
#include <string.h>

#include "push/env_config.h"

namespace push {

namespace {
// glibc's memchr is vectorised; answers can be megabytes long.
const char *findByte(const char *from, const char *end, char c)
{
    return from < end ? static_cast<const char *>(memchr(from, c, size_t(end - from))) : nullptr;
}

const char *findText(const char *from, const char *end, const char *needle, size_t needleLen)
{
    return from < end ? static_cast<const char *>(memmem(from, size_t(end - from), needle, needleLen)) : nullptr;
}

bool isJsonBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isCSpace(char c)
{
    return isJsonBlank(c) || c == '\v' || c == '\f';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Nineteen decimal digits always fit in 64 bits, so ordinary ids skip the
// per-digit overflow test; longer runs take the careful conversion.
bool digitsToU64(const char *begin, const char *end, quint64 &out)
{
    if (begin >= end || end - begin > 19)
        return parseU64Digits(begin, end, out);
    quint64 number = 0;
    for (const char *p = begin; p < end; ++p)
        number = number * 10 + quint64(*p - '0');
    out = number;
    return true;
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
    while (p < end && isDigit(*p))
        ++p;
    return digitsToU64(digits, p, out) ? p : nullptr;
}

// The number after a key that has already been matched: blanks, then digits
// bare or in quotes; nothing else is taken.
bool readKeyValue(const char *p, const char *end, quint64 &out)
{
    while (p < end && isJsonBlank(*p))
        ++p;
    const bool quoted = p < end && *p == '"';
    if (quoted)
        ++p;
    const char *digits = p;
    while (p < end && isDigit(*p))
        ++p;
    if (quoted && (p >= end || *p != '"'))
        return false;
    return digitsToU64(digits, p, out);
}

bool endsWith(const char *colon, const char *begin, const char *key, size_t keyLen)
{
    return size_t(colon - begin) >= keyLen && memcmp(colon - keyLen, key, keyLen) == 0;
}

constexpr char kEventsKey[] = "\"events\":[";
constexpr char kIdKey[] = "\"id\"";
constexpr size_t kIdKeyLen = sizeof kIdKey - 1;
constexpr char kNextSinceKey[] = "\"next_since\":";
constexpr size_t kNextSinceKeyLen = sizeof kNextSinceKey - 1;
} // namespace

bool extractU64(QByteArrayView body, const char *name, quint64 &out)
{
    const size_t nameLen = strlen(name);
    QByteArray key;
    key.reserve(qsizetype(nameLen) + 3);
    key.append('"').append(name, qsizetype(nameLen)).append("\":");
    const char *end = body.data() + body.size();
    const char *at = findText(body.data(), end, key.constData(), size_t(key.size()));
    return at && readKeyValue(at + key.size(), end, out);
}

// One walk over the colons of the events array finds both the ids and,
// unless it came earlier, the "next_since" key: every key of either kind
// ends in a colon, and glibc's memchr finds those far faster than a
// substring search finds the keys themselves. Before the walk a memchr for
// the closing bracket bounds the array.
EventsScan scanEvents(QByteArrayView body, quint64 since)
{
    EventsScan scan;
    scan.best = since;
    const char *begin = body.data();
    const char *end = begin + body.size();
    const char *keyAt = findText(begin, end, kEventsKey, sizeof kEventsKey - 1);
    if (!keyAt)
        return scan;
    const char *first = keyAt + (sizeof kEventsKey - 1);
    const char *close = findByte(first, end, ']');
    if (!close) {
        scan.status = EventsScan::UnterminatedEvents;
        return scan;
    }
    scan.status = EventsScan::Accepted;

    // A key found before the array is the first one; otherwise the walk
    // below looks out for it.
    const char *nextSinceAt = findText(begin, first, kNextSinceKey, kNextSinceKeyLen);
    const char *p = first;
    while ((p = findByte(p, close, ':'))) {
        quint64 id = 0;
        const char *after = nullptr;
        if (endsWith(p, first, kIdKey, kIdKeyLen))
            after = readId(p + 1, close, id);
        if (after) {
            ++scan.count;
            if (id > scan.best)
                scan.best = id;
            // Only blanks, a plus and digits were read: no later "id": can
            // begin inside them, so searching on from here is the same as
            // searching on from the byte after the number.
            p = after;
            continue;
        }
        if (!nextSinceAt && endsWith(p, begin, kNextSinceKey, kNextSinceKeyLen - 1))
            nextSinceAt = p - (kNextSinceKeyLen - 1);
        ++p;
    }
    // The key cannot span the closing bracket, so the rest is searched from
    // the byte after it.
    if (!nextSinceAt)
        nextSinceAt = findText(close + 1, end, kNextSinceKey, kNextSinceKeyLen);

    quint64 nextSince = 0;
    if (nextSinceAt && readKeyValue(nextSinceAt + kNextSinceKeyLen, end, nextSince) && nextSince > scan.best)
        scan.best = nextSince;
    return scan;
}

} // namespace push
