#pragma once
// Reading the push settings: one assignment line, the bounded numbers, the
// saved cursor, and reading a settings file without trusting it.

#include <QByteArray>
#include <QString>

namespace push {

// One line of a settings file: "KEY=value", blanks around both, an optional
// pair of matching quotes around the value. False for blank lines, "#"
// comments, lines without a key.
bool parseEnvLine(const QByteArray &line, QString &key, QString &value);

// A decimal int in 0..maxValue; anything else leaves `out` alone.
bool parseBoundedInt(const QString &text, int maxValue, int &out);

// Only ASCII digits, at least one, no sign, within 64 bits.
bool parseU64Digits(const char *begin, const char *end, quint64 &out);

// The saved cursor: digits between optional white space.
bool parseCursorText(const QByteArray &content, quint64 &out);

} // namespace push
