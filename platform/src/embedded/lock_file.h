#pragma once
// The lock state of the embedded platform: <device root>/platform/lock_state,
// watched so that a change is told as soon as the file is written.

#include "internal/backend_api.h"
#include "embedded/state_file.h"

namespace zplatform {

class LockFile : public LockSource
{
    Q_OBJECT
public:
    LockFile();
    int state() override { return m_file.state(); }
    void start() override { m_file.start(); }

private:
    WatchedStateFile m_file;
};

} // namespace zplatform
