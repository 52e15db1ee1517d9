#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The first number of a field of a /proc status file ("VmRSS:", "VmHWM:",
// "voluntary_ctxt_switches:"); -1 when the file or the field is not there.
inline qint64 procStatusField(const QString &path, const QByteArray &field)
{
    QFile status(path);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
