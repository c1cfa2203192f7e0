#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the benchmarks need to hold Torvane against the ffmpeg command line doing the same work.
namespace ffmpegref {

// The ffmpeg output options that make libx264 encode exactly as the mux thread does with the
// first-run default settings (H.264 MP4, "High (Default)" quality, a fixed bitrate) at the given
// frame rate: pixel conversion, encoder, rate control, GOP and threads. Private options that
// FFmpeg's libx264 wrapper does not know have no effect there, so they are left out here too.
// Everything up to "-f mp4"; the output path follows.
QStringList x264OutputArguments(int fps, int bitrateKbps);

// The arguments joined into one line that a POSIX shell reads back as the same arguments.
QString shellQuoted(const QStringList& arguments);

// The settings line libx264 writes into every stream it encodes ("cabac=1 ref=1 ..."), read
// from the file; empty when there is none. Equal lines mean equal encoder work.
QByteArray x264Settings(const QString& path);

} // namespace ffmpegref
