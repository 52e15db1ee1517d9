// The service's command line, choosing the platform at start, and readying
// the desktop one for a service.

#include "zunaro/platform.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

#include "backends.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace zplatform {

namespace {
PlatformKind chosen = PlatformKind::Embedded;

// Through the log, so that under systemd the journal files it as an error.
void refuse(const QString &why)
{
    logLine("zunaro-service: %s\n", why.toLocal8Bit().constData());
}

const char kServiceDescription[] =
    "The Telegram Vyn background service: keeps the messaging backend running\n"
    "while the UI wants it, relays the UI's commands to it, and turns its\n"
    "events into notifications and ringing calls. It logs to standard error.\n"
    "\n"
    "The platform is the one named, else $ZUNARO_PLATFORM, else embedded.";
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

QString unknownPlatformError(const QString &name)
{
    return QStringLiteral("unknown platform \"%1\" (use embedded or desktop)").arg(name);
}

bool startServicePlatform(int argc, char **argv, int *exitStatus)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kServiceDescription));
    // Not addHelpOption(): its --help-all would be one more option to answer.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays these options and exits."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption platform(QStringLiteral("platform"),
                                      QStringLiteral("embedded (the default: state in files under the device "
                                                     "root) or desktop (the session's freedesktop services)."),
                                      QStringLiteral("NAME"));
    parser.addOption(platform);
    *exitStatus = 2;
    if (!parser.parse(arguments)) {
        refuse(parser.errorText());
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        refuse(QStringLiteral("unexpected argument \"%1\" (see --help)").arg(parser.positionalArguments().first()));
        return false;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        const QString text = parser.isSet(help) ? parser.helpText()
                                                : QStringLiteral("zunaro-service %1\n").arg(QLatin1String(ZUNARO_VERSION));
        fputs(text.toLocal8Bit().constData(), stdout);
        *exitStatus = 0;
        return false;
    }
    const QString name = parser.isSet(platform) ? parser.value(platform)
                                                : qEnvironmentVariable("ZUNARO_PLATFORM", QStringLiteral("embedded"));
    PlatformKind kind;
    if (!platformKindFromName(name, &kind)) {
        refuse(unknownPlatformError(name));
        return false;
    }
    setPlatformKind(kind);
    QString why;
    if (!deviceLayoutFound(&why)) {
        refuse(why);
        return false;
    }
    // Every backend of the chosen platform, picked here once.
    *exitStatus = backends().entrance->claim();
    // A backend that cannot write there would run without a word.
    if (*exitStatus == 0 && !serviceFoldersReady(&why)) {
        refuse(why);
        *exitStatus = 2;
    }
    return *exitStatus == 0;
}

} // namespace zplatform
