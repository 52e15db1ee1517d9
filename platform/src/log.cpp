#include "zunaro/log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace zplatform {

namespace {
QList<QByteArray> *capture = nullptr;
}

void logLine(const char *format, ...)
{
    char stackBuf[1024];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(stackBuf, sizeof stackBuf, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    QByteArray line;
    if (size_t(n) < sizeof stackBuf) {
        line = QByteArray(stackBuf, n);
    } else {
        line.resize(n + 1);
        vsnprintf(line.data(), size_t(n) + 1, format, again);
        line.resize(n);
    }
    va_end(again);
    if (!line.endsWith('\n'))
        line.append('\n');

    // One write per line, so lines from several processes never interleave.
    const char *p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t w = ::write(STDERR_FILENO, p, size_t(left));
        if (w <= 0)
            break;
        p += w;
        left -= w;
    }
    if (capture)
        capture->append(line.left(line.size() - 1));
}

void setLogCapture(QList<QByteArray> *lines)
{
    capture = lines;
}

} // namespace zplatform
