#pragma once
// Spawn extensions of the phone platform: an extended flag word and a
// maximum stack size for the child. The embedded platform records the stack
// maximum and gives the child exactly that limit as its RLIMIT_STACK.

#include <spawn.h>
#include <cstddef>
#include <cstdint>

#define POSIX_SPAWN_SETSTACKMAX 0x1000

int posix_spawnattr_setxflags(posix_spawnattr_t *attr, uint32_t flags);
int posix_spawnattr_setstackmax(posix_spawnattr_t *attr, size_t size);

namespace zplatform {

// posix_spawn() that honours a stack maximum recorded on the attributes.
int spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fileActions,
          const posix_spawnattr_t *attr, char *const argv[], char *const envp[]);

} // namespace zplatform
