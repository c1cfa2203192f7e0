#pragma once

#include <QDateTime>
#include <QString>

// How a recording's file is named: the source (window title or screen name) and a timestamp, or
// the user's own name, in any script, with the extension of the video format's container,
// numbered when the name is taken already. Plain functions: no window needed.
namespace outputfilename {

// The most UTF-8 bytes a name may have: with "_<n>" and the extension it stays within the 255
// bytes file systems allow.
inline constexpr int kMaxNameBytes = 200;

// Whether the user's name can stand as a file name: not blank, not only dots, within
// kMaxNameBytes, and without control characters or any of < > : " / \ | ? * (which Windows
// file systems refuse, so that a recording can be copied anywhere).
bool isValidName(const QString& name);

// The name before the extension: sourceName + "_" + now as "yyyyMMdd_HHmmss", or userName when
// userDefined. Characters a name cannot hold become "_", and a source name loses its leading
// dots and spaces (a dot would hide the file) and what passes kMaxNameBytes; a user's name that is
// blank or only dots gives "out_file".
QString stem(const QString& sourceName, bool userDefined, const QString& userName,
             const QDateTime& now);

// The extension of the container the format records into: ".mp4", ".WMV", ".mpg" or ".avi";
// ".mp4" for an unknown format.
QString extension(const QString& videoFormat);

// stem + extension, or stem + "_" + n + extension with the smallest n >= 1 whose file does not
// exist in folder yet.
QString freeFileName(const QString& folder, const QString& stem, const QString& extension);

// The full path of the next recording in folder.
QString outputFilePath(const QString& folder, const QString& sourceName, bool userDefined,
                       const QString& userName, const QString& videoFormat, const QDateTime& now);

} // namespace outputfilename
