#pragma once
// Reading the push settings: the bounded numbers and the saved cursor.

#include <QByteArray>
#include <QString>

namespace push {

// A decimal int in 0..maxValue; anything else leaves `out` alone.
bool parseBoundedInt(const QString &text, int maxValue, int &out);

// Only ASCII digits, at least one, no sign, within 64 bits.
bool parseU64Digits(const char *begin, const char *end, quint64 &out);

// The saved cursor: digits between optional white space.
bool parseCursorText(const QByteArray &content, quint64 &out);

} // namespace push
