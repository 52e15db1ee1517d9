#include "desktop/private_folder.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "zunaro/log.h"

namespace zplatform {

bool makePrivateFolder(const QString &path, int *error)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (::mkdir(encoded.constData(), 0700) == 0)
        return true;
    if (errno != EEXIST) {
        *error = errno;
        return false;
    }
    // Followed through a link: a user may keep the folder elsewhere.
    struct stat st {};
    if (::stat(encoded.constData(), &st) != 0) {
        *error = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = ENOTDIR;
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *error = EPERM;
        return false;
    }
    if ((st.st_mode & 077) == 0)
        return true;
    if (::chmod(encoded.constData(), 0700) != 0) {
        *error = errno;
        return false;
    }
    logLine("platform: %s was open to others (mode %04o); now 0700\n", encoded.constData(),
            unsigned(st.st_mode & 07777));
    return true;
}

} // namespace zplatform
