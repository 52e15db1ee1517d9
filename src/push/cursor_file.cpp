#include "push/cursor_file.h"

#include <QSaveFile>

namespace push {

QByteArray cursorFileContent(quint64 since)
{
    return QByteArray::number(since) + '\n';
}

bool replaceFileContent(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(content);
    return file.commit();
}

} // namespace push
