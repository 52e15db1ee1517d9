#pragma once
// What every fuzz target shares: a failed check prints what differed and
// aborts, so libFuzzer saves the input that caused it.

#include <QByteArray>

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
