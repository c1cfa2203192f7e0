// The encoder and muxer thread: its set-up (containers, encoders, rate control, failures) and
// what it writes, checked by decoding the files.
#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "base/SettingsKeys.h"
#include "capture/audio_capture_thread_win.h"
#include "encode/mux_thread_win.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "platform/posix/FileSync.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <csignal>

using testsupport::MediaProbe;

namespace {

constexpr int kTestFps = 15;
constexpr std::int64_t kIntervalUs = 1000000 / kTestFps;
const QColor kBlue(40, 40, 200);

// The test picture: the left half blue, the right half one of four greys by image % 4, so that
// a decoded picture tells which image it shows.
QColor greyOf(int image)
{
    const int level = 30 + 70 * (image % 4);
    return QColor(level, level, level);
}

SharedFrame patternFrame(int width, int height, int image, std::int64_t ptsUs,
                         std::int64_t durationUs = kIntervalUs)
{
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no memory for a test picture");
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const QColor c = x < width / 2 ? kBlue : greyOf(image);
            std::uint8_t* pixel = frame->data[0] + y * frame->linesize[0] + 4 * x;
            pixel[0] = std::uint8_t(c.blue());
            pixel[1] = std::uint8_t(c.green());
            pixel[2] = std::uint8_t(c.red());
            pixel[3] = 255;
        }
    frame->pts = ptsUs;
    setFrameDuration(frame, durationUs);
    return makeSharedFrame(frame);
}

// Inside each half of a picture of 160 x 120.
const QList<QRect> kHalves{QRect(20, 30, 40, 60), QRect(100, 30, 40, 60)};

bool showsImage(const QList<QColor>& halves, int image)
{
    return MediaProbe::near(halves.at(0), kBlue, 30) &&
           MediaProbe::near(halves.at(1), greyOf(image), 30);
}

// Frame n shows image n / slotsPerImage, the later slots sharing the first one's buffer as the
// capture thread repeats an unchanged screen; with audioRate, on each sound track 1024-sample
// frames of a tone of its own (toneOf) covering the same time, interleaved as the capture
// threads deliver them.
struct Recording
{
    QList<FrameQueueItem> items;
    std::int64_t audioSamples = 0; // at audioRate
};

double toneOf(int track)
{
    return 440.0 + 300.0 * track;
}

SharedFrame toneFrame(int rate, std::int64_t start, double hz)
{
    AVFrame* tone = av_frame_alloc();
    tone->format = AV_SAMPLE_FMT_FLTP;
    tone->sample_rate = rate;
    tone->nb_samples = 1024;
    av_channel_layout_default(&tone->ch_layout, 2);
    if (av_frame_get_buffer(tone, 0) < 0)
        qFatal("no memory for a test sound");
    for (int i = 0; i < 1024; ++i)
        reinterpret_cast<float*>(tone->data[0])[i] = reinterpret_cast<float*>(tone->data[1])[i] =
            float(0.5 * std::sin(2 * M_PI * hz * double(start + i) / rate));
    tone->pts = start;
    return makeSharedFrame(tone);
}

Recording makeRecording(int frames, int width, int height, int audioRate = 0,
                        std::int64_t intervalUs = kIntervalUs, int slotsPerImage = 2,
                        int tracks = 1)
{
    Recording recording;
    SharedFrame image;
    for (int n = 0; n < frames; ++n) {
        if (n % slotsPerImage == 0)
            image = patternFrame(width, height, n / slotsPerImage, 0, intervalUs);
        recording.items.append({makeSharedFrame(av_frame_clone(image.get())), false, 0});
        recording.items.last().frame->pts = n * intervalUs;
        const std::int64_t until = (n + 1) * intervalUs * audioRate / 1000000;
        for (; audioRate > 0 && recording.audioSamples + 1024 <= until;
             recording.audioSamples += 1024)
            for (int track = 0; track < tracks; ++track)
                recording.items.append({toneFrame(audioRate, recording.audioSamples, toneOf(track)),
                                        true, std::int32_t(recording.audioSamples / 1024 + 1),
                                        track});
    }
    return recording;
}

// The settings the next run's encoding choices are read from, its sound tracks' names and the
// preview's box.
QVariantHash muxStored;
QStringList muxTrackNames;
QSize muxPreviewBox;

void setMuxSettings(const QString& videoFormat, const QString& audioFormat,
                    const QVariant& bitrate = 6000, int fps = kTestFps,
                    const QString& quality = settings::kQualityHigh)
{
    muxStored = {{"VideoSett/VideoFormat", videoFormat},
                 {"AudioSett/AudioFormat", audioFormat},
                 {"AudioSett/Bitrate", audioFormat == "FLAC" ? 500 : 128}, // as offered
                 {"VideoSett/Bitrate", bitrate},
                 {"VideoSett/fps", fps},
                 {"VideoSett/Quality", quality}};
    muxTrackNames.clear();
}

// Endless silence, ready at every other look.
struct SilentSource : AudioSource
{
    int looks = 0;
    OpenError open(const AudioSourceChoice&) override { return OpenError::None; }
    AudioInputFormat format() const override { return {48000, 2, 32, true, false}; }
    int packetSize() override { return ++looks % 2 ? 1024 : 0; }
    bool read(AudioPacket& packet) override
    {
        packet.frames = 1024;
        packet.silent = true;
        return true;
    }
    void stop() override {}
};

struct MuxRun
{
    QStringList errors, warnings;
    bool finished = false; // "Video write finished." was reported
    bool heldWhilePaused = false;
    QList<QImage> previews;
    QStringList log; // every log line written during the run
    int limitReports = 0;
    bool altStack = false; // the thread had a signal stack of its own for a crash report
};

} // namespace

class tst_MuxThread : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<testsupport::LogCapture> log_;
    int fileNumber_ = 0;

    QString nextPath() { return dir_.filePath(QStringLiteral("out_%1").arg(++fileNumber_)); }

    // Runs one mux thread to its end over the given queue, or else over the items in a closed
    // one. A preview clock step of -1 leaves the preview off.
    MuxRun run(const QString& path, int width, int height, const QList<FrameQueueItem>& items,
               bool withAudio = false, int previewStepMs = -1, bool paused = false,
               FrameQueue* given = nullptr, std::int64_t limitUs = 0)
    {
        MuxRun result;
        FrameQueue own(std::max(FrameQueue::kDefaultCapacity, int(items.size())));
        for (const FrameQueueItem& item : items)
            own.push(item);
        own.close();
        log_->take();
        mux_thread_win mux(given ? given : &own);
        // Messages cross threads as the session receives them.
        connect(
            &mux, &mux_thread_win::msgSignal, this,
            [&result](MSG_TYPE type, const QString& text) {
                if (type != MSG_INFO)
                    (type == MSG_ERROR ? result.errors : result.warnings).append(text);
                result.finished |= text == "Video write finished.";
            },
            Qt::QueuedConnection);
        // Direct, counted in the mux thread and read after wait().
        connect(&mux, &mux_thread_win::durationLimitReached, [&result] { ++result.limitReports; });
        connect(&mux, &mux_thread_win::msgSignal, [&result] {
            stack_t stack = {};
            result.altStack = sigaltstack(nullptr, &stack) == 0 && !(stack.ss_flags & SS_DISABLE);
        });
        mux.durationLimitUs = limitUs;
        // A direct connection: the spy is read only after wait(), which orders the accesses.
        QSignalSpy previews(&mux, &mux_thread_win::imagePreviewSignal);
        mux.outputWidth = width;
        mux.outputHeight = height;
        MuxSettings choices = testsupport::recordingSettings(muxStored).mux;
        choices.audioTrackNames = muxTrackNames;
        mux.init(choices, path, withAudio);
        mux.previewEnabled = previewStepMs >= 0;
        mux.previewBox = muxPreviewBox;
        auto now = std::make_shared<std::atomic<std::int64_t>>(0);
        mux.setPreviewClock([now, previewStepMs] { return now->fetch_add(previewStepMs); });
        if (paused)
            mux.pause();
        mux.start();
        if (paused) {
            QTest::qWait(300);
            result.heldWhilePaused = mux.isRunning();
            mux.resume();
        }
        mux.wait();
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        for (const QList<QVariant>& arguments : previews)
            result.previews.append(arguments.at(0).value<QImage>());
        result.log = log_->take();
        return result;
    }

    static int openFiles()
    {
        return int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size());
    }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(dir_.isValid());
        log_ = std::make_unique<testsupport::LogCapture>();
        av_log_set_level(AV_LOG_QUIET);
    }
    void cleanupTestCase() { log_.reset(); }

    void writesEveryFormat_data()
    {
        // video setting|audio setting, then the sound tracks' names, a track fed for each
        QTest::addColumn<QString>("formats");
        QTest::addColumn<int>("audioRate");     // 0: no audio
        QTest::addColumn<QSize>("frameSize");   // the output is 160 x 120
        QTest::addColumn<int>("previewStepMs"); // -1: preview off
        QTest::addColumn<QSize>("previewBox");  // where the window shows it; empty: 480x270
        QTest::addColumn<bool>("paused");       // for a while at the start
        QTest::addColumn<QString>("codecs");    // as the demuxer names them
        const QSize small(160, 120);
        // The preview clock passes 200 ms at every frame, or stands still.
        QTest::newRow("mp4, AAC from 44.1 kHz, preview of every frame")
            << "H264-AAC(MP4)|AAC" << 44100 << small << 1000 << QSize() << false << "h264,aac";
        QTest::newRow("mp4, larger frames scaled down, preview clock still")
            << "H264-AAC(MP4)|AAC" << 0 << QSize(320, 240) << 0 << QSize() << false << "h264";
        QTest::newRow("mp4, FLAC from 48 kHz")
            << "H264-AAC(MP4)|FLAC" << 48000 << small << -1 << QSize() << false << "h264,flac";
        QTest::newRow("mp4, a named track each for system sound and microphone")
            << "H264-AAC(MP4)|AAC|System|Microphone" << 44100 << small << -1 << QSize() << false
            << "h264,aac,aac";
        // Only the first track's sound is written, with no name.
        QTest::newRow("AVI keeps one track, MP3 from 44.1 kHz")
            << "MPEG-4(AVI)|MP3|System|Microphone" << 44100 << small << -1 << QSize() << false
            << "mpeg4,mp3";
        // The program stream cannot carry FLAC (stored before the list followed the format).
        QTest::newRow("MPEG-2, FLAC setting from 48 kHz, paused")
            << "MPEG-2|FLAC" << 48000 << small << -1 << QSize() << true << "mpeg2video,mp3";
        QTest::newRow("Windows Media, preview shrunk into the window's box")
            << "Windows Media|AAC" << 0 << small << 1000 << QSize(100, 60) << false << "wmv2";
    }

    void writesEveryFormat()
    {
        QFETCH(QString, formats);
        QFETCH(int, audioRate);
        QFETCH(QSize, frameSize);
        QFETCH(int, previewStepMs);
        QFETCH(QSize, previewBox);
        QFETCH(bool, paused);
        QFETCH(QString, codecs);
        setMuxSettings(formats.section('|', 0, 0), formats.section('|', 1, 1));
        muxTrackNames = formats.section('|', 2).split('|', Qt::SkipEmptyParts);
        constexpr int kFrames = 30;
        const auto recording =
            makeRecording(kFrames, frameSize.width(), frameSize.height(), audioRate, kIntervalUs, 2,
                          std::max(1, int(muxTrackNames.size())));
        const QString path = nextPath();
        muxPreviewBox = previewBox;
        const MuxRun result =
            run(path, 160, 120, recording.items, audioRate > 0, previewStepMs, paused);
        QVERIFY2(result.errors.isEmpty(), qPrintable(result.errors.join('\n')));
        QVERIFY(result.finished && result.altStack);
        // A sound the container cannot hold is replaced, and the log says so once.
        QCOMPARE(result.log.filter("files cannot hold").size(),
                 audioRate > 0 && !codecs.endsWith(formats.section('|', 1, 1).toLower()) ? 1 : 0);
        // However long a pause lasts, the thread holds the item it popped; all are written.
        QCOMPARE(result.heldWhilePaused, paused);
        // Each preview shows its own frame, not one drawn later, at the encoder's size or
        // shrunk into the window's box.
        QCOMPARE(result.previews.size(), previewStepMs > 0 ? kFrames : 0);
        for (int n = 0; n < result.previews.size(); ++n) {
            QCOMPARE(result.previews[n].size(),
                     previewBox.isEmpty() ? QSize(160, 120) : QSize(80, 60));
            const QImage full = result.previews[n].scaled(160, 120);
            QList<QColor> colours;
            for (const QRect& region : kHalves)
                colours.append(MediaProbe::averageColour(full, region));
            QVERIFY2(showsImage(colours, n / 2), qPrintable(QString::number(n)));
        }

        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        QStringList found;
        for (const testsupport::ProbedStream& stream : probe.streams())
            found.append(stream.codecName);
        QCOMPARE(found.join(','), codecs);
        const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QCOMPARE(QSize(video->width, video->height), QSize(160, 120));
        const auto frames = probe.decodeVideo(kHalves);
        QCOMPARE(frames.size(), kFrames);
        const std::int64_t spacing = frames.at(1).pts - frames.at(0).pts;
        for (int n = 0; n < frames.size(); ++n) {
            // Rescaling to a millisecond or 90 kHz time base rounds each pts on its own; a time
            // base of whole frames must not round at all.
            QVERIFY(n == 0 || qAbs(frames.at(n).pts - frames.at(n - 1).pts - spacing) <=
                                  (spacing >= 10 ? 1 : 0));
            // A slot sharing the last one's buffer keeps that image, the next a new one.
            QVERIFY2(showsImage(frames.at(n).regionColours, n / 2), qPrintable(QString::number(n)));
        }
        const double span = frames.last().seconds - frames.first().seconds;
        QVERIFY(qAbs(span - double(kFrames - 1) / kTestFps) < 0.01);
        // The MP4 track lasts to the end of its last frame: players show that frame too.
        if (codecs.startsWith("h264"))
            QVERIFY(qAbs(video->seconds - double(kFrames) / kTestFps) < 0.01);
        if (audioRate == 0)
            return;

        // Everything fed comes back at 48 kHz, each track as long as the picture with its own
        // tone and name; the encoder may add its priming and pads the end.
        const int tracks = int(codecs.count(',')); // as the container lists them
        QCOMPARE(result.log.filter("Sound left out").size(), muxTrackNames.size() > tracks ? 1 : 0);
        for (int track = 0; track < tracks; ++track) {
            const testsupport::DecodedAudio sound = probe.decodeAudio(track);
            QCOMPARE(sound.sampleRate, 48000);
            QCOMPARE(sound.channels, 2);
            const std::int64_t fed = recording.audioSamples * 48000 / audioRate;
            QVERIFY2(sound.totalSamples >= fed - 64 && sound.totalSamples <= fed + 2 * 1152,
                     qPrintable(QStringLiteral("%1 of %2").arg(sound.totalSamples).arg(fed)));
            QVERIFY(qAbs(sound.totalSamples / 48000.0 - double(kFrames) / kTestFps) <
                    1.0 / kTestFps);
            for (const std::vector<float>& channel : sound.samples) {
                QVERIFY(qAbs(MediaProbe::dominantFrequency(channel, 48000) - toneOf(track)) < 2.0);
                QVERIFY(MediaProbe::rms(channel) > 0.25);
            }
            if (tracks > 1)
                QCOMPARE(probe.stream(AVMEDIA_TYPE_AUDIO, track)->name, muxTrackNames.at(track));
        }
    }

    // A limit of 1 s ends picture and sound there, however much more was captured; said once.
    // A journal that cannot be made (a folder in its place) is said once and changes nothing.
    void endsAtTheDurationLimit()
    {
        setMuxSettings("H264-AAC(MP4)", "AAC");
        const QString path = nextPath();
        QVERIFY(QDir().mkpath(path + ".journal"));
        const auto items = makeRecording(3 * kTestFps, 160, 120, 44100).items;
        const MuxRun result = run(path, 160, 120, items, true, -1, false, nullptr, 1000000);
        QCOMPARE(result.limitReports, 1);
        QCOMPARE(result.warnings.size(), 1);
        QVERIFY(result.warnings.first().contains("no crash protection"));
        MediaProbe probe;
        QVERIFY(probe.open(path));
        QCOMPARE(probe.decodeVideo().size(), kTestFps);
        QVERIFY(qAbs(probe.firstStream(AVMEDIA_TYPE_VIDEO)->seconds - 1.0) < 1.0 / kTestFps);
        QVERIFY(qAbs(probe.decodeAudio().totalSamples / 48000.0 - 1.0) < 1.0 / kTestFps);
    }

    // A sync to the disk that fails is a failed write: the journal is not made, which is said,
    // and the recording ends at its first sync with one error.
    void stopsWhenASyncFails()
    {
        setMuxSettings("H264-AAC(MP4)", "AAC");
        const QString path = nextPath();
        platform::setSyncFailureForTest(EIO);
        const auto restore = qScopeGuard([] { platform::setSyncFailureForTest(0); });
        const MuxRun result = run(path, 160, 120, makeRecording(3 * kTestFps, 160, 120).items);
        QCOMPARE(result.errors, QStringList{"The recording stopped: " + path +
                                            " could not be written (" + std::strerror(EIO) + ")."});
        QVERIFY(result.warnings.value(0).contains("no crash protection"));
    }

    // Ten minutes at 60 fps in AVI's time base of whole frames: the capture's frame interval
    // (16666 us) does not divide a second, yet the file stays valid and in step to its end.
    void longAviRecording()
    {
        constexpr int kAviFps = 60;
        constexpr int kFrames = 10 * 60 * kAviFps;
        constexpr std::int64_t kAviIntervalUs = 1000000 / kAviFps;
        setMuxSettings("MPEG-4(AVI)", "AAC", 6000, kAviFps);
        // A still screen: every slot shares one picture's buffer, as the capture thread repeats it.
        const QString path = nextPath();
        const MuxRun result =
            run(path, 64, 64, makeRecording(kFrames, 64, 64, 0, kAviIntervalUs, kFrames).items);
        QVERIFY2(result.errors.isEmpty(), qPrintable(result.errors.value(0)));
        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        const auto frames = probe.decodeVideo();
        // A slot may be left out where two fall on one tick, never more than that.
        QVERIFY2(frames.size() >= kFrames - 2, qPrintable(QString::number(frames.size())));
        for (int n = 1; n < frames.size(); ++n)
            QVERIFY2(frames.at(n).pts > frames.at(n - 1).pts, qPrintable(QString::number(n)));
        const double span = frames.last().seconds - frames.first().seconds;
        QVERIFY2(qAbs(span - (kFrames - 1) * kAviIntervalUs / 1e6) < 1.5 / kAviFps,
                 qPrintable(QString::number(span)));
    }

    void reportsSetUpFailures_data()
    {
        QTest::addColumn<QString>("formats"); // video setting|audio setting
        QTest::addColumn<QString>("error");   // %1: an unwritable path
        QTest::addColumn<bool>("fileLeft");
        QTest::newRow("unknown video format") << "Theora|AAC"
                                              << "Error: Unsupported video format." << false;
        QTest::newRow("output folder cannot be written")
            << "H264-AAC(MP4)|AAC"
            << "Error: Unable to open output file. %1: Not a directory" << false;
        QTest::newRow("unknown audio format") << "H264-AAC(MP4)|Vorbis"
                                              << "Could not find an audio encoder." << true;
    }

    // The failure is reported once (across threads, as the session receives it), nothing is
    // left open, and a sound thread waiting for room in the queue ends when stopped.
    void reportsSetUpFailures()
    {
        QFETCH(QString, formats);
        QFETCH(QString, error);
        QFETCH(bool, fileLeft);
        setMuxSettings(formats.section('|', 0, 0), formats.section('|', 1));
        QString path = nextPath();
        if (error.contains("%1")) {
            QFile blocker(dir_.filePath("not-a-folder")); // a file where the folder should be
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            path = blocker.fileName() + "/out.mp4";
            error = error.arg(path);
        }
        const int filesBefore = openFiles();
        FrameQueue queue(4);
        queue.setProducers(2);
        audio_capture_thread_win audio(&queue);
        audio.init({AudioSourceChoice{}}, false,
                   testsupport::recordingSettings(muxStored).mux.audioCodecId);
        audio.setSourceFactory([] { return std::make_unique<SilentSource>(); });
        audio.start();
        QTRY_COMPARE(queue.size(), 4);

        const MuxRun result = run(path, 64, 48, {}, true, -1, false, &queue);
        audio.requestStop();
        const bool audioEnded = audio.wait(10000);
        queue.close(); // lets a stuck thread end, so that a failure here does not hang
        QVERIFY(audioEnded);
        QCOMPARE(result.errors, QStringList{error});
        QVERIFY(!result.finished);
        QVERIFY(result.log.contains(error));
        QCOMPARE(QFileInfo::exists(path), fileLeft);
        QCOMPARE(openFiles(), filesBefore);
    }

    void configuresLibx264RateControl_data()
    {
        QTest::addColumn<QString>("quality");
        QTest::addColumn<QVariant>("bitrate");
        QTest::addColumn<QStringList>("expected"); // entries of x264's own settings record
        // Options libx264 does not have, named once in the log; "!": ones it took, never named.
        QTest::addColumn<QStringList>("named");
        QTest::addColumn<QString>("logged");

        QTest::newRow("High, fixed bitrate")
            << QString(settings::kQualityHigh) << QVariant(6000)
            << QStringList{"rc=cbr",      "bitrate=6000", "vbv_maxrate=6000", "vbv_bufsize=3000",
                           "nal_hrd=cbr", "bframes=0",    "keyint=30",        "aq=2:0.80",
                           "mbtree=0",    "subme=1",      "keyint_min=15",    "scenecut=40"}
            << QStringList{"rc", "rc_mode", "!preset", "!nal-hrd", "!aq-mode"}
            << "Using software encoder: libx264";
        // libx264 has no "bitrate" or "maxrate" options, so it keeps its constant rate factor.
        QTest::newRow("High, automatic bitrate")
            << QString(settings::kQualityHigh) << QVariant(settings::kBitrateAuto)
            << QStringList{"rc=crf", "bframes=0", "keyint=30"}
            << QStringList{"bitrate", "maxrate", "bufsize", "!preset", "!tune"}
            << "Auto bitrate calculated: 2360 kbps (Resolution: 1366x768, FPS: 15)";
        QTest::newRow("Standard is constant QP 30")
            << QString(settings::kQualityStandard) << QVariant(6000)
            << QStringList{"rc=cqp", "qp=30", "bframes=0"} << QStringList{"rc", "!qp"}
            << "Using software encoder: libx264";
    }

    void configuresLibx264RateControl()
    {
        QFETCH(QString, quality);
        QFETCH(QVariant, bitrate);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, named);
        QFETCH(QString, logged);
        // Hardware is asked for: without a working hardware encoder libx264 records. The odd
        // size is encoded one pixel larger, and "Auto" takes its bitrate from that size.
        setMuxSettings("H264-AAC(MP4)", "AAC", bitrate, kTestFps, quality);
        const QString path = nextPath();
        const MuxRun result = run(path, 1365, 767, makeRecording(2, 1365, 767).items);
        if (!result.log.filter("Using hardware encoder:").isEmpty())
            QSKIP("This machine has a working hardware H.264 encoder.");
        QVERIFY(result.finished);
        QVERIFY2(result.log.contains(logged), qPrintable(result.log.join('\n')));

        MediaProbe probe;
        QVERIFY(probe.open(path));
        const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QCOMPARE(QSize(video->width, video->height), QSize(1366, 768));
        // libx264 writes the settings it encoded with into the stream as readable text.
        const QByteArray bytes = testsupport::readFile(path);
        const qsizetype start = bytes.indexOf("x264 - core");
        const QStringList entries =
            QString::fromLatin1(bytes.mid(start, bytes.indexOf('\0', start) - start)).split(' ');
        expected.append(QStringLiteral("threads=%1").arg(QThread::idealThreadCount()));
        for (const QString& entry : expected)
            QVERIFY2(entries.contains(entry), qPrintable(entry + " missing: " + entries.join(' ')));

        QStringList inLog;
        for (const QString& line : result.log.filter("Encoder option not applied by libx264: "))
            inLog.append(line.section(": ", 1).section('=', 0, 0));
        for (const QString& option : named) {
            const bool took = option.startsWith('!');
            QVERIFY2(inLog.count(option.mid(took ? 1 : 0)) == (took ? 0 : 1),
                     qPrintable(option + " in " + inLog.join(' ')));
        }
    }
};

QTEST_GUILESS_MAIN(tst_MuxThread)
#include "tst_MuxThread.moc"
