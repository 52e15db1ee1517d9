// The poll answer scan against a plain reading of its rules: the events array runs from the first `"events":[` to the
// next "]"; every `"id":` in it followed by a number as strtoull reads one (a minus is refused) is an event; the
// first "next_since" key anywhere may raise the cursor. The first input byte is the cursor passed in, the rest the
// answer.

#include <QByteArray>

#include <cerrno>
#include <cstdlib>

#include "fuzz_check.h"
#include "push/events_scan.h"

namespace {
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool plainField(const QByteArray &body, const QByteArray &name, quint64 &out)
{
    const QByteArray key = '"' + name + "\":";
    qsizetype at = body.indexOf(key);
    if (at < 0)
        return false;
    at += key.size();
    while (at < body.size() && isBlank(body[at]))
        ++at;
    const bool quoted = at < body.size() && body[at] == '"';
    at += quoted;
    qsizetype end = at;
    while (end < body.size() && body[end] >= '0' && body[end] <= '9')
        ++end;
    if (end == at || (quoted && (end >= body.size() || body[end] != '"')))
        return false;
    bool ok = false;
    const quint64 value = body.mid(at, end - at).toULongLong(&ok, 10);
    if (ok)
        out = value;
    return ok;
}

// The number strtoull reads at `at` of the slice (whose copy ends in a NUL), and where it ends; false when there is
// none or it does not fit.
bool plainId(const QByteArray &slice, qsizetype at, quint64 &value, qsizetype &end)
{
    const char *start = slice.constData() + at;
    const char *p = start;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    if (*p == '-')
        return false;
    char *stop = nullptr;
    errno = 0;
    value = std::strtoull(start, &stop, 10);
    if (stop == start || errno == ERANGE)
        return false;
    end = stop - slice.constData();
    return true;
}

push::EventsScan plainScan(const QByteArray &body, quint64 since)
{
    push::EventsScan scan;
    scan.best = since;
    const QByteArray opening = "\"events\":[";
    const qsizetype key = body.indexOf(opening);
    if (key < 0)
        return scan;
    const qsizetype first = key + opening.size();
    const qsizetype close = body.indexOf(']', first);
    if (close < 0) {
        scan.status = push::EventsScan::UnterminatedEvents;
        return scan;
    }
    scan.status = push::EventsScan::Accepted;
    const QByteArray slice = body.mid(first, close - first);
    const QByteArray idKey = "\"id\":";
    qsizetype at = slice.indexOf(idKey);
    while (at >= 0) {
        quint64 id = 0;
        qsizetype end = 0;
        if (plainId(slice, at + idKey.size(), id, end)) {
            ++scan.count;
            scan.best = std::max(scan.best, id);
            at = slice.indexOf(idKey, end);
        } else {
            at = slice.indexOf(idKey, at + 1);
        }
    }
    quint64 nextSince = 0;
    if (plainField(body, "next_since", nextSince))
        scan.best = std::max(scan.best, nextSince);
    return scan;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const quint64 since = data[0];
    const QByteArray body = fuzzInput(data + 1, size - 1);

    const push::EventsScan got = push::scanEvents(body, since);
    const push::EventsScan want = plainScan(body, since);
    fuzzCheck(got.status == want.status, "status differs");
    fuzzCheck(got.count == want.count, "event count differs");
    fuzzCheck(got.best == want.best, "best cursor differs");

    for (const char *name : {"next_since", "id"}) {
        quint64 gotValue = 7;
        quint64 wantValue = 7;
        const bool found = push::extractU64(body, name, gotValue);
        fuzzCheck(found == plainField(body, name, wantValue) && gotValue == wantValue, "field value differs");
    }
    return 0;
}
