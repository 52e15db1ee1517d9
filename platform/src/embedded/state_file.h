#pragma once
// A one-value state file of the embedded platform under
// <device root>/platform/, watched so that a change is told as soon as the
// file is written.

#include <QObject>
#include <QPointer>

#include <functional>

#include "files.h"

class QFileSystemWatcher;

namespace zplatform {

class WatchedStateFile : public QObject
{
    Q_OBJECT
public:
    // `parse` turns what reading the file gave into the state.
    using Parse = std::function<int(SmallFile result, const QByteArray &content)>;
    WatchedStateFile(QString name, qsizetype maxBytes, Parse parse);
    ~WatchedStateFile() override;

    // The state now, read from the file.
    int state();
    // Follows the file of the current device root; true when that is
    // another device than the one followed so far (or the first).
    bool start();

signals:
    void changed(int state);

private:
    QString path() const;
    int read() const;
    void reread();

    const QString m_name;
    const qsizetype m_maxBytes;
    const Parse m_parse;
    // Lives with the application (watches go before the event loop does).
    QPointer<QFileSystemWatcher> m_watcher;
    QString m_watchedDir;
    int m_last = kNothingRead;
    static constexpr int kNothingRead = -2;
};

} // namespace zplatform
