#include "embedded/lock_file.h"

#include "internal/state_parse.h"

namespace zplatform {

namespace {
int lockStateOf(SmallFile result, const QByteArray &content)
{
    switch (result) {
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
} // namespace

LockFile::LockFile()
    : m_file(QStringLiteral("lock_state"), kMaxLockStateBytes, lockStateOf)
{
    connect(&m_file, &WatchedStateFile::changed, this, &LockSource::changed);
}

} // namespace zplatform
