#include "push/cursor_file.h"

namespace push {

QByteArray cursorFileContent(quint64 since)
{
    return QByteArray::number(since) + '\n';
}

} // namespace push
