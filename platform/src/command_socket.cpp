// The command socket of the platform that runs, as the factory picked it:
// embedded/command_port.cpp or desktop/user_command_socket.cpp.

#include "zunaro/command_socket.h"

#include "backends.h"
#include "zunaro/device.h"

namespace zplatform {

CommandSocket openCommandSocket()
{
    return commandChannel().open();
}

bool sendCommandDatagram(const QByteArray &datagram, QString *error)
{
    if (datagram.size() > kMaxCommandDatagramBytes) {
        *error = QStringLiteral("%1 bytes do not fit one command datagram (at most %2)")
                     .arg(datagram.size())
                     .arg(kMaxCommandDatagramBytes);
        return false;
    }
    return commandChannel().send(datagram, error);
}

} // namespace zplatform
