// Composing the Hub summary and keeping its unread accounting: the
// arithmetic and text work of the summary, apart from the service.

#include "events/summary_logic.h"

#include <QHash>

#include <algorithm>
#include <limits>

#include "zunaro/text.h"

namespace hubsummary {

QString simplifyLine(const QString &text)
{
    // Line feeds, carriage returns and tabs are white space to simplified():
    // each run of white space becomes one space, none at either end. Most
    // text is simplified already and is then shared rather than copied.
    // Simple means: no white space but single spaces between other
    // characters.
    const QChar *const c = text.constData();
    bool afterSpace = true; // a space first is not simple
    for (qsizetype i = 0, n = text.size(); i < n; ++i) {
        const char16_t u = c[i].unicode();
        if (char16_t(u - 0x21) < 0x5e) {
            afterSpace = false;
        } else if (u == u' ') {
            if (afterSpace)
                return text.simplified();
            afterSpace = true;
        } else if (QChar::isSpace(u)) {
            return text.simplified();
        } else {
            afterSpace = false;
        }
    }
    return afterSpace && !text.isEmpty() ? text.simplified() : text;
}

QString composeLine(const QString &chatTitle, const QString &senderName, const QString &text)
{
    QString title = simplifyLine(chatTitle);
    if (title.isEmpty())
        title = QStringLiteral("Chat");
    QString body = simplifyLine(text);
    if (body.isEmpty())
        body = QStringLiteral("New message");
    const QString sender = simplifyLine(senderName);
    // Both parts are simplified and not empty, so the joined line is too.
    // Only one character more than fits is ever joined: that is enough to
    // know the line is cut, and a huge text leaves no huge line behind.
    const bool withSender = !sender.isEmpty() && sender != title;
    const QStringView separator = u": ";
    QStringView parts[] = { title, separator, withSender ? QStringView(sender) : QStringView(),
                            withSender ? separator : QStringView(), body };
    qsizetype room = kMaxLineChars + 1;
    for (QStringView &part : parts) {
        part = part.left(room);
        room -= part.size();
    }
    QString line(kMaxLineChars + 1 - room, Qt::Uninitialized);
    QChar *out = line.data();
    for (const QStringView part : parts) {
        std::copy(part.begin(), part.end(), out);
        out += part.size();
    }
    return zplatform::elided(line, kMaxLineChars);
}

QString header(qint64 chats, quint64 messages, quint64 pending)
{
    if (chats < 1) {
        return pending < 2 ? QStringLiteral("1 new message")
                           : QStringLiteral("%1 new messages").arg(pending);
    }
    QString text = messages == 1 ? QStringLiteral("1 new message")
                                 : QStringLiteral("%1 new messages").arg(messages);
    text += QStringLiteral(" from %1 %2")
                .arg(chats)
                .arg(chats == 1 ? QStringLiteral("chat") : QStringLiteral("chats"));
    return text;
}

QString composeBody(const QString &header, const QList<SummaryLine> &lines,
                    int maxLines, int maxLinesPerChat)
{
    QString body = header;
    QHash<qint64, int> perChat;
    int shown = 0;
    for (const SummaryLine &line : lines) {
        if (shown >= maxLines)
            break;
        if (line.chatId <= 0)
            continue;
        const QString text = line.text.trimmed();
        if (text.isEmpty())
            continue;
        int &ofChat = perChat[line.chatId];
        if (ofChat >= maxLinesPerChat)
            continue;
        ++ofChat;
        ++shown;
        body += QLatin1Char('\n');
        body += text;
    }
    return body;
}

UnreadResult applyUnread(UnreadEntry entry, quint64 total, bool known, int previous, int count,
                         bool uiActive)
{
    UnreadResult r { entry, total, 0 };
    count = std::max(count, 0);
    if (uiActive) {
        // The UI shows the chat: only a chat read to the end leaves the
        // accounting.
        if (count == 0) {
            if (entry.present && entry.count > 0 && total >= quint64(entry.count))
                r.total = total - quint64(entry.count);
            r.entry = UnreadEntry();
        }
        return r;
    }
    const qint64 delta = known ? qint64(count) - previous : qint64(count);
    if (delta > 0) {
        const qint64 grown = qint64(entry.present ? entry.count : 0) + delta;
        r.entry = { true, int(std::min<qint64>(grown, std::numeric_limits<int>::max())) };
        r.total = total + quint64(delta);
        r.added = quint64(delta);
    } else if (delta < 0) {
        if (entry.present && entry.count > 0) {
            const qint64 d = std::min<qint64>(-delta, entry.count);
            r.total = total < quint64(d) ? 0 : total - quint64(d);
            const qint64 left = entry.count - d;
            r.entry = left > 0 ? UnreadEntry { true, int(left) } : UnreadEntry();
        } else if (count == 0) {
            r.entry = UnreadEntry();
        }
    }
    return r;
}

} // namespace hubsummary
