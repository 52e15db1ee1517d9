#pragma once

#include <QObject>

#include "bb/system/InvokeRequest.h"

namespace bb {
namespace system {

// The answer to an invocation that was sent. It emits finished() on a later
// turn of the event loop. The caller owns it.
class InvokeTargetReply : public QObject
{
    Q_OBJECT
public:
    explicit InvokeTargetReply(QObject *parent = nullptr);
    bool isFinished() const { return m_finished; }
    // Why the invocation failed; empty when it succeeded or is under way.
    QString errorString() const { return m_errorString; }

signals:
    void finished();

private:
    friend class InvokeManager;
    bool m_finished = false;
    QString m_errorString;
};

// Receives the invocations addressed to this application (invoked()) and
// sends invocations to others (invoke()).
class InvokeManager : public QObject
{
    Q_OBJECT
public:
    explicit InvokeManager(QObject *parent = nullptr);
    ~InvokeManager() override;

    // Sends the request on behalf of the service. Returns null only when it
    // could not be sent at all.
    InvokeTargetReply *invoke(const InvokeRequest &request);

signals:
    void invoked(const bb::system::InvokeRequest &request);
};

} // namespace system
} // namespace bb
