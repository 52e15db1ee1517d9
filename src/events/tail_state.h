#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>

class QFileSystemWatcher;
class QTimer;

// Where the service stands in the backend's events file. Held by the
// service as `tail`.
struct TailState
{
    // Runs the tick in push mode, every 750 ms.
    QTimer *eventsTailTimer = nullptr;
    QString eventsFilePath;
    // Read position in the events file.
    qint64 eventsFileOffset = 0;
    // The bytes after the last line feed read, kept undecoded: a character
    // is only decoded once its line is whole.
    QByteArray eventsPartialLine;

    // The tail reads in bounded chunks and drops a line that grows past its
    // bound; the rest of that line, up to its line feed, is skipped too. The
    // skipping holds while the offset is where it was left (-1: not
    // skipping), so whoever re-seeds the offset ends it without knowing of it.
    qint64 eventsLongLineSkipOffset = -1;
    // One pass can hand the handlers many thousands of lines: whether the UI
    // is in front is read from its file once per pass, not once per line
    // (1 or 0 during a pass, -1 outside one, where the file is read).
    int eventsPassUiRunning = -1;
    // (device, inode) of the file the offset counts in; (0, 0) while none is
    // known. Another file put in place is read from its beginning.
    QPair<quint64, quint64> eventsFileIdentity;
    // That file, held open so that its identity cannot pass to another file;
    // -1 while none is known.
    int eventsFileHeldFd = -1;
    // That file's first bytes as read, up to eventtail::kHeadBytes: one
    // rewritten in place from its start no longer begins with them, and is
    // read again from 0.
    QByteArray eventsFileHead;
    // A pass also runs as soon as the file or its folder changes, at most
    // one per turn of the event loop; null when no watch could be set up,
    // and the tick alone reads the file.
    QFileSystemWatcher *eventsWatcher = nullptr;
    bool eventsPassQueued = false;
    // The read buffer, kept from one pass to the next while a large append
    // is read in bounded passes, given back once a pass reaches the end.
    QByteArray eventsReadBuffer;
};
