#pragma once

#include <QDateTime>
#include <QString>

// How a recording's file is named: the source (window title or screen name) and a timestamp, or
// the user's own name, reduced to characters every file system accepts, with the extension of
// the video format, numbered when the name is taken already. Plain functions: no window needed.
namespace outputfilename {

// The name before the extension: sourceName + "_" + now as "yyyyMMdd_HHmmss", or userName when
// userDefined; everything but ASCII letters, digits, "_" and "-" removed. May be empty.
QString stem(const QString& sourceName, bool userDefined, const QString& userName,
             const QDateTime& now);

// ".WMV" for "Windows Media", ".mp4" for every other format.
QString extension(const QString& videoFormat);

// stem + extension, or stem + "_" + n + extension with the smallest n >= 1 whose file does not
// exist in folder yet.
QString freeFileName(const QString& folder, const QString& stem, const QString& extension);

// The full path of the next recording in folder.
QString outputFilePath(const QString& folder, const QString& sourceName, bool userDefined,
                       const QString& userName, const QString& videoFormat, const QDateTime& now);

} // namespace outputfilename
