#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace zplatform {

// QJsonDocument::fromJson, except that a string whose first character is
// U+FEFF keeps it. Qt takes the bytes of that character (EF BB BF) at the
// start of any string for a byte order mark and drops them, so a name or a
// text would arrive changed, and a one-character name empty. A byte order
// mark before the whole text is still skipped.
QJsonDocument readJson(const QByteArray &text, QJsonParseError *error = nullptr);

} // namespace zplatform
