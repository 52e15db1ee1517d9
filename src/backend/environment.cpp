// The backend's environment: the service's own, fixed defaults, the three
// configuration files of the shared folder, then the values that depend on
// what those files said.

#include "service_main.h"

#include <QDir>
#include <QProcess>

#include "backend/backend_logic.h"
#include "zunaro/device.h"
#include "zunaro/files.h"

namespace {
// Configuration files are a few lines long; anything past this is not read.
constexpr qsizetype kMaxEnvFileBytes = 1024 * 1024;

QString sharedFolder()
{
    return zplatform::devicePath(QStringLiteral("/accounts/1000/shared/misc/nimbrel"));
}
} // namespace

void ZunaroHeadlessService::upsert_env(QStringList &env, const QString &key, const QString &value)
{
    const QString prefix = key + QLatin1Char('=');
    for (QString &entry : env) {
        if (entry.startsWith(prefix)) {
            entry = prefix + value;
            return;
        }
    }
    env.append(prefix + value);
}

QString ZunaroHeadlessService::get_env_value(const QStringList &env, const QString &key)
{
    const QString prefix = key + QLatin1Char('=');
    for (const QString &entry : env) {
        if (entry.startsWith(prefix))
            return entry.mid(prefix.size());
    }
    return QString();
}

void ZunaroHeadlessService::load_env_file(QStringList &env, const QString &path)
{
    QByteArray content;
    bool truncated = false;
    if (!zplatform::readFileHead(path, kMaxEnvFileBytes, &content, &truncated))
        return;
    // A cut-off last line would assign half a value: leave it out.
    if (truncated)
        content.truncate(content.lastIndexOf('\n') + 1);

    for (const QByteArray &raw : content.split('\n')) {
        QString name;
        QString value;
        if (backend::parseEnvLine(QString::fromUtf8(raw), name, value))
            upsert_env(env, name, value);
    }
}

QStringList ZunaroHeadlessService::buildBackendEnvironment() const
{
    QStringList env = QProcess::systemEnvironment();

    const QList<QPair<QString, QString>> defaults = {
        {QStringLiteral("OPENSSL_armcap"), QStringLiteral("0")},
        {QStringLiteral("TDLIB_LOG_VERBOSITY"), QStringLiteral("2")},
        {QStringLiteral("TG_AUTO_SEND_PHONE"), QStringLiteral("0")},
        {QStringLiteral("TD_USE_FILE_DATABASE"), QStringLiteral("0")},
        {QStringLiteral("TD_USE_CHAT_INFO_DATABASE"), QStringLiteral("0")},
        {QStringLiteral("TD_USE_MESSAGE_DATABASE"), QStringLiteral("0")},
        {QStringLiteral("TD_USE_SECRET_CHATS"), QStringLiteral("0")},
        {QStringLiteral("TDLIB_DB_DIR"), dataDir + QStringLiteral("/tdlib-db")},
        {QStringLiteral("TDLIB_FILES_DIR"), dataDir + QStringLiteral("/cache/tdlib-files")},
        {QStringLiteral("TDLIB_LOG_FILE"), dataDir + QStringLiteral("/tdlib.log")},
        {QStringLiteral("BACKEND_EVENTS_FILE"), eventsFilePath},
        {QStringLiteral("TDLIB_LOG_MAX_FILE_SIZE"), QStringLiteral("5242880")},
        {QStringLiteral("LD_LIBRARY_PATH"), appDirPath},
    };
    for (const auto &entry : defaults)
        upsert_env(env, entry.first, entry.second);

    const QString shared = sharedFolder();
    for (const char *file : {"/tg_api.env", "/tg_login.env", "/td_debug.env"})
        load_env_file(env, shared + QLatin1String(file));

    if (get_env_value(env, QStringLiteral("TD_RAISE_RLIMIT")).isEmpty())
        upsert_env(env, QStringLiteral("TD_RAISE_RLIMIT"), QStringLiteral("0"));

    if (get_env_value(env, QStringLiteral("LOG_TO_SHARED")) == QLatin1String("1")) {
        const QString logs = shared + QStringLiteral("/logs");
        QDir().mkpath(logs);
        upsert_env(env, QStringLiteral("TDLIB_LOG_MIRROR_FILE"), logs + QStringLiteral("/tdlib.log"));
    }
    return env;
}
