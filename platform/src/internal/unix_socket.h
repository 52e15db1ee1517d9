#pragma once
// What the platform's Unix sockets share: an address from a path, and a look
// at what lies at a socket's path before binding there.

#include <QByteArray>

#include <sys/un.h>

namespace zplatform {

// False when the path is empty or too long for a socket address.
bool unixAddress(const QByteArray &path, sockaddr_un *addr);

enum class SocketFile { None, Stale, Live };

// Somebody answering on the path (a socket of `type`) means a running
// service owns it; a file that is no socket, or a socket nobody answers on,
// was left behind and may be replaced.
SocketFile probeSocketFile(const QByteArray &path, int type);

} // namespace zplatform
