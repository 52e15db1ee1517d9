#pragma once
// The desktop's command socket: a Unix datagram socket at
// $XDG_RUNTIME_DIR/zunaro/commands, in a folder only its user can enter.

#include <QString>

#include "zunaro/command_socket.h"

namespace zplatform {

// $XDG_RUNTIME_DIR/zunaro/commands; empty when XDG_RUNTIME_DIR is unset.
QString userCommandSocketPath();

CommandSocket openUserCommandSocket();
bool sendToUserCommandSocket(const QByteArray &datagram, QString *error);

} // namespace zplatform
