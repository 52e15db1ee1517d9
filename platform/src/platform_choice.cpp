// Choosing the platform at start, and readying it for a service.

#include "zunaro/platform.h"

#include <cstdio>

#include "backends.h"

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
    // Every backend of the chosen platform, picked here once.
    return backends().entrance->claim();
}

} // namespace zplatform
