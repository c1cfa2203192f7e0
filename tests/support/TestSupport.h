#pragma once

#include <QString>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder and switches QStandardPaths into
// test mode, so no suite ever touches the real user's files. Call before anything reads a path.
void isolateUserFolders();

} // namespace testsupport
