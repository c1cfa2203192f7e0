#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>

// What the benchmarks need to hold Torvane against the ffmpeg command line doing the same work.
namespace ffmpegref {

// The ffmpeg output options that make libx264 encode exactly as the mux thread does with the
// first-run default settings (H.264 MP4, "High (Default)" quality, a fixed bitrate) at the given
// frame rate and picture size: pixel conversion, encoder, rate control, GOP, the options x264
// takes by its own names, and threads. Everything up to "-f mp4"; the output path follows.
QStringList x264OutputArguments(int fps, int bitrateKbps, QSize size);

// The arguments joined into one line that a POSIX shell reads back as the same arguments.
QString shellQuoted(const QStringList& arguments);

// The settings line libx264 writes into every stream it encodes ("cabac=1 ref=1 ..."), read
// from the file; empty when there is none. Equal lines mean equal encoder work.
QByteArray x264Settings(const QString& path);

// That settings line as an ffmpeg -x264-params value ("cabac=0:ref=1:..."): the names libx264
// prints mostly differ from the ones it parses (keyint_min, analyse flags, "deblock=on:a:b"),
// so each is turned back into what gives the same setting. Fields without a parseable
// counterpart (cqm) are left out; comparing the settings lines of both files shows any gap.
QString x264Params(const QByteArray& settings);

// One field of the settings line ("bitrate" gives "6000"); empty when absent.
QString x264Setting(const QByteArray& settings, const QString& name);

} // namespace ffmpegref
