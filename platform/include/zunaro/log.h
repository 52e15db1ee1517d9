#pragma once
// The service's diagnostic log: printf-style, one whole line per write to
// standard error.

#include <QByteArray>
#include <QList>

namespace zplatform {

// Formats and writes one log line with a single write(2). Every format ends
// in "\n"; should one lack it, the newline is added so lines never run
// together.
void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Test hook: while a capture is installed, every line (without its final
// newline) is also appended to it. Pass nullptr to stop capturing.
void setLogCapture(QList<QByteArray> *lines);

} // namespace zplatform
