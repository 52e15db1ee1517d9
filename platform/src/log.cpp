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

QByteArray logText(const QByteArray &text)
{
    qsizetype keep = qMin(text.size(), kMaxLoggedTextBytes);
    // Back off continuation bytes, so a character is never split.
    if (keep < text.size()) {
        for (qsizetype back = 0; back < 3 && keep > 0 && (uchar(text.at(keep)) & 0xc0) == 0x80; ++back)
            --keep;
    }
    QByteArray out;
    out.reserve(keep + 32);
    for (qsizetype i = 0; i < keep; ++i) {
        const uchar c = uchar(text.at(i));
        if (c == '\n')
            out.append("\\n");
        else if (c == '\r')
            out.append("\\r");
        else if (c == '\t')
            out.append("\\t");
        else if (c < 0x20 || c == 0x7f)
            out.append("\\x").append(QByteArray::number(c, 16).rightJustified(2, '0'));
        else
            out.append(char(c));
    }
    if (keep < text.size())
        out.append("...(cut: ").append(QByteArray::number(text.size())).append(" bytes)");
    return out;
}

QByteArray logText(const QString &text)
{
    return logText(text.toUtf8());
}

void setLogCapture(QList<QByteArray> *lines)
{
    capture = lines;
}

} // namespace zplatform
