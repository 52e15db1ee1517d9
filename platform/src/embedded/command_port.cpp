// The device's command socket: UDP on 127.0.0.1:kCommandPort, where one
// person owns the device.

#include "embedded/command_port.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zunaro/device.h"

namespace zplatform {

namespace {
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
    // UDP cannot tell whether anybody listens: a datagram to a closed port
    // is as sent.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = commandPortAddress();
    const bool sent = fd >= 0
        && ::sendto(fd, datagram.constData(), size_t(datagram.size()), 0, reinterpret_cast<const sockaddr *>(&addr),
                    sizeof addr)
            == datagram.size();
    if (!sent)
        *error = QStringLiteral("could not send to 127.0.0.1:%1: %2")
                     .arg(kCommandPort)
                     .arg(QString::fromLocal8Bit(strerror(errno)));
    if (fd >= 0)
        ::close(fd);
    return sent;
}

} // namespace zplatform
