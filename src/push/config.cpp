// Which way the service learns of new messages, and the push settings.

#include "service_main.h"

#include <QFileInfo>

#include "core/env_file.h"
#include "push/env_config.h"
#include "zunaro/device.h"
#include "zunaro/files.h"
#include "zunaro/log.h"

namespace {
// Twenty digits and some white space; a bigger file is not a cursor.
constexpr qint64 kMaxCursorFileBytes = 4096;
} // namespace

bool ZunaroHeadlessService::parseEnvFile(const QString &path, QMap<QString, QString> &out)
{
    QByteArray content;
    if (!envfile::readEnvFile(path, envfile::kMaxPushSettingsFileBytes, content))
        return false;
    out.insert(envfile::parsePushSettings(content));
    return true;
}

void ZunaroHeadlessService::loadTgpushConfig()
{
    QMap<QString, QString> config;
    QString configPath;
    const QStringList candidates {
        dataDir + QStringLiteral("/tgpush_proxy.env"),
        zplatform::sharedDir() + QStringLiteral("/misc/nimbrel/tgpush_proxy.env"),
        zplatform::sharedDir() + QStringLiteral("/misc/tgpush_proxy.env"),
    };
    for (const QString &candidate : candidates) {
        const bool exists = QFileInfo(candidate).isFile();
        zplatform::logLine("service: tgpush try=%s exists=%d\n", candidate.toUtf8().constData(),
                          exists ? 1 : 0);
        if (!exists)
            continue;
        if (parseEnvFile(candidate, config)) {
            configPath = candidate;
            break;
        }
        zplatform::logLine("service: tgpush open failed path=%s\n", candidate.toUtf8().constData());
    }

    push.tgpushPollUrl = config.value(QStringLiteral("TGPUSH_POLL_URL"));
    push.tgpushMode = !push.tgpushPollUrl.isEmpty();
    if (push.tgpushMode) {
        zplatform::logLine("service: tgpush config=%s url=%s\n", configPath.toUtf8().constData(),
                          zplatform::logText(push.tgpushPollUrl).constData());
    } else {
        zplatform::logLine("service: tgpush disabled (missing TGPUSH_POLL_URL)\n");
    }

    const struct {
        const char *key;
        int maxValue;
        int *field;
    } numbers[] = {
        {"TGPUSH_TIMEOUT_MS", 300000, &push.tgpushTimeoutMs},
        {"TGPUSH_NOTIFY_MIN_INTERVAL_MS", 3600000, &summary.notifyMinIntervalMs},
        {"TGPUSH_NOTIFY_COALESCE_MS", 600000, &summary.notifyCoalesceMs},
        {"TGPUSH_POLL_DELAY_ON_EVENTS_MS", 60000, &push.tgpushPollDelayOnEventsMs},
    };
    for (const auto &number : numbers) {
        const auto it = config.constFind(QLatin1String(number.key));
        if (it != config.constEnd())
            push::parseBoundedInt(it.value(), number.maxValue, *number.field);
    }

    QByteArray cursorText;
    bool truncated = false;
    quint64 since = 0;
    if (zplatform::readFileHead(dataDir + QStringLiteral("/tgpush_since.txt"), kMaxCursorFileBytes, &cursorText,
                               &truncated)
        && !truncated && push::parseCursorText(cursorText, since)) {
        push.tgpushSince = since;
        push.tgpushSinceShown = since;
        zplatform::logLine("service: tgpush since loaded=%llu\n", static_cast<unsigned long long>(since));
    }
}
