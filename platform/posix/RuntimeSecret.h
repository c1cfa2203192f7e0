#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Writes a new random secret (64 hex digits) to path so that only this user can read it: its
// folder is created with mode 0700 when missing and must be a real folder of this user's own,
// and the file is made anew (O_EXCL, O_NOFOLLOW, mode 0600), replacing one left by an earlier
// run; a symbolic link in its place is removed, never followed. Returns the secret, or an empty
// one with the reason in *error.
QByteArray writeRuntimeSecret(const QString& path, QString* error);

} // namespace platform
