// The backend's environment: the service's own, fixed defaults, the three
// configuration files of the shared folder, then the values that depend on
// what those files said.

#include "service_main.h"

#include <QFile>
#include <QHash>
#include <QProcess>

#include "core/env_file.h"
#include "zunaro/device.h"
#include "zunaro/files.h"
#include "zunaro/log.h"

namespace {
// What one configuration file may add to the backend's environment. The
// system refuses a launch whose environment passes its argument limit
// (2 MiB here, 128 KiB for a single entry); real files set a few dozen
// names, so these bounds keep the launch far from that limit without ever
// touching an honest file.
constexpr int kMaxEnvFileAssignments = 1024;
constexpr qsizetype kMaxEnvFileAddedBytes = 64 * 1024;

QString sharedFolder()
{
    return zplatform::sharedDir() + QStringLiteral("/misc/nimbrel");
}

// Bytes of the text once encoded as UTF-8, without encoding it.
qsizetype utf8Size(QStringView text)
{
    qsizetype bytes = 0;
    for (const QChar c : text)
        bytes += c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 || c.isSurrogate() ? 2 : 3;
    return bytes;
}

// The list's names and the position of the first entry of each, so that
// each assignment of a file is one lookup: a file of many names costs time
// linear in its size instead of one scan of the whole list per name.
class EnvIndex
{
public:
    explicit EnvIndex(QStringList &env)
        : m_env(env)
    {
        m_first.reserve(env.size());
        // Backwards, so that the first entry of a name is the one kept.
        for (qsizetype i = env.size() - 1; i >= 0; --i) {
            const qsizetype eq = env.at(i).indexOf(QLatin1Char('='));
            if (eq > 0)
                m_first.insert(env.at(i).left(eq), i);
        }
    }

    // The first entry of the name takes the value in place; a name not in
    // the list yet goes at its end.
    void upsert(const QString &name, const QString &value)
    {
        const QString entry = name + QLatin1Char('=') + value;
        const auto it = m_first.constFind(name);
        if (it != m_first.constEnd()) {
            m_env[it.value()] = entry;
            return;
        }
        m_first.insert(name, m_env.size());
        m_env.append(entry);
    }

private:
    QStringList &m_env;
    QHash<QString, qsizetype> m_first;
};
} // namespace

void ZunaroHeadlessService::upsert_env(QStringList &env, const QString &key, const QString &value)
{
    EnvIndex(env).upsert(key, value);
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
    if (!envfile::readEnvFile(path, envfile::kMaxBackendEnvFileBytes, content))
        return;
    EnvIndex index(env);
    int taken = 0;
    qsizetype addedBytes = 0;
    int skipped = 0;
    for (const envfile::Assignment &assignment : envfile::parseBackendEnv(content)) {
        const qsizetype bytes = utf8Size(assignment.first) + 1 + utf8Size(assignment.second) + 1;
        if (taken >= kMaxEnvFileAssignments || addedBytes + bytes > kMaxEnvFileAddedBytes) {
            ++skipped;
            continue;
        }
        ++taken;
        addedBytes += bytes;
        index.upsert(assignment.first, assignment.second);
    }
    if (skipped > 0)
        zplatform::logLine("service: env file %s: %d assignments skipped, over the bound of %d names and %lld bytes\n",
                          QFile::encodeName(path).constData(), skipped, kMaxEnvFileAssignments,
                          static_cast<long long>(kMaxEnvFileAddedBytes));
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
        {QStringLiteral("BACKEND_EVENTS_FILE"), tail.eventsFilePath},
        {QStringLiteral("TDLIB_LOG_MAX_FILE_SIZE"), QStringLiteral("5242880")},
        {QStringLiteral("LD_LIBRARY_PATH"), appDirPath},
    };
    EnvIndex index(env);
    for (const auto &entry : defaults)
        index.upsert(entry.first, entry.second);

    const QString shared = sharedFolder();
    for (const char *file : {"/tg_api.env", "/tg_login.env", "/td_debug.env"})
        load_env_file(env, shared + QLatin1String(file));

    if (get_env_value(env, QStringLiteral("TD_RAISE_RLIMIT")).isEmpty())
        upsert_env(env, QStringLiteral("TD_RAISE_RLIMIT"), QStringLiteral("0"));

    if (get_env_value(env, QStringLiteral("LOG_TO_SHARED")) == QLatin1String("1")) {
        const QString logs = shared + QStringLiteral("/logs");
        zplatform::makePrivatePath(logs);
        upsert_env(env, QStringLiteral("TDLIB_LOG_MIRROR_FILE"), logs + QStringLiteral("/tdlib.log"));
    }
    return env;
}
