#pragma once
// Composing the Hub summary and keeping the unread accounting, without the
// service: plain inputs, plain results.

#include <QAnyStringView>
#include <QList>
#include <QString>

namespace hubsummary {

// The Hub entry of the summary; each post replaces the one before.
inline const QString kSummaryKey = QStringLiteral("kvel_hub_summary");

constexpr int kMaxStoredLines = 100;
constexpr int kMaxLineChars = 180;
// The per-chat tables keep at most this many chats: the backend may name
// chats without end, and a phone has far fewer with unread messages.
constexpr int kMaxTrackedChats = 10000;

// A message as the summary takes it from the backend. The texts are views,
// made strings only when a line is composed; a Latin-1 view is Latin-1 text.
struct Message {
    qint64 chatId = 0;
    qint64 date = 0;
    QAnyStringView chatTitle;
    QAnyStringView senderName;
    QAnyStringView text;
};

// One line of the summary, held by value, newest first.
struct SummaryLine {
    qint64 chatId = 0;
    qint64 date = 0;
    QString text;
};

// The text with every run of white space (line breaks and tabs included)
// folded to one space and none at either end, as QString::simplified()
// gives it; text that is simple already is shared, not copied.
QString simplifyLine(const QString &text);

// One summary line from a message's chat title, sender and text.
QString composeLine(const QString &chatTitle, const QString &senderName, const QString &text);
// The same from views: UTF-8 keeps a leading U+FEFF, and Latin-1 texts are
// composed without a string for each.
QString composeLine(QAnyStringView chatTitle, QAnyStringView senderName, QAnyStringView text);

// "N new messages from M chats"; without chats only the pending count
// is known.
QString header(qint64 chats, quint64 messages, quint64 pending);

// The header followed by the lines to show: newest first, at most
// `maxLines`, at most `maxLinesPerChat` of one chat.
QString composeBody(const QString &header, const QList<SummaryLine> &lines,
                    int maxLines, int maxLinesPerChat);

// One chat's part of the unread accounting.
struct UnreadEntry {
    bool present = false; // the chat has an entry
    int count = 0;        // unread messages that arrived unseen
};

struct UnreadResult {
    UnreadEntry entry;
    quint64 total = 0; // the new unread total
    quint64 added = 0; // new unread messages to announce
};

// A chat's new unread count applied to its entry and the total. `known` and
// `previous` are the count reported before; `uiActive` whether the UI is in
// front, which sees to the messages itself.
UnreadResult applyUnread(UnreadEntry entry, quint64 total, bool known, int previous, int count,
                         bool uiActive);

} // namespace hubsummary
