// The device's command socket: UDP on 127.0.0.1:kCommandPort, where one
// person owns the device.

#include "embedded/command_port.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zunaro/device.h"

namespace zplatform {

namespace {
// How long a sender waits for the refusal; on loopback it is there as soon
// as the send returns.
constexpr int kRefusalWaitMs = 10;

sockaddr_in commandPortAddress()
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kCommandPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}
} // namespace

CommandSocket openCommandPort()
{
    CommandSocket out;
    out.address = "127.0.0.1:" + QByteArray::number(kCommandPort);
    // Close-on-exec, so a backend that outlives the service cannot keep the
    // command port.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        out.failedCall = "socket";
        out.error = errno;
        return out;
    }
    // No SO_REUSEADDR: on Linux it would let any local process bind the
    // port beside the service and take its commands. A taken port is a
    // bind failure.
    const sockaddr_in addr = commandPortAddress();
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        out.failedCall = "bind";
        out.error = errno;
        ::close(fd);
        return out;
    }
    out.fd = fd;
    return out;
}

bool sendToCommandPort(const QByteArray &datagram, QString *error)
{
    // A datagram to a closed port on loopback comes back as an ICMP port
    // unreachable while it is being sent; a connected socket takes that as
    // ECONNREFUSED, so the sender can tell nobody listens.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = commandPortAddress();
    int failure = 0;
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
        || ::send(fd, datagram.constData(), size_t(datagram.size()), 0) != datagram.size()) {
        failure = errno;
    } else {
        pollfd p {fd, 0, 0};
        socklen_t length = sizeof failure;
        if (::poll(&p, 1, kRefusalWaitMs) == 1 && (p.revents & POLLERR))
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
    }
    if (fd >= 0)
        ::close(fd);
    if (failure == ECONNREFUSED)
        *error = QStringLiteral("no service listening on 127.0.0.1:%1 (the port refused the datagram)")
                     .arg(kCommandPort);
    else if (failure != 0)
        *error = QStringLiteral("could not send to 127.0.0.1:%1: %2")
                     .arg(kCommandPort)
                     .arg(QString::fromLocal8Bit(strerror(failure)));
    return failure == 0;
}

} // namespace zplatform
