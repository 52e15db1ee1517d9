#pragma once
// The device's command socket: UDP on 127.0.0.1:kCommandPort.

#include <QByteArray>
#include <QString>

#include "zunaro/command_socket.h"

namespace zplatform {

CommandSocket openCommandPort();
bool sendToCommandPort(const QByteArray &datagram, QString *error);

} // namespace zplatform
