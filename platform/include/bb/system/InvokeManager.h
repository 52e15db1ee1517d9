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

signals:
    void finished();

private:
    friend class InvokeManager;
    bool m_finished = false;
};

// Receives the invocations addressed to this application (invoked()) and
// sends invocations to others (invoke()).
class InvokeManager : public QObject
{
    Q_OBJECT
public:
    explicit InvokeManager(QObject *parent = nullptr);
    ~InvokeManager() override;

    // Records the request as sent by the service. Returns null only when the
    // request could not be recorded.
    InvokeTargetReply *invoke(const InvokeRequest &request);

signals:
    void invoked(const bb::system::InvokeRequest &request);
};

} // namespace system
} // namespace bb
