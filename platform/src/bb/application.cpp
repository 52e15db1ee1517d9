#include "bb/Application.h"

#include <QSocketNotifier>

#include <cstdlib>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zunaro/log.h"
#include "zunaro/platform.h"

namespace {
// Written by the signal handler, read on the event loop.
int signalPipe[2] = {-1, -1};
// How long the event loop has to take up a termination request. A service
// held up longer (a slot that does not return, a call that does not come
// back) ends by the signal's default action instead: it must end whatever
// it is doing.
constexpr unsigned kQuitGraceSeconds = 3;
volatile sig_atomic_t terminationSignal = 0;

void onTerminationSignal(int signo)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
    if (terminationSignal == 0) {
        terminationSignal = signo;
        ::alarm(kQuitGraceSeconds);
    }
}

void onQuitGraceOver(int)
{
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(terminationSignal, &byDefault, nullptr);
    ::kill(::getpid(), terminationSignal);
}
} // namespace

namespace bb {

Application::Application(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
    // Before the service exists: a second service on the session, or one
    // for a platform that cannot run here, ends now.
    int status = 0;
    if (!zplatform::startServicePlatform(argc, argv, &status))
        ::exit(status);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return;
    m_signalNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, [] {
        char buf[16];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {
        }
        ::alarm(0);
        zplatform::logLine("service: stopping on SIG%s\n", sigabbrev_np(terminationSignal));
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    struct sigaction grace {};
    grace.sa_handler = onQuitGraceOver;
    sigemptyset(&grace.sa_mask);
    sigaction(SIGALRM, &grace, nullptr);
}

Application::~Application()
{
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGALRM, SIG_DFL);
    if (m_signalNotifier) {
        m_signalNotifier->setEnabled(false);
        delete m_signalNotifier;
        m_signalNotifier = nullptr;
    }
    for (int &fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace bb
