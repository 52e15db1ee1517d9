#include "testdevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QVariant>

#include <algorithm>
#include <iterator>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zunaro/device.h"
#include "zunaro/log.h"

TestDevice::TestDevice()
{
    for (const char *folder : {"app/native", "data", "accounts/1000/shared/misc/nimbrel"})
        QDir(root()).mkpath(folder);
    QFile::setPermissions(dataDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); // as the service makes it
    qunsetenv("ZUNARO_DEVICE_ROOT");
    zplatform::setApplicationDirPath(appDir());
}

TestDevice::~TestDevice()
{
    zplatform::setApplicationDirPath(QString());
    zplatform::resetClock();
}

QByteArray TestDevice::read(const QString &relative) const
{
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> TestDevice::lines(const QString &relative) const
{
    QList<QByteArray> out = read(relative).split('\n');
    out.removeAll(QByteArray());
    return out;
}

QList<QJsonObject> TestDevice::jsonLines(const QString &relative) const
{
    QList<QJsonObject> out;
    for (const QByteArray &line : lines(relative))
        out.append(QJsonDocument::fromJson(line).object());
    return out;
}

QStringList TestDevice::column(const QString &relative, const QString &field) const
{
    QStringList out;
    for (const QJsonObject &o : jsonLines(relative))
        out.append(o.value(field).toVariant().toString());
    return out;
}

QJsonObject TestDevice::json(const QString &relative) const
{
    return QJsonDocument::fromJson(read(relative)).object();
}

bool TestDevice::installTool(const QString &name, const QString &as) const
{
    const QString target = appDir() + QLatin1Char('/') + as;
    QFile::remove(target);
    // A copy, not a link: a program finds its own folder through the resolved path of its executable.
    return QFile::copy(builtTool(name), target);
}

QString builtTool(const QString &name)
{
    static const QHash<QString, QString> paths = {{"zunaro-service", ZUNARO_SERVICE_PATH}, {"zunaroctl", ZUNAROCTL_PATH},
                                                  {"td_backend_sim", TD_BACKEND_SIM_PATH},
                                                  {"tgpush_proxy_sim", TGPUSH_PROXY_SIM_PATH}};
    const auto it = paths.constFind(name);
    if (it == paths.constEnd())
        qFatal("builtTool: %s is not a program this project builds", qPrintable(name));
    return *it;
}

bool placeAt(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (content == "<none>")
        return !QFileInfo::exists(path);
    if (content == "<dir>")
        return QDir().mkpath(path);
    if (content == "<fifo>")
        return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (content == "<unreadable>")
        return QFile::link(QStringLiteral("/proc/sys/vm/compact_memory"), path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray messageEvent(qint64 chatId, const QByteArray &title, const QByteArray &text, qint64 date,
                        const QByteArray &sender)
{
    return "{\"type\":\"hub_notify_message\",\"chat_id\":" + QByteArray::number(chatId) + ",\"chat_title\":\"" + title
        + "\",\"text\":\"" + text + "\"" + (date ? ",\"date\":" + QByteArray::number(date) : QByteArray())
        + (sender.isEmpty() ? QByteArray() : ",\"sender_name\":\"" + sender + "\"") + "}";
}

QByteArray unreadEvent(qint64 chatId, int count)
{
    return "{\"type\":\"chat_unread\",\"chat_id\":" + QByteArray::number(chatId) + ",\"unread_count\":"
        + QByteArray::number(count) + "}";
}

QByteArray callEvent(qint64 callId, const QByteArray &state)
{
    return "{\"type\":\"call_update\",\"call_id\":" + QByteArray::number(callId)
        + ",\"chat_id\":12,\"user_id\":3,\"state\":\"" + state + "\",\"user_name\":\"Alice\"}";
}

bb::system::InvokeRequest invocation(const QString &action, const QString &uri, const QString &target)
{
    bb::system::InvokeRequest request;
    request.setAction(action);
    request.setUri(uri);
    request.setTarget(target);
    return request;
}

void sendCommandDatagram(const QByteArray &bytes)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr {AF_INET, htons(zplatform::kCommandPort), {htonl(INADDR_LOOPBACK)}, {}};
    sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    close(fd);
}

LogCapture::LogCapture() { zplatform::setLogCapture(&m_lines); }
LogCapture::~LogCapture() { zplatform::setLogCapture(nullptr); }

QList<QByteArray> LogCapture::matching(const QByteArray &prefix) const
{
    QList<QByteArray> out;
    std::copy_if(m_lines.begin(), m_lines.end(), std::back_inserter(out),
                 [&prefix](const QByteArray &line) { return line.startsWith(prefix); });
    return out;
}
