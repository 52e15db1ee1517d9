// The readers of the small state files the UI or the user writes, against a plain reading of their rules.
//
// lock_state: "0", "1" or "2" between white space, else -1 (unknown).
// The saved push cursor: digits between white space, within 64 bits.
// A presence file's first line: a positive decimal time in milliseconds, white space around it allowed, is fresh
// when now minus it, or 0 if it is in the future, is within the window; else the modification time decides the same
// way, and when that is not positive either the file counts as fresh.

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdlib>

#include "core/presence.h"
#include "fuzz_check.h"
#include "push/env_config.h"
#include "internal/state_parse.h"

namespace {
bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

QByteArray plainTrimmed(const QByteArray &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

int plainLockState(const QByteArray &content)
{
    const QByteArray state = plainTrimmed(content);
    return state.size() == 1 && state[0] >= '0' && state[0] <= '2' ? state[0] - '0' : -1;
}

bool plainCursor(const QByteArray &content, quint64 &out)
{
    const QByteArray digits = plainTrimmed(content);
    errno = 0;
    const unsigned long long value = std::strtoull(digits.constData(), nullptr, 10);
    if (!plainDigits(digits, false) || errno == ERANGE)
        return false;
    out = value;
    return true;
}

// A sign, then nothing but digits, within 64 bits; 0 when there is none.
qint64 plainStamp(const QByteArray &line)
{
    const QByteArray text = plainTrimmed(line);
    errno = 0;
    const long long stamp = std::strtoll(text.constData(), nullptr, 10);
    return !plainDigits(text, true) || errno == ERANGE ? 0 : stamp;
}

bool plainFresh(const QByteArray &line, qint64 mtimeMs, qint64 nowMs, qint64 windowMs)
{
    const qint64 stamp = plainStamp(line);
    const qint64 at = stamp >= 1 ? stamp : mtimeMs;
    if (at < 1)
        return true;
    return nowMs <= at || nowMs - at <= windowMs;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const qint64 nowMs = input.ConsumeIntegralInRange<qint64>(0, qint64(1) << 50);
    const qint64 mtimeMs = input.ConsumeIntegral<qint64>();
    const qint64 windowMs = input.ConsumeIntegralInRange<qint64>(0, 600000);
    const QByteArray content = QByteArray::fromStdString(input.ConsumeRemainingBytesAsString());

    fuzzCheck(zplatform::lockStateFromContent(content) == plainLockState(content), "the lock state differs");
    quint64 got = 1;
    quint64 want = 1;
    fuzzCheck(push::parseCursorText(content, got) == plainCursor(content, want) && got == want,
              "the saved cursor reads differently");
    fuzzCheck(presence::isFresh(content, mtimeMs, nowMs, windowMs) == plainFresh(content, mtimeMs, nowMs, windowMs),
              "the presence answer differs");
    return 0;
}
