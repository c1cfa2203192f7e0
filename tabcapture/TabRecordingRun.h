#pragma once

#include "encode/FfmpegHolders.h"
#include "media/FrameQueue.h"
#include "tabcapture/SoundPlacement.h"
#include "tabcapture/TabCaptureProtocol.h"
#include "tabcapture/TabMediaBudget.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class mux_thread_win;

// One tab recording: its decoder, budget, queue, mux and the thread that builds its frames. The
// GUI thread posts checked messages as jobs; the thread turns them into frames for the queue
// and, once the run is finishing, closes the queue, gives the mux until the deadline and reports
// that the file is closed.
//
// Decoded pictures waiting for the encoder are bounded in bytes (at least one is let through):
// while the encoder is behind, the thread waits and the compressed messages wait in the budget,
// so a recording at the largest size holds one decoded picture, not as many as were accepted.
struct TabRecordingRun
{
    using Clock = std::chrono::steady_clock;

    struct Job
    {
        QByteArray holder;
        tabcapture::VideoMessage video;
        tabcapture::AudioMessage audio;
        bool isAudio = false;
        tabcapture::MediaBudget::Charge charge;
    };

    static constexpr int kQueueCapacity = 1024;
    static constexpr std::int64_t kMaxDecodedBytes = 32LL * 1024 * 1024;
    // After a stop, how long what is still queued may take to be written; the rest is dropped so
    // that the file is closed within two seconds of the stop.
    static constexpr std::chrono::milliseconds kFinishWrite{750};

    TabRecordingRun(int id, const tabcapture::StartRequest& request);
    ~TabRecordingRun();

    // Opens the decoder of the start's codec, refusing pictures larger than announced; an
    // FFmpeg error code when it cannot.
    // config: the codec's set-up the start carried (H.264's avcC), empty when none.
    int openDecoder(tabcapture::VideoCodec codec, const QByteArray& config);
    // Starts the building thread; closed runs on it once the file is closed.
    void start(std::function<void()> closed);
    void post(Job job);
    void finish();
    // Pictures handed to the encoder so far.
    std::int64_t pictures() const { return pictures_.load(); }

    const int id;
    const int width;
    const int height;
    const int frameRate;
    const int sampleRate;
    const bool audio;
    // Sound placed by its stamps on the pictures' clock instead of by counting samples.
    const bool soundOnPictureClock;
    QString path;
    // Set before start(): the pictures are H.264 packets that go into the file as they are.
    bool copiesPictures = false;
    // Set before start(): the preview of copied pictures, from their key pictures only (one
    // every second or two), on the building thread.
    std::function<void(const QImage&)> preview;

private:
    // Before the queue and the mux: frames they still hold at their end release into these.
    std::atomic<std::int64_t> decodedBytes_{0};
    std::mutex mutex_;
    std::condition_variable wake_;

public:
    tabcapture::MediaBudget budget;
    FrameQueue queue{kQueueCapacity};
    std::unique_ptr<mux_thread_win> mux;

    // The GUI thread's own.
    bool hasDecoder = false;
    bool opened = false;
    bool overloaded = false;
    bool ended = false;
    bool refusedMessage = false;
    std::thread worker;

private:
    void work(const std::function<void()>& closed);
    // Waits until the encoder has let go of enough decoded pictures; false once the stop's
    // deadline has passed.
    bool waitForRoom(std::unique_lock<std::mutex>& lock);
    void buildVideo(const tabcapture::VideoMessage& message);
    void buildAudio(const tabcapture::AudioMessage& message);
    void queueFrame(AVFrame* frame, std::int64_t samples);
    void queuePacket(const tabcapture::VideoMessage& message);
    void previewKeyPicture(AVPacket* packet);
    // Silence up to where a stamped sound message belongs; how many of its first samples lie
    // before where the sound so far ends, to be left out.
    std::int64_t placeSound(const tabcapture::AudioMessage& message);
    void queueSilence(std::int64_t samples, int channels);

    // The building thread's own.
    ffmpeg::CodecContextPtr decoder_;
    ffmpeg::FramePtr decoded_;
    ffmpeg::PacketPtr packet_;
    ffmpeg::SwsContextPtr previewScaler_;
    std::int64_t audioSamples_ = 0;
    tabcapture::SoundPlacement soundPlacement_;
    std::int32_t audioSequence_ = 0;
    bool refusedPicture_ = false;
    std::atomic<std::int64_t> pictures_{0};

    std::deque<Job> jobs_;                 // under mutex_
    bool finishing_ = false;               // under mutex_
    Clock::time_point writeDeadline_ = {}; // under mutex_
};
