#pragma once
// Scanning a poll answer without building a JSON document: the events
// array, the "id" of each event, and the optional "next_since".

#include <QByteArrayView>
#include <QtGlobal>

namespace push {

struct EventsScan
{
    enum Status { Accepted, MissingEvents, UnterminatedEvents };
    Status status = MissingEvents;
    int count = 0;     // events with a usable id
    quint64 best = 0;  // the cursor to keep: never below the one passed in
};

EventsScan scanEvents(QByteArrayView body, quint64 since);

// The unsigned number after the first "<name>": key, bare or in quotes.
bool extractU64(QByteArrayView body, const char *name, quint64 &out);

} // namespace push
