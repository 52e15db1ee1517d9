// Composing the Hub summary and keeping its unread accounting: the
// arithmetic and text work of the summary, apart from the service.

#include "events/summary_logic.h"

#include <QHash>
#include <QStringDecoder>
#include <QVarLengthArray>

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

namespace {
QString toString(QAnyStringView text)
{
    return text.visit([](auto view) -> QString {
        // QString::fromUtf8 would take a leading U+FEFF for a byte order mark.
        if constexpr (std::is_same_v<decltype(view), QUtf8StringView>) {
            if (QByteArrayView(view).startsWith("\xef\xbb\xbf"))
                return QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom)(view);
        }
        return view.toString();
    });
}

bool isLatin1(QAnyStringView text, QLatin1StringView &latin1)
{
    return text.visit([&latin1](auto view) {
        if constexpr (std::is_same_v<decltype(view), QLatin1StringView>)
            latin1 = view;
        return std::is_same_v<decltype(view), QLatin1StringView>;
    });
}

// Enough for the usual texts without a heap allocation.
using Buffer = QVarLengthArray<char, 256>;

// QChar::isSpace() within Latin-1.
bool isLatin1Space(char c)
{
    return c == ' ' || uchar(c - '\t') < 5 || c == '\x85' || c == '\xa0';
}

// Appends `text` with its white space folded as simplified() folds it,
// stopping once `out` holds more than `limit` characters. Each word is
// copied at once, and a text with single spaces only is one word.
void appendSimplified(Buffer &out, QLatin1StringView text, qsizetype limit)
{
    const char *p = text.data();
    const char *const end = p + text.size();
    const qsizetype start = out.size();
    // Most texts are simple already: no white space but single spaces
    // between other characters.
    bool afterSpace = true;
    const char *c = p;
    for (; c < end; ++c) {
        if (uchar(*c - 0x21) < 0x5e)
            afterSpace = false;
        else if (*c == ' ' && !afterSpace)
            afterSpace = true;
        else if (isLatin1Space(*c) || *c == ' ')
            break;
        else
            afterSpace = false;
    }
    if (c == end && !(afterSpace && p < end)) {
        if (start < out.size() && p < end)
            out.append(' ');
        out.append(p, end - p);
        return;
    }
    while (p < end && out.size() <= limit) {
        while (p < end && isLatin1Space(*p))
            ++p;
        const char *word = p;
        while (p < end && (!isLatin1Space(*p) || (*p == ' ' && p + 1 < end && !isLatin1Space(p[1]) && p > word)))
            ++p;
        if (p == word)
            break;
        if (out.size() > start)
            out.append(' ');
        out.append(word, p - word);
    }
}
} // namespace

QString composeLine(QAnyStringView chatTitle, QAnyStringView senderName, QAnyStringView text)
{
    QLatin1StringView latin1[3];
    if (!isLatin1(chatTitle, latin1[0]) || !isLatin1(senderName, latin1[1]) || !isLatin1(text, latin1[2]))
        return composeLine(toString(chatTitle), toString(senderName), toString(text));
    // As the composition of strings does it.
    Buffer sender;
    Buffer line;
    appendSimplified(line, latin1[0], std::numeric_limits<qsizetype>::max());
    if (line.isEmpty())
        line.append("Chat", 4);
    const QByteArrayView title(line.data(), line.size());
    appendSimplified(sender, latin1[1], std::numeric_limits<qsizetype>::max());
    const bool withSender = !sender.isEmpty() && QByteArrayView(sender.data(), sender.size()) != title;
    line.append(": ", 2);
    if (withSender) {
        line.append(sender.data(), sender.size());
        line.append(": ", 2);
    }
    const qsizetype bodyAt = line.size();
    if (bodyAt <= kMaxLineChars + 1)
        appendSimplified(line, latin1[2], kMaxLineChars + 1);
    if (line.size() == bodyAt)
        line.append("New message", 11);
    return zplatform::elided(QString::fromLatin1(line.data(), qMin(line.size(), qsizetype(kMaxLineChars) + 1)),
                             kMaxLineChars);
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
