#include "service_main.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "bps/bps.h"
#include "zunaro/command_socket.h"
#include "zunaro/device.h"
#include "zunaro/log.h"
#include "zunaro/status.h"

namespace {
constexpr int kCmdReceiveBufferBytes = 4 * 1024 * 1024;
} // namespace

ZunaroHeadlessService::ZunaroHeadlessService(bb::Application *app)
    : QObject(app),
      invokeManager(new bb::system::InvokeManager(this)),
      tickTimer(new QTimer(this))
{
    zplatform::logLine("service: starting\n");

    const int bpsRc = bps_initialize();
    bpsInitialized = (bpsRc == BPS_SUCCESS);
    zplatform::logLine("service: bps_initialize err=%d\n", bpsRc);
    // A lock change is told at once: a call waiting for the unlock needs no
    // tick to reach the UI.
    if (bpsInitialized)
        subscribe(navigator_get_domain());

    connect(invokeManager, &bb::system::InvokeManager::invoked, this,
            &ZunaroHeadlessService::onInvoked);
    zplatform::setStatusProvider(this, [this] { return statusSnapshot(); });

    appDirPath = zplatform::applicationDirPath();
    dataDir = zplatform::dataDir();
    setUpBackend();
    // However the event loop ends (a signal, a lost bus), the backend goes
    // with it and the push cursor is written, while the loop's objects are
    // still whole.
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &ZunaroHeadlessService::stopOnExit);

    uiAliveRecent = isUiAliveRecent();

    setUpTail();
    applyNotificationDefaultsOnce();
    setUpCalls();
    setUpSummary();
    // Reads the push configuration, which fixes the mode.
    setUpPush();

    tickTimer->setInterval(1000);
    connect(tickTimer, &QTimer::timeout, this, &ZunaroHeadlessService::onTick);

    if (push.tgpushMode) {
        zplatform::logLine("service: tgpush mode enabled; TDLib backend disabled\n");
        if (!tail.eventsTailTimer->isActive())
            tail.eventsTailTimer->start();
        if (serviceActive && !tgpushPollInFlight() && !uiAliveRecent)
            scheduleTgpushPoll(0);
        return;
    }

    if (backend.cmdSocketFd < 0)
        setUpCmdSocket();
    if (backend.cmdSocketFd < 0) {
        startFailureStatus = 2;
        return;
    }
    tickTimer->start();
}

ZunaroHeadlessService::~ZunaroHeadlessService()
{
    stopOnExit();
    if (bpsInitialized) {
        bps_shutdown();
        bpsInitialized = false;
    }
    // The command socket would otherwise outlive the object and keep the
    // port bound for the rest of the process. The notifier goes first. A
    // socket file stays: the next service replaces it, and removing it here
    // could remove that service's.
    delete backend.cmdSocketNotifier;
    backend.cmdSocketNotifier = nullptr;
    if (backend.cmdSocketFd >= 0) {
        close(backend.cmdSocketFd);
        backend.cmdSocketFd = -1;
    }
    if (tail.eventsFileHeldFd >= 0)
        close(tail.eventsFileHeldFd);
}

void ZunaroHeadlessService::setUpCmdSocket()
{
    // Which kind of socket it is, and who may send to it, is the platform's
    // business; what arrives on it is read the same way.
    const zplatform::CommandSocket opened = zplatform::openCommandSocket();
    if (opened.fd < 0) {
        zplatform::logLine("service: cmd %s() failed: errno=%d\n", opened.failedCall, opened.error);
        // A service without its command socket would run deaf to the UI;
        // it says where and why, and ends.
        zplatform::logLine("zunaro-service: cannot take commands on %s: %s\n", opened.address.constData(),
                           strerror(opened.error));
        backend.cmdSocketFd = -1;
        return;
    }
    const int fd = opened.fd;
    // A burst of commands waits in the socket while the thread is busy; the
    // default buffer holds a few hundred datagrams, so ask for more. The
    // system caps the request at its own maximum; the size granted is
    // logged once.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kCmdReceiveBufferBytes, sizeof(kCmdReceiveBufferBytes));
    int granted = 0;
    socklen_t grantedSize = sizeof(granted);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize);
    zplatform::logLine("service: cmd socket receive buffer %d bytes\n", granted);
    backend.cmdSocketFd = fd;
    backend.cmdSocketNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(backend.cmdSocketNotifier, &QSocketNotifier::activated, this,
            &ZunaroHeadlessService::onCmdSocketActivated);
    zplatform::logLine("service: cmd socket listening on %s\n", opened.address.constData());
}
