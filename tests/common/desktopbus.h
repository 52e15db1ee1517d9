#pragma once
// Private session and system buses for the desktop platform, with
// python3-dbusmock standing in for the desktop's services. Everything is
// started here and stopped by its pid when the rig goes.

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>

class DesktopBus
{
public:
    DesktopBus() = default;
    ~DesktopBus();

    // Starts both buses and points this process at them; call before the
    // process's first bus connection. `sessionServices` are activation
    // files for the session bus: file name -> content.
    bool start(const QList<QPair<QString, QByteArray>> &sessionServices = {});
    QString dir() const { return m_dir.path(); }
    QString sessionAddress() const { return m_sessionAddress; }

    // python3 -m dbusmock on the session (or system) bus; waits until `name`
    // is owned. The pid, or 0 on failure.
    qint64 startMock(bool system, const QString &name, const QStringList &args);
    void stopMock(qint64 pid);
    // Ends whoever owns `name` on the session bus (a service the bus started).
    void stopOwner(const QString &name);

    // The notification server mock with these capabilities; 0 on failure.
    qint64 startNotificationServer(const QString &capabilities);

private:
    qint64 startDaemon(const QString &type, const QString &servicesDir, QString *address);
    QTemporaryDir m_dir;
    QString m_sessionAddress;
    QList<qint64> m_pids; // daemons and mocks, stopped in reverse order
};

// What a mock recorded for `method`: the arguments of each call, with
// containers read into plain values (a{sv} as QVariantMap, as as QStringList).
QList<QVariantList> mockCalls(bool system, const QString &name, const QString &path, const QString &method);
void clearMockCalls(bool system, const QString &name, const QString &path);
// Emits a signal from a mock object.
bool emitMockSignal(const QString &name, const QString &path, const QString &interface, const QString &signal,
                    const QString &signature, const QVariantList &args);
// A method of a mock or a real service, answered within a few seconds.
bool callBus(bool system, const QString &name, const QString &path, const QString &interface, const QString &method,
             const QVariantList &args, QVariantList *reply = nullptr);
