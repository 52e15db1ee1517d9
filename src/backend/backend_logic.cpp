#include "backend/backend_logic.h"




namespace backend {

namespace {
constexpr size_t kDefaultStackBytes = 196608; // 192 KiB
constexpr size_t kMinStackBytes = 131072;     // 128 KiB
// The largest value whose byte count still fits in 32 bits is 2^22 - 1 KiB;
// anything from 2^22 on is held at 1 GiB.
constexpr qint64 kFirstOverflowingKb = qint64(1) << 22;
constexpr size_t kMaxStackBytes = size_t(1048576) * 1024;

struct RestartRule {
    int exitCode;
    int baseMs;
    int capMs;
};
// Code 9 and 42 are the backend asking for a longer pause; every other code
// (signals included) gets the ordinary back-off.
constexpr RestartRule kRestartRules[] = {
    {9, 5000, 60000},
    {42, 30000, 600000},
};
constexpr RestartRule kOrdinaryRestart = {0, 1000, 60000};
constexpr int kMaxDoublings = 10;

bool isAllDigits(const QString &text)
{
    const QString digits = text.startsWith(QLatin1Char('+')) ? text.mid(1) : text;
    return !digits.isEmpty()
        && std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}
} // namespace

size_t stackLimitBytes(const QString &stackKb)
{
    const QString text = stackKb.trimmed();
    bool ok = false;
    const qint64 kb = text.toLongLong(&ok);
    if (!ok)
        return isAllDigits(text) ? kMaxStackBytes : kDefaultStackBytes;
    if (kb <= 0)
        return kDefaultStackBytes;
    if (kb >= kFirstOverflowingKb)
        return kMaxStackBytes;
    return std::max(kMinStackBytes, size_t(kb) * 1024);
}

ExitInfo decodeWaitStatus(int status)
{
    const int low = status & 0xff;
    const int high = (status >> 8) & 0xff;
    if (low == 0)
        return {high, 0};
    if (high == 0)
        return {128 + (low & 0x7f), 1};
    return {-1, 0};
}

int restartDelayMs(int exitCode, int attempts)
{
    RestartRule rule = kOrdinaryRestart;
    for (const RestartRule &candidate : kRestartRules) {
        if (candidate.exitCode == exitCode)
            rule = candidate;
    }
    int delay = rule.baseMs;
    const int doublings = std::min(std::max(attempts, 0), kMaxDoublings);
    for (int i = 0; i < doublings && delay < rule.capMs; ++i)
        delay *= 2;
    return std::min(delay, rule.capMs);
}

int jitterWithDraw(int baseMs, int draw)
{
    if (baseMs <= 0)
        return baseMs;
    const int j = std::clamp(baseMs / 10, 250, 30000);
    const int span = 2 * j + 1;
    const int result = baseMs + draw % span - j;
    return std::max(result, 0);
}

QStringList commandLines(const QByteArray &datagram)
{
    QStringList lines;
    const QString text = QString::fromUtf8(datagram).trimmed();
    for (const QString &part : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString line = part.trimmed();
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

int parsePidFile(const QByteArray &content)
{
    bool ok = false;
    const int pid = content.trimmed().toInt(&ok, 10);
    return ok && pid > 0 ? pid : 0;
}

int parentPidFromStat(const QByteArray &stat)
{
    // The command name in parentheses may itself hold ") ": the fields
    // follow the last one.
    const qsizetype close = stat.lastIndexOf(") ");
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    bool ok = false;
    const int ppid = fields.size() > 1 ? fields.at(1).toInt(&ok, 10) : 0;
    return ok && ppid > 0 ? ppid : 0;
}

} // namespace backend
