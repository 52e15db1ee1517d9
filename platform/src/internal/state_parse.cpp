#include "internal/state_parse.h"

#include "files.h"
#include "zunaro/device.h"
#include "zunaro/json.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace zplatform {

int lockStateFromContent(const QByteArray &content)
{
    const QByteArray trimmed = content.trimmed();
    if (trimmed == "0")
        return 0;
    if (trimmed == "1")
        return 1;
    if (trimmed == "2")
        return 2;
    return -1;
}

namespace {
int policyValue(const QJsonObject &o, const char *name)
{
    const QJsonValue v = o.value(QLatin1String(name));
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    return (d == 1.0 || d == 2.0) ? int(d) : 0;
}
} // namespace

AppliedSettings settingsFromJson(const QByteArray &content)
{
    AppliedSettings s;
    const QJsonObject o = readJson(content).object();
    s.sound = policyValue(o, "sound");
    s.vibrate = policyValue(o, "vibrate");
    s.led = policyValue(o, "led");
    s.preview = policyValue(o, "preview");
    return s;
}

AppliedSettings appliedSettings()
{
    QByteArray content;
    if (readSmallFile(notificationSettingsPath(), 64 * 1024, &content) != SmallFile::Read)
        return {};
    return settingsFromJson(content);
}

bool onlineFromContent(const QByteArray &content)
{
    return content.trimmed() != "0";
}

bool onlineFromReachability(QNetworkInformation::Reachability reachability)
{
    return reachability == QNetworkInformation::Reachability::Online
           || reachability == QNetworkInformation::Reachability::Unknown;
}

} // namespace zplatform
