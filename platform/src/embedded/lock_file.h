#pragma once
// The lock state of the embedded platform: <device root>/platform/lock_state,
// watched so that a change is told as soon as the file is written.

#include <QPointer>

#include "backend_api.h"

class QFileSystemWatcher;

namespace zplatform {

class LockFile : public LockSource
{
    Q_OBJECT
public:
    ~LockFile() override;
    int state() override;
    void start() override;

private:
    int read() const;
    void reread();

    // Lives with the application (watches go before the event loop does).
    QPointer<QFileSystemWatcher> m_watcher;
    QString m_watchedDir;
    int m_last = -2; // nothing read yet
};

} // namespace zplatform
