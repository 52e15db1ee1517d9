#pragma once
// The service's diagnostic log: printf-style, one whole line per write to
// standard error.

#include <QByteArray>
#include <QList>
#include <QString>

namespace zplatform {

// Formats and writes one log line with a single write(2). Every format ends
// in "\n"; should one lack it, the newline is added so lines never run
// together.
void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Text from outside (a bus caller's action, a request, a file's content)
// made fit for one log line: cut to kMaxLoggedTextBytes at a UTF-8 character
// boundary and marked "...(cut: N bytes)" with its whole size, control
// characters written as escapes, so nobody can fill the log or forge a line.
constexpr qsizetype kMaxLoggedTextBytes = 256;
QByteArray logText(const QByteArray &text);
QByteArray logText(const QString &text);

// Test hook: while a capture is installed, every line (without its final
// newline) is also appended to it. Pass nullptr to stop capturing.
void setLogCapture(QList<QByteArray> *lines);

} // namespace zplatform
