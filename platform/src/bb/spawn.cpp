#include "zunaro/spawn.h"

#include <cerrno>
#include <cstring>

#include <sys/resource.h>

namespace {

// The stack maximum is kept inside the attribute object itself, in the tail
// of its reserved area: posix_spawnattr_init() zeroes the whole object, so a
// recorded maximum lives exactly as long as the attributes it was set on and
// a fresh object never carries an old one.
constexpr size_t kPadInts = sizeof(posix_spawnattr_t::__pad) / sizeof(int);
constexpr size_t kStackSlot = kPadInts - sizeof(size_t) / sizeof(int);
static_assert(kPadInts * sizeof(int) >= 2 * sizeof(size_t), "no room to record the stack maximum");

size_t recordedStackMax(const posix_spawnattr_t *attr)
{
    size_t size = 0;
    if (attr)
        std::memcpy(&size, &attr->__pad[kStackSlot], sizeof size);
    return size;
}

} // namespace

int posix_spawnattr_setxflags(posix_spawnattr_t *, uint32_t)
{
    return 0;
}

int posix_spawnattr_setstackmax(posix_spawnattr_t *attr, size_t size)
{
    if (!attr)
        return EINVAL;
    std::memcpy(&attr->__pad[kStackSlot], &size, sizeof size);
    return 0;
}

namespace zplatform {

int spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fileActions,
          const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    const size_t stackMax = recordedStackMax(attr);
    if (stackMax == 0)
        return posix_spawn(pid, path, fileActions, attr, argv, envp);

    // A child starts with the limits of its parent, so the parent takes the
    // child's stack limit for the moment of the spawn and then goes back to
    // its own. Its own stack is already grown well past the small depth the
    // spawn call needs, so the brief lower limit cannot hurt it.
    rlimit own {};
    if (getrlimit(RLIMIT_STACK, &own) != 0)
        return errno;
    rlimit child = own;
    child.rlim_cur = rlim_t(stackMax);
    if (own.rlim_max != RLIM_INFINITY && child.rlim_cur > own.rlim_max)
        child.rlim_max = child.rlim_cur;
    if (setrlimit(RLIMIT_STACK, &child) != 0) {
        // Raising the hard limit needs privilege; the child then gets as much
        // as this process may give.
        child.rlim_max = own.rlim_max;
        child.rlim_cur = own.rlim_max;
        if (setrlimit(RLIMIT_STACK, &child) != 0)
            return errno;
    }
    const int rc = posix_spawn(pid, path, fileActions, attr, argv, envp);
    setrlimit(RLIMIT_STACK, &own);
    return rc;
}

} // namespace zplatform
