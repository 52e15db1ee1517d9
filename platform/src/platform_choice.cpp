// Choosing the platform at start, and readying the desktop one for a service.

#include "zunaro/platform.h"

#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

#include "desktop/service_bus.h"

namespace zplatform {

namespace {
PlatformKind chosen = PlatformKind::Embedded;

QString requestedName(int argc, char **argv)
{
    const QByteArray flag("--platform=");
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg.startsWith(flag))
            return QString::fromLocal8Bit(arg.mid(flag.size()));
    }
    return qEnvironmentVariable("ZUNARO_PLATFORM", QStringLiteral("embedded"));
}
} // namespace

PlatformKind platformKind()
{
    return chosen;
}

void setPlatformKind(PlatformKind kind)
{
    chosen = kind;
}

bool platformKindFromName(const QString &name, PlatformKind *kind)
{
    if (name == QLatin1String("embedded"))
        *kind = PlatformKind::Embedded;
    else if (name == QLatin1String("desktop"))
        *kind = PlatformKind::Desktop;
    else
        return false;
    return true;
}

bool choosePlatform(int argc, char **argv, QString *error)
{
    const QString name = requestedName(argc, argv);
    PlatformKind kind;
    if (!platformKindFromName(name, &kind)) {
        *error = QStringLiteral("unknown platform \"%1\" (use embedded or desktop)").arg(name);
        return false;
    }
    setPlatformKind(kind);
    return true;
}

int startServicePlatform(int argc, char **argv)
{
    QString error;
    if (!choosePlatform(argc, argv, &error)) {
        fprintf(stderr, "zunaro-service: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (platformKind() == PlatformKind::Embedded)
        return 0;
    if (!QDBusConnection::sessionBus().isConnected()) {
        fprintf(stderr, "zunaro-service: the desktop platform needs a session bus: %s\n",
                QDBusConnection::sessionBus().lastError().message().toLocal8Bit().constData());
        return 2;
    }
    // The user's commands come through a socket in the user's runtime
    // folder; a service that cannot have one would run without them.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        fprintf(stderr, "zunaro-service: the desktop platform needs XDG_RUNTIME_DIR, the user's runtime folder, "
                        "for its command socket\n");
        return 2;
    }
    if (!claimServiceBus(&error)) {
        fprintf(stderr, "zunaro-service: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

} // namespace zplatform
