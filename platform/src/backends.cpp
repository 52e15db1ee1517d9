#include "backends.h"

#include <QNetworkInformation>
#include <QTimer>

#include "bb/system/InvokeManager.h"
#include "control_server.h"
#include "desktop/application_open.h"
#include "desktop/lock_logind.h"
#include "desktop/notifications_fdo.h"
#include "files.h"
#include "hub_carrier.h"
#include "invoke_record.h"
#include "state_parse.h"
#include "zunaro/device.h"
#include "zunaro/platform.h"

namespace zplatform {

namespace {
bool desktop()
{
    return platformKind() == PlatformKind::Desktop;
}

std::unique_ptr<ControlServer> &controlServer()
{
    static std::unique_ptr<ControlServer> server;
    return server;
}

int lockStateFromFile()
{
    QByteArray content;
    switch (readSmallFile(platformDir() + QStringLiteral("/lock_state"), kMaxLockStateBytes, &content)) {
    case SmallFile::Absent:
        return 0;
    case SmallFile::Read:
        return lockStateFromContent(content);
    case SmallFile::Unreadable:
    case SmallFile::TooLarge:
        break;
    }
    return -1;
}
} // namespace

std::unique_ptr<HubCarrier> makeHubCarrier()
{
    return desktop() ? makeNotificationsFdoCarrier() : makeHubFilesCarrier();
}

bool sendInvocation(const bb::system::InvokeRequest &request, const QString &by, InvocationDone done)
{
    if (desktop()) {
        openApplication(request, std::move(done));
        return true;
    }
    if (!recordInvocation(request, by))
        return false;
    if (done)
        QTimer::singleShot(0, [done] { done(QString()); });
    return true;
}

int deviceLockState()
{
    return desktop() ? desktopLockState() : lockStateFromFile();
}

void startLockState()
{
    if (desktop())
        desktopLockState();
}

bool loadNetworkBackend()
{
    // On a desktop NetworkManager may not run; the glib backend answers
    // there, and loadDefaultBackend() would try NetworkManager alone.
    if (desktop())
        return QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
    return QNetworkInformation::loadDefaultBackend();
}

void firstInvokeManagerAdded(bb::system::InvokeManager *manager)
{
    if (!desktop()) {
        controlServer() = ControlServer::open();
        return;
    }
    // The phone tells a service that the system started; here the session
    // starting the service is that moment, once per process.
    static bool announced = false;
    if (announced)
        return;
    announced = true;
    QTimer::singleShot(0, manager, [manager] {
        bb::system::InvokeRequest request;
        request.setAction(QStringLiteral("bb.action.system.STARTED"));
        emit manager->invoked(request);
    });
}

void lastInvokeManagerRemoved()
{
    controlServer().reset();
}

} // namespace zplatform
