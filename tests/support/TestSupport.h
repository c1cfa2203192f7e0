#pragma once

#include "recording/RecordingSettings.h"

#include <QString>
#include <QVariantHash>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder and switches QStandardPaths into
// test mode, so no suite ever touches the real user's files. Call before anything reads a path.
void isolateUserFolders();

// What a recording makes of a settings.ini holding these "Group/key" values.
RecordingSettings recordingSettings(const QVariantHash& stored);

} // namespace testsupport
