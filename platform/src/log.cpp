#include "zunaro/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "zunaro/text.h"

namespace zplatform {

namespace {
QList<QByteArray> *capture = nullptr;

// systemd names the journal stream it gave a service as "DEVICE:INODE" in
// JOURNAL_STREAM. Only when standard error is still that stream do lines
// carry a priority: a child that inherited the variable but writes to a
// terminal or a file must keep its lines as they are.
bool stderrIsJournal()
{
    const char *stream = ::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && ::fstat(STDERR_FILENO, &st) == 0
        && device == st.st_dev && inode == st.st_ino;
}

enum Priority { Error = 3, Warning = 4, Notice = 6, Debug = 7 };

struct PriorityRule {
    const char *start;
    Priority priority;
    // For lines that report a result code after `start`: a 0 there is a
    // success, mere chatter.
    bool codeFollows = false;
    // Where a name in the middle keeps lines of one start apart.
    const char *contains = nullptr;
};

// The service's lines by how they start; the first rule that matches wins,
// anything else is chatter.
constexpr PriorityRule kPriorityRules[] = {
    {"zunaro-service: ", Error},
    {"service: cmd ", Error, false, "() failed"},
    {"platform: the session bus is gone", Error},
    {"service: pipe() failed", Error},
    {"service: posix_spawn", Error},
    {"service: waitpid(", Error},
    {"service: fcntl(", Error},
    {"service: cannot write ", Error},
    {"service: invoke(call) returned null", Error},
    {"service: bps_initialize err=", Error, true},
    {"service: notif_defaults apply err=", Error, true},
    {"service: notify summary err=", Error, true},
    {"service: notify(call) err=", Error, true},
    {"platform: control socket ", Warning, false, "in use by another process"},
    {"platform: control socket ", Error},
    {"platform: Notify for ", Error},
    {"platform: CloseNotification ", Error},
    {"platform: opening ", Error},
    {"platform: xdg-open could not", Error},
    {"platform: the call's ", Error},
    {"service: backend input full", Warning},
    {"service: cmd datagram ", Warning},
    {"platform: cannot write the service's id", Warning},
    {"service: backend missing", Warning},
    {"service: backend pid=", Warning, false, "left by an earlier service"},
    {"service: posix_spawnattr_", Error},
    {"service: events line ", Warning},
    {"service: env file ", Warning},
    {"service: events file watch unavailable", Warning},
    {"service: tgpush poll failed", Warning},
    {"service: tgpush poll invalid", Warning},
    {"service: tgpush open failed", Warning},
    {"service: pending incoming call invoke timeout", Warning},
    {"platform: no ", Warning},
    {"platform: ", Warning, false, "the lock state is unknown"},
    {"platform: ", Warning, false, "; now 0700"},
    {"platform: notification server capabilities unknown", Warning},
    {"platform: unknown action", Warning},
    {"platform: cannot invoke", Warning},
    {"platform: the UI ", Warning},
    {"platform: hub entry ", Warning},
    {"platform: action ", Warning},
    {"service: starting", Notice},
    {"service: stopping", Notice},
    {"service: cmd socket listening", Notice},
    {"service: backend starting", Notice},
    {"service: backend stopping", Notice},
    {"service: backend finished", Notice},
    {"service: backend restart in", Notice},
    {"service: tgpush mode enabled", Notice},
    {"service: tgpush disabled", Notice},
    {"service: invoked action=", Notice},
    {"service: net onlineStateChanged=", Notice},
    {"service: device unlocked", Notice},
    {"platform: desktop service on the session bus", Notice},
    {"platform: lock state from", Notice},
    {"platform: the notification server left", Notice},
};

Priority priorityOf(const QByteArray &line)
{
    for (const PriorityRule &rule : kPriorityRules) {
        if (!line.startsWith(rule.start) || (rule.contains && !line.contains(rule.contains)))
            continue;
        if (!rule.codeFollows)
            return rule.priority;
        const QByteArray rest = line.mid(qsizetype(qstrlen(rule.start)));
        const bool success = rest.startsWith('0') && (rest.size() == 1 || !isdigit(uchar(rest.at(1))));
        return success ? Debug : rule.priority;
    }
    return Debug;
}
} // namespace

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
    static const bool journal = stderrIsJournal();
    const QByteArray shown = journal ? '<' + QByteArray::number(priorityOf(line)) + '>' + line : line;

    // One write per line, so lines from several processes never interleave.
    const char *p = shown.constData();
    qsizetype left = shown.size();
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
    const qsizetype keep = utf8WholeLength(text, kMaxLoggedTextBytes);
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
