// The service's folders on the platform that runs: where they lie, and
// that they are made for their owner alone.

#include "zunaro/device.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "desktop/private_folder.h"
#include "zunaro/files.h"
#include "zunaro/platform.h"

namespace zplatform {

namespace {
// Where the service's files lie on the platform that runs: the one place
// that knows.
struct Places {
    QString data;
    QString shared;
    QString settings;
    // The desktop's XDG folders: made with the folders above them, and the
    // config folder is the service's own (a device's shared folder is not).
    bool xdg = false;
};

Places places()
{
    switch (platformKind()) {
    case PlatformKind::Embedded:
        return {deviceRoot() + QStringLiteral("/data"), devicePath(QStringLiteral("/accounts/1000/shared")),
                platformDir() + QStringLiteral("/notification_settings.json")};
    case PlatformKind::Desktop: {
        const QString config =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/zunaro");
        return {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zunaro"),
                config, config + QStringLiteral("/notification_settings.json"), true};
    }
    }
    return {};
}

// Makes the folder its owner's alone: created when missing (on a desktop
// with the XDG folders above it, as the XDG rules ask), or tightened when
// group or others may enter it. Messages, the backend's database and the
// login file live in these folders.
bool makeOwnFolder(const QString &path, bool withParents, int *error)
{
    if (withParents && !makePrivatePath(QFileInfo(path).absolutePath())) {
        *error = errno;
        return false;
    }
    return makePrivateFolder(path, error);
}

// What is wrong with the folder, for a person: what is in its place, whose
// it is, else the system's word.
QString folderTrouble(const QString &path, int error)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return QStringLiteral("a file is there, not a folder");
        if (st.st_uid != ::geteuid())
            return QStringLiteral("it belongs to uid %1, not to this user (uid %2)").arg(st.st_uid).arg(::geteuid());
    }
    return QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerror(error)),
                                         QLatin1String(strerrorname_np(error)));
}
} // namespace

QString dataDir()
{
    const Places p = places();
    // Where it cannot be made so, the start-up check has said why. A device
    // without the folder yet gets it with the first file written there.
    int ignored = 0;
    if (p.xdg || QFileInfo::exists(p.data))
        makeOwnFolder(p.data, p.xdg, &ignored);
    return p.data;
}

QString sharedDir()
{
    const Places p = places();
    int ignored = 0;
    if (p.xdg)
        makeOwnFolder(p.shared, true, &ignored);
    return p.shared;
}

bool serviceFoldersReady(QString *error)
{
    // Before anything lands in it: the login file lies below.
    sharedDir();
    const Places p = places();
    int err = 0;
    if (!makeOwnFolder(p.data, p.xdg, &err)) {
        *error = QStringLiteral("cannot use the data folder %1: %2").arg(p.data, folderTrouble(p.data, err));
        return false;
    }
    if (::faccessat(AT_FDCWD, QFile::encodeName(p.data).constData(), W_OK | X_OK, AT_EACCESS) != 0) {
        err = errno;
        *error = QStringLiteral("cannot write in the data folder %1: %2").arg(p.data, folderTrouble(p.data, err));
        return false;
    }
    return true;
}

QString notificationSettingsPath()
{
    return places().settings;
}

} // namespace zplatform
