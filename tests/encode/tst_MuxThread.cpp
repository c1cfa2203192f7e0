#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/MuxTestHarness.h"
#include "support/SyntheticFrames.h"
#include "support/TestSupport.h"
#include "media/FrameQueue.h"
#include "encode/mux_thread_win.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <memory>

using testsupport::MediaProbe;

namespace {

constexpr double kToneHz = 440.0;
// Rounding of the resampled sample count.
constexpr std::int64_t kResamplerSlack = 64;
// Encoder priming plus the padding of the last frame, for AAC (1024) and MP3 (1152).
constexpr std::int64_t kEncoderSlack = 2 * 1152;
const QString kMp4Container = QStringLiteral("mov,mp4,m4a,3gp,3g2,mj2");

bool closeTo(const QColor& actual, const QColor& expected, int tolerance)
{
    return std::abs(actual.red() - expected.red()) <= tolerance &&
           std::abs(actual.green() - expected.green()) <= tolerance &&
           std::abs(actual.blue() - expected.blue()) <= tolerance;
}

QString describe(const QColor& colour)
{
    return QStringLiteral("(%1,%2,%3)").arg(colour.red()).arg(colour.green()).arg(colour.blue());
}

SharedFrame makeVideoFrame(int width, int height, int frameIndex)
{
    return testsupport::makePatternFrame(width, height, frameIndex, AV_PIX_FMT_BGRA,
                                         frameIndex * testsupport::kMuxTestFrameIntervalUs,
                                         testsupport::kMuxTestFrameIntervalUs);
}

} // namespace

class tst_MuxThread : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir outputDir_;
    std::unique_ptr<testsupport::LogCapture> logCapture_;
    int fileNumber_ = 0;

    QString nextPath(const QString& extension)
    {
        return outputDir_.filePath(QStringLiteral("out_%1.%2").arg(++fileNumber_).arg(extension));
    }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(outputDir_.isValid());
        logCapture_ = std::make_unique<testsupport::LogCapture>();
        av_log_set_level(AV_LOG_ERROR);
    }

    void cleanupTestCase() { logCapture_.reset(); }

    void writesEveryFormat_data()
    {
        QTest::addColumn<QString>("videoFormat");
        QTest::addColumn<QString>("audioFormat");
        QTest::addColumn<int>("audioRate"); // 0: no audio
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<int>("pixelFormat");
        QTest::addColumn<QSize>("outputSize");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QString>("videoCodec");
        QTest::addColumn<QString>("audioCodec");

        const QSize small(160, 120);
        const int bgra = AV_PIX_FMT_BGRA;
        QTest::newRow("mp4, AAC from 44.1 kHz")
            << "H264-AAC(MP4)"
            << "AAC" << 44100 << small << bgra << small << kMp4Container << "h264"
            << "aac";
        QTest::newRow("mp4, AAC from 48 kHz")
            << "H264-AAC(MP4)"
            << "AAC" << 48000 << small << bgra << small << kMp4Container << "h264"
            << "aac";
        QTest::newRow("mp4, no audio, odd size grows to even")
            << "H264-AAC(MP4)"
            << "AAC" << 0 << QSize(1365, 767) << bgra << QSize(1365, 767) << kMp4Container << "h264"
            << "";
        QTest::newRow("mp4, frames larger than the output are scaled down")
            << "H264-AAC(MP4)"
            << "AAC" << 0 << QSize(320, 240) << bgra << small << kMp4Container << "h264"
            << "";
        QTest::newRow("mp4, yuv420p frames of output size")
            << "H264-AAC(MP4)"
            << "AAC" << 0 << small << int(AV_PIX_FMT_YUV420P) << small << kMp4Container << "h264"
            << "";
        QTest::newRow("MPEG-2, MP3 from 44.1 kHz")
            << "MPEG-2"
            << "MP3" << 44100 << small << bgra << small << "mpeg"
            << "mpeg2video"
            << "mp3";
        // The program stream cannot carry AAC; such a file gets MPEG-1 Layer II sound.
        QTest::newRow("MPEG-2, AAC setting from 48 kHz")
            << "MPEG-2"
            << "AAC" << 48000 << small << bgra << small << "mpeg"
            << "mpeg2video"
            << "mp2";
        QTest::newRow("MPEG-2, no audio") << "MPEG-2"
                                          << "AAC" << 0 << small << bgra << small << "mpeg"
                                          << "mpeg2video"
                                          << "";
        QTest::newRow("AVI, AAC from 44.1 kHz") << "MPEG-4(AVI)"
                                                << "AAC" << 44100 << small << bgra << small << "avi"
                                                << "mpeg4"
                                                << "aac";
        QTest::newRow("AVI, no audio") << "MPEG-4(AVI)"
                                       << "AAC" << 0 << small << bgra << small << "avi"
                                       << "mpeg4"
                                       << "";
        QTest::newRow("Windows Media, AAC from 48 kHz")
            << "Windows Media"
            << "AAC" << 48000 << small << bgra << small << "asf"
            << "wmv2"
            << "aac";
        QTest::newRow("Windows Media, no audio") << "Windows Media"
                                                 << "AAC" << 0 << small << bgra << small << "asf"
                                                 << "wmv2"
                                                 << "";
    }

    void writesEveryFormat()
    {
        QFETCH(QString, videoFormat);
        QFETCH(QString, audioFormat);
        QFETCH(int, audioRate);
        QFETCH(QSize, frameSize);
        QFETCH(int, pixelFormat);
        QFETCH(QSize, outputSize);
        QFETCH(QString, container);
        QFETCH(QString, videoCodec);
        QFETCH(QString, audioCodec);
        const bool withAudio = audioRate > 0;

        testsupport::setMuxSettings(videoFormat, audioFormat);
        constexpr int kFrames = 30;
        const testsupport::MuxTestRecording recording =
            testsupport::makeMuxTestRecording(kFrames, frameSize.width(), frameSize.height(),
                                              static_cast<AVPixelFormat>(pixelFormat), audioRate);
        const QString path = nextPath("media");
        testsupport::MuxRunOptions options;
        options.withAudio = withAudio;
        const testsupport::MuxRunResult result = testsupport::runMuxThread(
            *logCapture_, path, outputSize.width(), outputSize.height(), recording.items, options);
        QVERIFY2(result.errors().isEmpty(), qPrintable(result.errors().join('\n')));
        QVERIFY(result.finished());
        QVERIFY(result.log.contains(QStringLiteral("total Frame Written: %1").arg(kFrames)));
        QVERIFY(result.log.contains("Quiting muxingThread....!"));

        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        QCOMPARE(probe.containerName(), container);
        QCOMPARE(probe.streams().size(), withAudio ? 2 : 1);

        const testsupport::ProbedStream* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QVERIFY(video);
        QCOMPARE(video->codecName, videoCodec);
        const int width = (outputSize.width() + 1) & ~1;
        const int height = (outputSize.height() + 1) & ~1;
        QCOMPARE(video->width, width);
        QCOMPARE(video->height, height);

        const QList<QRect> regions = testsupport::patternRegions(width, height);
        const QList<testsupport::DecodedVideoFrame> frames = probe.decodeVideo(regions);
        QCOMPARE(frames.size(), kFrames);
        const std::int64_t spacing = frames.at(1).pts - frames.at(0).pts;
        QVERIFY(spacing > 0);
        for (int n = 0; n < frames.size(); ++n) {
            const testsupport::DecodedVideoFrame& frame = frames.at(n);
            if (n > 0) {
                // Rescaling to a millisecond or 90 kHz time base rounds each pts on its own;
                // a time base of whole frames must not round at all.
                const std::int64_t step = frame.pts - frames.at(n - 1).pts;
                QVERIFY2(std::abs(step - spacing) <= (spacing >= 10 ? 1 : 0),
                         qPrintable(QStringLiteral("frame %1: step %2, first step %3")
                                        .arg(n)
                                        .arg(step)
                                        .arg(spacing)));
            }
            QVERIFY2(closeTo(frame.regionColours.at(0), testsupport::kPatternBlue, 40),
                     qPrintable(describe(frame.regionColours.at(0))));
            QCOMPARE(testsupport::patternBarColumn(frame.regionColours), n % 4);
        }
        const double span = frames.last().seconds - frames.first().seconds;
        QVERIFY2(std::abs(span - double(kFrames - 1) / testsupport::kMuxTestFps) < 0.01,
                 qPrintable(QStringLiteral("span %1 s, first pts %2, last pts %3")
                                .arg(span)
                                .arg(frames.first().pts)
                                .arg(frames.last().pts)));

        if (!withAudio)
            return;
        const testsupport::ProbedStream* audio = probe.firstStream(AVMEDIA_TYPE_AUDIO);
        QVERIFY(audio);
        QCOMPARE(audio->codecName, audioCodec);
        QCOMPARE(audio->sampleRate, 48000);
        QCOMPARE(audio->channels, 2);
        const testsupport::DecodedAudio decoded = probe.decodeAudio();
        QCOMPARE(decoded.sampleRate, 48000);
        QCOMPARE(decoded.channels, 2);
        // Everything fed comes back at 48 kHz; the encoder may add its priming (unless the
        // container trims it) and pads the last frame.
        const std::int64_t expected = recording.audioSamples * 48000 / audioRate;
        QVERIFY2(decoded.totalSamples >= expected - kResamplerSlack &&
                     decoded.totalSamples <= expected + kEncoderSlack,
                 qPrintable(QStringLiteral("decoded %1 samples, fed %2 at 48 kHz")
                                .arg(decoded.totalSamples)
                                .arg(expected)));
        for (int channel = 0; channel < 2; ++channel) {
            const double frequency =
                MediaProbe::dominantFrequency(decoded.samples[channel], decoded.sampleRate);
            QVERIFY2(std::abs(frequency - kToneHz) < 2.0, qPrintable(QString::number(frequency)));
            QVERIFY(MediaProbe::rms(decoded.samples[channel]) > 0.25);
        }
    }

    // Slots filled with a repeated image share its buffer; each keeps the image it was given,
    // also when a new image follows in the same pixel layout.
    void repeatedSlotsKeepTheirImage()
    {
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC");
        const QList<int> images = {0, 0, 0, 1, 1, 2, 2, 2, 3};
        QList<FrameQueueItem> items;
        SharedFrame image;
        for (int n = 0; n < images.size(); ++n) {
            const std::int64_t pts = n * testsupport::kMuxTestFrameIntervalUs;
            if (n == 0 || images[n] != images[n - 1]) {
                image = testsupport::makePatternFrame(320, 240, images[n], AV_PIX_FMT_BGRA, pts,
                                                      testsupport::kMuxTestFrameIntervalUs);
                items.append(FrameQueueItem{image, false, 0});
                continue;
            }
            SharedFrame repeat = makeSharedFrame(av_frame_clone(image.get()));
            repeat->pts = pts;
            items.append(FrameQueueItem{repeat, false, 0});
        }
        const QString path = nextPath("repeats");
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, 320, 240, items);
        QVERIFY(result.finished());
        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        const QList<testsupport::DecodedVideoFrame> frames =
            probe.decodeVideo(testsupport::patternRegions(320, 240));
        QList<int> columns;
        for (const auto& frame : frames)
            columns.append(testsupport::patternBarColumn(frame.regionColours));
        QCOMPARE(columns, images);
    }

    void emptyQueueStillFinishesTheFile_data()
    {
        QTest::addColumn<QString>("videoFormat");
        QTest::addColumn<bool>("withAudio");
        QTest::newRow("mp4 with audio") << "H264-AAC(MP4)" << true;
        QTest::newRow("Windows Media") << "Windows Media" << false;
    }

    void emptyQueueStillFinishesTheFile()
    {
        QFETCH(QString, videoFormat);
        QFETCH(bool, withAudio);
        testsupport::setMuxSettings(videoFormat, "AAC");
        const QString path = nextPath("media");
        testsupport::MuxRunOptions options;
        options.withAudio = withAudio;
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, 320, 240, {}, options);
        QVERIFY(result.errors().isEmpty());
        QVERIFY(result.finished());
        QVERIFY(result.log.contains("total Frame Written: 0"));
        MediaProbe probe;
        // The file must be complete, not its streams: MP4 even leaves out tracks without samples.
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        QCOMPARE(probe.decodeVideo().size(), 0);
    }

    void previewIsThrottled_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("clockStepMs");
        QTest::addColumn<QString>("expectation"); // "every", "some", "none"

        QTest::newRow("clock jumps past 200 ms each time") << true << 1000 << "every";
        QTest::newRow("clock moves 100 ms each time") << true << 100 << "some";
        QTest::newRow("clock stands still") << true << 0 << "none";
        QTest::newRow("preview switched off") << false << 1000 << "none";
    }

    void previewIsThrottled()
    {
        QFETCH(bool, enabled);
        QFETCH(int, clockStepMs);
        QFETCH(QString, expectation);

        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC");
        constexpr int kFrames = 12;
        const testsupport::MuxTestRecording recording =
            testsupport::makeMuxTestRecording(kFrames, 161, 121, AV_PIX_FMT_BGRA, 0);
        auto now = std::make_shared<std::atomic<std::int64_t>>(0);
        testsupport::MuxRunOptions options;
        options.preview = enabled;
        options.previewClock = [now, clockStepMs] { return now->fetch_add(clockStepMs); };
        const testsupport::MuxRunResult result = testsupport::runMuxThread(
            *logCapture_, nextPath("mp4"), 161, 121, recording.items, options);
        QVERIFY(result.finished());

        if (expectation == "every")
            QCOMPARE(result.previews.size(), kFrames);
        else if (expectation == "some")
            QVERIFY(result.previews.size() > 0 && result.previews.size() < kFrames);
        else
            QCOMPARE(result.previews.size(), 0);
        for (int n = 0; n < result.previews.size(); ++n) {
            const QImage& image = result.previews[n];
            QCOMPARE(image.size(), QSize(162, 122));
            QCOMPARE(image.format(), QImage::Format_RGB888);
            QVERIFY2(closeTo(MediaProbe::averageColour(image, QRect(10, 30, 20, 60)),
                             testsupport::kPatternBlue, 30),
                     qPrintable(describe(MediaProbe::averageColour(image, QRect(10, 30, 20, 60)))));
            // Every preview kept shows its own frame, not one drawn later.
            if (expectation == "every") {
                QList<QColor> colours;
                for (const QRect& region : testsupport::patternRegions(162, 122))
                    colours.append(MediaProbe::averageColour(image, region));
                QCOMPARE(testsupport::patternBarColumn(colours), n % 4);
            }
        }
    }

    void pauseHoldsFramesUntilResume()
    {
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC");
        constexpr int kFrames = 6;
        const testsupport::MuxTestRecording recording =
            testsupport::makeMuxTestRecording(kFrames, 64, 48, AV_PIX_FMT_BGRA, 0);
        FrameQueue queue;
        for (const FrameQueueItem& item : recording.items)
            queue.push(item);
        queue.close();

        logCapture_->take();
        const QString path = nextPath("mp4");
        mux_thread_win mux(&queue);
        mux.outputWidth = 64;
        mux.outputHeight = 48;
        mux.init(path, false);
        mux.pause();
        mux.start();
        // However long the pause lasts, the thread holds its item instead of finishing.
        QTest::qWait(300);
        QVERIFY(mux.isRunning());
        QVERIFY(logCapture_->take().filter("total Frame Written").isEmpty());
        mux.resume();
        QVERIFY(mux.wait(30000));
        QVERIFY(
            logCapture_->take().contains(QStringLiteral("total Frame Written: %1").arg(kFrames)));
        MediaProbe probe;
        QVERIFY(probe.open(path));
        QCOMPARE(probe.decodeVideo().size(), kFrames);
    }

    void repeatedAudioSequenceIsLoggedAndKept()
    {
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC");
        QList<FrameQueueItem> items;
        items.append({makeVideoFrame(64, 48, 0), false, 0});
        std::int64_t fed = 0;
        const QList<std::int32_t> sequences{1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10};
        for (std::int32_t sequence : sequences) {
            items.append({testsupport::makeToneFrame(48000, 1024, fed, kToneHz), true, sequence});
            fed += 1024;
        }
        testsupport::MuxRunOptions options;
        options.withAudio = true;
        const QString path = nextPath("mp4");
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, 64, 48, items, options);
        QVERIFY(result.finished());
        QCOMPARE(result.log.filter("repeating packet audio:"),
                 QStringList{"repeating packet audio: 3"});
        MediaProbe probe;
        QVERIFY(probe.open(path));
        const testsupport::DecodedAudio audio = probe.decodeAudio();
        // Eleven frames in, eleven out: the repeated one was encoded too.
        QVERIFY2(audio.totalSamples >= fed - kResamplerSlack &&
                     audio.totalSamples <= fed + kEncoderSlack,
                 qPrintable(QString::number(audio.totalSamples)));
    }

    void messagesReachAnotherThreadQueued()
    {
        // The session receives messages on the GUI thread: MSG_TYPE must survive a queued call.
        testsupport::setMuxSettings("Theora", "AAC");
        FrameQueue queue;
        queue.close();
        mux_thread_win mux(&queue);
        QList<MSG_TYPE> received;
        connect(
            &mux, &mux_thread_win::msgSignal, this,
            [&received](MSG_TYPE type, const QString&) { received.append(type); },
            Qt::QueuedConnection);
        mux.init(nextPath("mp4"), false);
        mux.start();
        QVERIFY(mux.wait(10000));
        QTRY_COMPARE(received, QList<MSG_TYPE>{MSG_ERROR});
    }
};

QTEST_GUILESS_MAIN(tst_MuxThread)
#include "tst_MuxThread.moc"
