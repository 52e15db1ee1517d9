// Speed of scanning a large poll answer: prints "push_scan_10mb <value> MB/s".

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>

#include "push/events_scan.h"

int main()
{
    QByteArray body = "{\"events\":[";
    quint64 id = 1;
    while (body.size() < 10 * 1024 * 1024) {
        body += "{\"id\":" + QByteArray::number(id++)
            + ",\"chat_id\":-100123456789,\"text\":\"a message of some ordinary length, as chats have\"},";
    }
    body.chop(1);
    body += "],\"next_since\":" + QByteArray::number(id) + "}";

    const int rounds = 20;
    quint64 check = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        check += push::scanEvents(body, 0).best;
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double mb = double(body.size()) * rounds / (1024.0 * 1024.0);
    std::printf("push_scan_10mb %.0f MB/s\n", mb / seconds);
    std::printf("push_scan_10mb_events %d count\n", push::scanEvents(body, 0).count);
    return check == quint64(rounds) * id ? 0 : 1;
}
