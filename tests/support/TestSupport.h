#pragma once

#include "recording/RecordingSettings.h"

#include <QProcessEnvironment>
#include <QString>
#include <QVariantHash>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder and switches QStandardPaths into
// test mode, so no suite ever touches the real user's files. Call before anything reads a path.
void isolateUserFolders();

// What a recording makes of a settings.ini holding these "Group/key" values.
RecordingSettings recordingSettings(const QVariantHash& stored);

// A home of its own under root for the real program: root/videos is its recordings folder and
// root/run its runtime folder. Returns its settings folder (empty when it cannot be made) and the
// environment to start it in, on the X display.
QString programHome(const QString& root, QProcessEnvironment* env);

// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);

// Replaces the file with these bytes, making its folder first; false when any of it fails.
bool writeFile(const QString& path, const QByteArray& bytes);

// JSON written with single quotes, to keep the literals readable.
QByteArray json(const char* text);

} // namespace testsupport
