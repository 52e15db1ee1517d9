#pragma once
// The saved cursor on disk.

#include <QByteArray>
#include <QString>

namespace push {

// "42\n": the digits and one line feed.
QByteArray cursorFileContent(quint64 since);

} // namespace push
