#include "zunaro/spawn.h"

int posix_spawnattr_setxflags(posix_spawnattr_t *, uint32_t)
{
    return 0;
}

int posix_spawnattr_setstackmax(posix_spawnattr_t *, size_t)
{
    return 0;
}

namespace platform {

int spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fileActions,
          const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    return posix_spawn(pid, path, fileActions, attr, argv, envp);
}

} // namespace platform
