#include "core/env_file.h"

#include "zunaro/files.h"

namespace envfile {

namespace {
enum class Quotes { Kept, Stripped };

bool quotedBy(const QString &value, QChar quote)
{
    return value.size() >= 2 && value.front() == quote && value.back() == quote;
}

// Calls take(name, value) for every assignment of the content, in order.
template <typename Take>
void forEachAssignment(const QByteArray &content, Quotes quotes, Take take)
{
    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype end = content.indexOf('\n', start);
        if (end < 0)
            end = content.size();
        const QByteArrayView raw(content.constData() + start, end - start);
        start = end + 1;
        if (quotes == Quotes::Kept && raw.contains('\0'))
            continue;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.front() == QLatin1Char('#'))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString name = line.left(eq).trimmed();
        QString value = line.mid(eq + 1).trimmed();
        if (quotes == Quotes::Stripped && (quotedBy(value, QLatin1Char('"')) || quotedBy(value, QLatin1Char('\''))))
            value = value.mid(1, value.size() - 2);
        take(name, value);
    }
}
} // namespace

QList<Assignment> parseBackendEnv(const QByteArray &content)
{
    QList<Assignment> out;
    forEachAssignment(content, Quotes::Kept,
                      [&out](const QString &name, const QString &value) { out.append({name, value}); });
    return out;
}

QMap<QString, QString> parsePushSettings(const QByteArray &content)
{
    QMap<QString, QString> out;
    forEachAssignment(content, Quotes::Stripped,
                      [&out](const QString &name, const QString &value) { out.insert(name, value); });
    return out;
}

bool readEnvFile(const QString &path, qsizetype maxBytes, QByteArray &content)
{
    bool truncated = false;
    if (!zplatform::readFileHead(path, maxBytes, &content, &truncated))
        return false;
    if (truncated)
        content.truncate(content.lastIndexOf('\n') + 1);
    return true;
}

} // namespace envfile
