#pragma once

#include "encode/MuxSettings.h"
#include "platform/ScreenGrabber.h"

#include <QSize>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

class SettingsStore;

// Everything a recording takes from settings.ini, read and checked in one place with one rule per
// key when a recording is set up. The session, the capture and sound threads, the encoder and the
// desktop's share dialog take their part of this value and never read the settings themselves:
// an edited settings.ini can hold anything, and every reader falling back its own way gave
// different recordings from one file. A value that is missing or cannot be used gives what a new
// settings.ini holds.
struct RecordingSettings
{
    // "RecordingPath": where recordings are written and unfinished ones repaired.
    QString folder = QStringLiteral("./QZT");
    // "VideoCaptureAPI": "WGC" the window's own composite image (on Wayland: the pointer drawn
    // into the shared picture), "DXGI" shared-memory reads, anything else plain image reads.
    ScreenGrabber::Kind captureKind = ScreenGrabber::Kind::Composite;
    // "ResolutionIndex" with "CustomWidth" and "CustomHeight": the size the picture is scaled
    // to; none for the captured size.
    std::optional<QSize> outputSize;
    // The desktop's restore tokens of the last shared screen and window (Wayland); empty for none.
    QString screenRestoreToken;
    QString windowRestoreToken;
    // "VideoFormat" as stored: names the file's container (and extension).
    QString videoFormat = QStringLiteral("H264-AAC(MP4)");
    // The frame rate (settings::frameRateFromSetting), formats, codecs, bitrates, quality and the
    // hardware encoder choice. outputPath, withAudio and the output size are the session's.
    MuxSettings mux = newFileMux();
    // "MicrophoneOwnTrack": a microphone recorded with the system sound goes to a track of its
    // own where the container keeps tracks apart, instead of into the mix.
    bool microphoneOwnTrack = false;

    // The stored value of a group and key; an invalid QVariant when absent.
    using Lookup = std::function<QVariant(const QString& group, const QString& key)>;
    static RecordingSettings read(const Lookup& stored);
    // The encoding a new settings.ini gives.
    static MuxSettings newFileMux();
    static RecordingSettings fromStore(SettingsStore& store);
    // The "RecordingPath" rule alone, for those who need only the folder.
    static QString folderFromStore(SettingsStore& store);
    // Keeps the token the desktop handed back for the next recording of that kind of source
    // (empty: the old one was refused).
    static void saveRestoreToken(SettingsStore& store, bool window, const QString& token);
};
