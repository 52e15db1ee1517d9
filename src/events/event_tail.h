#pragma once
// The pieces of following the backend's events file that need no service:
// the event types it acts on, line preparation and the splitting of what
// was read into complete lines with a bound on each line.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <string_view>

namespace eventtail {

// One read of the events file never holds more than this.
constexpr qint64 kReadChunkBytes = 1024 * 1024;
// One pass reads no more than this; the next pass goes on from there, so a
// huge append (or gigabytes of zeros) never holds the event loop for long.
constexpr qint64 kMaxPassBytes = 2 * kReadChunkBytes;
// The followed file is known by its first bytes, up to this many, besides
// its device and inode: a file that begins otherwise is a new one.
constexpr qint64 kHeadBytes = 1024;
// A line that grows past this without its line feed is dropped, so a
// backend that never ends its line cannot make the service grow.
constexpr qint64 kMaxLineBytes = 1024 * 1024;
// A line with more JSON values than this is not parsed: the events the
// service reads have a dozen members, and building the values of an absurd
// line would cost far more than reading it.
constexpr int kMaxLineValues = 10000;

// The line as the JSON parser gets it: trimmed, and repaired where its
// UTF-8 is broken (broken sequences become U+FFFD). Empty when there is
// nothing to parse: a blank line, or one with a NUL byte, which no backend
// writes and which must not be read as a shorter valid line. The result may
// share `raw`'s bytes, so it lives no longer than they do.
QByteArray prepareLine(QByteArrayView raw);

// The event types the service acts on; every other type is passed over.
enum class EventType { Other, HubNotifyMessage, ChatUnread, CallUpdate };

struct EventTypeName {
    EventType type;
    std::string_view name;
    std::size_t underscore; // where the name's first underscore is
};

constexpr EventTypeName typeName(EventType type, std::string_view name)
{
    return { type, name, name.find('_') };
}

inline constexpr EventTypeName kEventTypes[] = {
    typeName(EventType::HubNotifyMessage, "hub_notify_message"),
    typeName(EventType::ChatUnread, "chat_unread"),
    typeName(EventType::CallUpdate, "call_update"),
};

// Whether a prepared line could name one of the event types the service
// acts on. Without a backslash JSON strings are literal, so the type's name
// must then appear as it is; a line that fails this needs no parsing.
bool couldDispatch(QByteArrayView line);

// Whether a line holds more than `maxValues` JSON values, counted as the
// commas and opening brackets outside strings. A line shorter than the bound
// cannot, and is not looked at.
bool exceedsValues(QByteArrayView line, int maxValues);

// Removes every carriage return: the file is text, and line ends may be
// CR LF.
void dropCarriageReturns(QByteArray &bytes);

// The unfinished line carried from one read to the next, as the bytes that
// were read: decoding waits until the line is whole.
struct LineAssembly {
    QByteArray partial;    // bytes after the last line feed
    bool skipping = false; // the bytes up to the next line feed belong to a dropped line
};

// Splits one read into lines: `onLine(QByteArrayView)` for each complete
// line, in order, and `onOverlong()` once for each line that passes
// `maxLineBytes`; that line is then dropped up to its line feed. Whatever
// follows the last line feed stays in `state`.
template <typename OnLine, typename OnOverlong>
void splitLines(LineAssembly &state, QByteArrayView bytes, qint64 maxLineBytes, OnLine &&onLine,
                OnOverlong &&onOverlong)
{
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype feed = bytes.indexOf('\n', pos);
        const qsizetype end = feed < 0 ? bytes.size() : feed;
        const QByteArrayView segment = bytes.sliced(pos, end - pos);
        if (!state.skipping) {
            if (state.partial.size() + segment.size() > maxLineBytes) {
                state.partial.clear();
                state.skipping = true;
                onOverlong();
            } else if (feed >= 0 && state.partial.isEmpty()) {
                // The common case: the whole line lies in this read.
                onLine(segment);
            } else {
                state.partial.append(segment);
            }
        }
        if (feed < 0)
            break;
        if (!state.skipping && !state.partial.isEmpty())
            onLine(QByteArrayView(state.partial));
        state.partial.clear();
        state.skipping = false;
        pos = feed + 1;
    }
}

} // namespace eventtail
