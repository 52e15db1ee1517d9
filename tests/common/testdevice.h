#pragma once
// One test's device: a real device's layout in a temporary folder, the platform pointed at it; its files, the log.

#include <QByteArray>
#include <QFileInfo>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "bb/system/InvokeRequest.h"

// Puts what `content` names at `path`: "<dir>" a directory, "<fifo>" a FIFO nobody writes, "<unreadable>" a file
// even root cannot read (a link to a write-only kernel setting), "<none>" nothing; else the content as the bytes.
bool placeAt(const QString &path, const QByteArray &content);

class TestDevice
{
public:
    TestDevice();  // creates the layout and points the platform at it
    ~TestDevice(); // restores the platform's defaults and the real clock

    QString root() const { return m_dir.path(); }
    QString appDir() const { return root() + QStringLiteral("/app/native"); }
    QString dataDir() const { return root() + QStringLiteral("/data"); }
    QString sharedDir() const { return root() + QStringLiteral("/accounts/1000/shared/misc"); }
    QString nimbrelDir() const { return sharedDir() + QStringLiteral("/nimbrel"); }

    // Paths are relative to the device root.
    QString path(const QString &relative) const { return root() + QLatin1Char('/') + relative; }
    bool write(const QString &relative, const QByteArray &content) const { return placeAt(path(relative), content); }
    QByteArray read(const QString &relative) const; // empty when missing
    bool exists(const QString &relative) const { return QFileInfo::exists(path(relative)); }
    // Lines of a JSON-lines file of the device, as raw bytes without the line feed.
    QList<QByteArray> lines(const QString &relative) const;
    // The same lines parsed; a line that is no JSON object is an empty one.
    QList<QJsonObject> jsonLines(const QString &relative) const;
    // `field` of every line, as text ("" where it is absent).
    QStringList column(const QString &relative, const QString &field) const;
    // A JSON file of the device; empty when missing or not an object.
    QJsonObject json(const QString &relative) const;

    // Copies a built executable into app/native under `as`.
    bool installTool(const QString &name, const QString &as) const;

private:
    QTemporaryDir m_dir;
};

// Path of an executable built by this project ("zunaroctl", "td_backend_sim", "zunaro-service", ...).
QString builtTool(const QString &name);

// Lines of the backend's events file, without the line feed.
QByteArray messageEvent(qint64 chatId, const QByteArray &title, const QByteArray &text, qint64 date = 0,
                        const QByteArray &sender = QByteArray());
QByteArray unreadEvent(qint64 chatId, int count);
// A call from user 3 ("Alice") in chat 12.
QByteArray callEvent(qint64 callId, const QByteArray &state);

// An invocation as the platform hands it over.
bb::system::InvokeRequest invocation(const QString &action, const QString &uri = QString(),
                                     const QString &target = QString());

// Sends one datagram to the command port on 127.0.0.1, as the UI does.
void sendCommandDatagram(const QByteArray &bytes);

// Collects the service's log lines while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    const QList<QByteArray> &lines() const { return m_lines; }
    void clear() { m_lines.clear(); }
    // Lines that start with `prefix`.
    QList<QByteArray> matching(const QByteArray &prefix) const;
    bool contains(const QByteArray &line) const { return m_lines.contains(line); }

private:
    QList<QByteArray> m_lines;
};
