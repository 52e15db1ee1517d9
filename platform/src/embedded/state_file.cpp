#include "embedded/state_file.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include "zunaro/device.h"

namespace zplatform {

WatchedStateFile::WatchedStateFile(QString name, qsizetype maxBytes, Parse parse)
    : m_name(std::move(name)), m_maxBytes(maxBytes), m_parse(std::move(parse))
{
}

WatchedStateFile::~WatchedStateFile()
{
    delete m_watcher.data();
}

QString WatchedStateFile::path() const
{
    return platformDir() + QLatin1Char('/') + m_name;
}

int WatchedStateFile::state()
{
    // A change is told against the state last seen by anyone, so a change
    // and its undoing between two looks of the watch still tell the second.
    m_last = read();
    return m_last;
}

int WatchedStateFile::read() const
{
    QByteArray content;
    const SmallFile result = readSmallFile(path(), m_maxBytes, &content);
    return m_parse(result, content);
}

bool WatchedStateFile::start()
{
    if (!QCoreApplication::instance())
        return false;
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(QCoreApplication::instance());
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &WatchedStateFile::reread);
        connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &WatchedStateFile::reread);
    }
    // Each service may live in a device of its own (tests make one each).
    const bool another = m_watchedDir != deviceRoot();
    if (another) {
        if (!m_watcher->files().isEmpty() || !m_watcher->directories().isEmpty())
            m_watcher->removePaths(m_watcher->files() + m_watcher->directories());
        m_watchedDir = deviceRoot();
        m_last = kNothingRead;
    }
    reread();
    return another;
}

void WatchedStateFile::reread()
{
    // The file is replaced by a rename, so its folder is watched; the folder
    // itself may come later than the device root.
    for (const QString &watched : {deviceRoot(), platformDir(), path()}) {
        if (QFileInfo::exists(watched) && !m_watcher->files().contains(watched)
            && !m_watcher->directories().contains(watched))
            m_watcher->addPath(watched);
    }
    const int now = read();
    if (now == m_last)
        return;
    const bool first = m_last == kNothingRead;
    m_last = now;
    if (!first)
        emit changed(now);
}

} // namespace zplatform
