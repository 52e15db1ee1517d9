#pragma once
// Private session and system buses, python3-dbusmock for the desktop's services; all stopped by pid at the end.

#include <QProcess>
#include <QTemporaryDir>
#include <QVariantList>

#include <list>
#include <optional>

class DesktopBus
{
public:
    ~DesktopBus();

    // Call before this process's first bus connection: starts both buses, the session one activating dir()/*.service.
    bool start();
    QString dir() const { return m_dir.path(); }
    QString sessionAddress() const { return qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"); }
    // One more bus like those (another user's session, one a test may kill): its pid, its address in `address`.
    qint64 startBus(QByteArray *address);

    // python3 -m dbusmock on the session (or system) bus, once `name` is owned: its pid, or 0 on failure.
    qint64 startMock(bool system, const QString &name, const QStringList &args);
    void stop(qint64 pid); // SIGKILL and wait: stand-ins need no clean end
    // Ends whoever owns `name` on the session bus (a service the bus started); true once it is gone.
    bool stopOwner(const QString &name);
    // Any other program the test needs while the buses run (a display, a real server), stopped with them.
    QProcess &launch(const QString &program, const QStringList &args);

private:
    QTemporaryDir m_dir;
    std::list<QProcess> m_children; // the buses and mocks
};

// The arguments of each call of `method` a session bus mock recorded; read containers with qdbus_cast.
QList<QVariantList> mockCalls(const QString &name, const QString &path, const QString &method);
// A method of a mock or a real service, answered within a few seconds: its reply, none on failure.
std::optional<QVariantList> callBus(bool system, const QString &name, const QString &path, const QString &interface,
                                    const QString &method, const QVariantList &args);
