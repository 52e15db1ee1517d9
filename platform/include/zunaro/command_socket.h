#pragma once
// The socket the UI's commands for the backend arrive on. On a device, where
// one person owns everything, it is UDP on 127.0.0.1:kCommandPort; a desktop
// is shared, so there it is a Unix datagram socket only its user can reach,
// $XDG_RUNTIME_DIR/zunaro/commands. Both carry the same datagrams, so the
// service reads either the same way.

#include <QByteArray>
#include <QString>

namespace zplatform {

struct CommandSocket {
    int fd = -1;                      // close-on-exec; the caller owns it
    QByteArray address;               // where it listens, for the log
    const char *failedCall = nullptr; // when fd < 0: "socket", "mkdir", "unlink" or "bind"
    int error = 0;                    // and that call's errno
};

// Opens and binds the command socket of the platform that runs.
CommandSocket openCommandSocket();

// Sends one datagram to the service's command socket, as the UI does. False,
// with the reason, when it is longer than kMaxCommandDatagramBytes or when
// no service listens.
bool sendCommandDatagram(const QByteArray &datagram, QString *error);

} // namespace zplatform
