#pragma once
// Folders of the desktop user's own: messages, the backend's database and
// the command socket live in them.

#include <QString>

namespace zplatform {

// Makes `path` a folder for its owner alone (0700): creates it, or tightens
// one of ours that group or others may enter, with one log line. False with
// the errno when something else is there (ENOTDIR), it belongs to another
// user (EPERM), or it cannot be made or changed.
bool makePrivateFolder(const QString &path, int *error);

} // namespace zplatform
