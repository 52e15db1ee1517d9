#pragma once
// What every fuzz target shares: a failed check prints what differed and
// aborts, so libFuzzer saves the input that caused it.

#include <QByteArray>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

inline void fuzzCheck(bool ok, const char *what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline QByteArray fuzzInput(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The plain readings of number texts: at least one digit and nothing else, after one sign where `signed_` allows it.
inline bool plainDigits(const QByteArray &text, bool signed_)
{
    const qsizetype from = signed_ && (text.startsWith('+') || text.startsWith('-')) ? 1 : 0;
    return text.size() > from && std::all_of(text.begin() + from, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}
