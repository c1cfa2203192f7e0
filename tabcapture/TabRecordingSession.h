#pragma once

#include "media/MsgType.h"
#include "tabcapture/TabCaptureServerWin.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class DiskSpaceWatchdog;
struct MuxSettings;
struct TabRecordingRun;

// One recording of a browser tab at a time: turns the extension's media messages into frames for
// its own FrameQueue and mux_thread_win, which encode them into a "tabcapture_" file in the
// recordings folder.
//
// The GUI thread only checks a message and hands it on: a thread of the recording's own decodes
// compressed video (never larger than the size announced at the start) and builds the frames,
// and the mux converts them once, on its thread. What the recording holds between the socket and
// the encoder is bounded in bytes and seconds (tabcapture::MediaBudget); past it the encoder is
// falling behind, the message is dropped and pushVideoFrame reports Overloaded (the server then
// tells the client and ends the session). So a client never makes memory grow or the GUI thread
// wait.
//
// recordingStarted comes once the file is open, startFailed when it cannot be. A stop returns at
// once; the file is finished in the background, with what is left unwritten after 0.75 s
// dropped so that it closes within 2 s, and recordingStopped follows; a file that never got a
// picture is removed, and the client told so through endedByItself. Like a screen recording it
// is not started on a nearly full disk, and ends by itself, with one errorMessage, when the disk
// runs low, the folder goes away or the file cannot be written. Used from the GUI thread only.
class TabRecordingSession : public TabCaptureSessionBase
{
    Q_OBJECT

public:
    // Monotonic milliseconds, for the frame-rate report.
    using MillisecondClock = std::function<std::int64_t()>;
    // Local time, for the file name.
    using WallClock = std::function<QDateTime()>;

    explicit TabRecordingSession(QObject* parent = nullptr);
    // Finishes any file still being written (waits for it).
    ~TabRecordingSession() override;

    void startSession(const tabcapture::StartRequest& request) override;
    void stopSession() override;
    bool isRunning() const override;
    bool hasAudio() const override;
    VideoPush pushVideoFrame(const tabcapture::VideoMessage& message,
                             const QByteArray& holder) override;
    // Sound past the budget is dropped; the next picture then reports the overload. Sound at
    // another rate than the start's is dropped.
    void pushAudioFrame(const tabcapture::AudioMessage& message, const QByteArray& holder) override;
    void setDurationLimit(std::int64_t microseconds) override { durationLimitUs_ = microseconds; }
    void setRecordingSettings(const RecordingSettings& settings) override { settings_ = settings; }

    QString outputPath() const;

    // Seams for tests.
    void setClocks(MillisecondClock monotonic, WallClock wall);
    // A held encoder takes nothing from the queue, as one that cannot keep up.
    void setEncoderHeld(bool held);

    // The next free "tabcapture_<time>" path in the recordings folder (created when missing),
    // with the extension of the configured format.
    static QString makeOutputPath(const RecordingSettings& settings, const QDateTime& now);

private:
    TabRecordingRun* findRun(int id) const;
    // Copies the browser's H.264 into an MP4 (with a preview from its key pictures), else opens
    // the decoder of the start's codec.
    void prepareVideo(TabRecordingRun& run, const tabcapture::StartRequest& request,
                      MuxSettings& muxSettings);
    void onOutputOpened(int id);
    void onMuxMessage(int id, MSG_TYPE type, const QString& text);
    // Reports the first reason the recording has to end, then ends it.
    void endByItself(const QString& text);
    void onRunFinished(int id);
    // Takes the run out of run_ and lets it finish its file in the background.
    void finishRun();
    VideoPush refuseOverloaded();
    void reportFrameRate();

    std::unique_ptr<TabRecordingRun> run_;
    // Runs that were stopped and are closing their files.
    std::vector<std::unique_ptr<TabRecordingRun>> finishing_;
    int nextRunId_ = 0;
    DiskSpaceWatchdog* diskWatch_ = nullptr;
    std::int64_t durationLimitUs_ = 0;
    RecordingSettings settings_;
    std::int64_t videoSequence_ = 0;
    std::int64_t fpsWindowStartMs_ = 0;
    std::int64_t fpsWindowSequence_ = 0;
    MillisecondClock monotonic_;
    WallClock wall_;
};
