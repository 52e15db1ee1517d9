#include "embedded/lock_file.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include "files.h"
#include "state_parse.h"
#include "zunaro/device.h"

namespace zplatform {

namespace {
QString lockPath()
{
    return platformDir() + QStringLiteral("/lock_state");
}
} // namespace

LockFile::~LockFile()
{
    delete m_watcher.data();
}

int LockFile::state()
{
    // A change is told against the state last seen by anyone, so a lock and
    // unlock between two looks of the watch still tells the unlock.
    m_last = read();
    return m_last;
}

int LockFile::read() const
{
    QByteArray content;
    switch (readSmallFile(lockPath(), kMaxLockStateBytes, &content)) {
    case SmallFile::Absent:
        return 0;
    case SmallFile::Read:
        return lockStateFromContent(content);
    case SmallFile::Unreadable:
    case SmallFile::TooLarge:
        break;
    }
    return -1;
}

void LockFile::start()
{
    if (!QCoreApplication::instance())
        return;
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(QCoreApplication::instance());
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &LockFile::reread);
        connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &LockFile::reread);
    }
    // Each service may live in a device of its own (tests make one each).
    if (m_watchedDir != deviceRoot()) {
        if (!m_watcher->files().isEmpty() || !m_watcher->directories().isEmpty())
            m_watcher->removePaths(m_watcher->files() + m_watcher->directories());
        m_watchedDir = deviceRoot();
        m_last = -2;
    }
    reread();
}

void LockFile::reread()
{
    // The file is replaced by a rename, so its folder is watched; the folder
    // itself may come later than the device root.
    for (const QString &path : {deviceRoot(), platformDir(), lockPath()}) {
        if (QFileInfo::exists(path) && !m_watcher->files().contains(path) && !m_watcher->directories().contains(path))
            m_watcher->addPath(path);
    }
    const int now = read();
    if (now == m_last)
        return;
    const bool first = m_last == -2;
    m_last = now;
    if (!first)
        emit changed(now);
}

} // namespace zplatform
