// The encoder and muxer thread: its set-up (containers, encoders, rate control, failures) and
// what it writes, checked by decoding the files.
#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/MuxTestHarness.h"
#include "support/SyntheticFrames.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "encode/audio_capture_thread_win.h"
#include "encode/mux_thread_win.h"
#include "media/FrameQueue.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using testsupport::MediaProbe;

class tst_MuxThread : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<testsupport::LogCapture> log_;
    int fileNumber_ = 0;

    QString nextPath() { return dir_.filePath(QStringLiteral("out_%1").arg(++fileNumber_)); }
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
        QTest::addColumn<QString>("formats"); // video setting|audio setting
        QTest::addColumn<int>("audioRate");   // 0: no audio
        QTest::addColumn<QSize>("frameSize"); // the output is 160 x 120
        QTest::addColumn<QString>("codecs");  // as the demuxer names them
        const QSize small(160, 120);
        QTest::newRow("mp4, AAC from 44.1 kHz")
            << "H264-AAC(MP4)|AAC" << 44100 << small << "h264,aac";
        QTest::newRow("mp4, larger frames scaled down")
            << "H264-AAC(MP4)|AAC" << 0 << QSize(320, 240) << "h264";
        // The program stream cannot carry AAC; such a file gets MPEG-1 Layer II sound.
        QTest::newRow("MPEG-2, AAC setting from 48 kHz")
            << "MPEG-2|AAC" << 48000 << small << "mpeg2video,mp2";
        QTest::newRow("AVI, MP3 from 44.1 kHz")
            << "MPEG-4(AVI)|MP3" << 44100 << small << "mpeg4,mp3";
        QTest::newRow("Windows Media") << "Windows Media|AAC" << 0 << small << "wmv2";
    }

    void writesEveryFormat()
    {
        QFETCH(QString, formats);
        QFETCH(int, audioRate);
        QFETCH(QSize, frameSize);
        QFETCH(QString, codecs);
        const QSize outputSize(160, 120);
        testsupport::setMuxSettings(formats.section('|', 0, 0), formats.section('|', 1));
        constexpr int kFrames = 30;
        const auto recording = testsupport::makeMuxTestRecording(kFrames, frameSize.width(),
                                                                 frameSize.height(), audioRate);
        const QString path = nextPath();
        testsupport::MuxRunOptions options;
        options.withAudio = audioRate > 0;
        const auto result = testsupport::runMuxThread(
            *log_, path, outputSize.width(), outputSize.height(), recording.items, options);
        QVERIFY2(result.errors().isEmpty(), qPrintable(result.errors().join('\n')));
        QVERIFY(result.finished());
        QVERIFY(result.log.contains(QStringLiteral("total Frame Written: %1").arg(kFrames)));

        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        QStringList found;
        for (const testsupport::ProbedStream& stream : probe.streams())
            found.append(stream.codecName);
        QCOMPARE(found.join(','), codecs);
        const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QCOMPARE(QSize(video->width, video->height), outputSize);
        const auto frames = probe.decodeVideo(testsupport::patternRegions(160, 120));
        QCOMPARE(frames.size(), kFrames);
        const std::int64_t spacing = frames.at(1).pts - frames.at(0).pts;
        for (int n = 0; n < frames.size(); ++n) {
            // Rescaling to a millisecond or 90 kHz time base rounds each pts on its own; a time
            // base of whole frames must not round at all.
            QVERIFY(n == 0 || qAbs(frames.at(n).pts - frames.at(n - 1).pts - spacing) <=
                                  (spacing >= 10 ? 1 : 0));
            QVERIFY(
                MediaProbe::near(frames.at(n).regionColours.at(0), testsupport::kPatternBlue, 40));
            QCOMPARE(testsupport::patternBarColumn(frames.at(n).regionColours), n % 4);
        }
        const double span = frames.last().seconds - frames.first().seconds;
        QVERIFY(qAbs(span - double(kFrames - 1) / testsupport::kMuxTestFps) < 0.01);
        if (audioRate == 0)
            return;

        // Everything fed comes back at 48 kHz; the encoder may add its priming and pads the end.
        const testsupport::DecodedAudio sound = probe.decodeAudio();
        QCOMPARE(sound.sampleRate, 48000);
        QCOMPARE(sound.channels, 2);
        const std::int64_t fed = recording.audioSamples * 48000 / audioRate;
        QVERIFY2(sound.totalSamples >= fed - 64 && sound.totalSamples <= fed + 2 * 1152,
                 qPrintable(QStringLiteral("%1 of %2").arg(sound.totalSamples).arg(fed)));
        for (const std::vector<float>& channel : sound.samples) {
            QVERIFY(qAbs(MediaProbe::dominantFrequency(channel, 48000) - 440.0) < 2.0);
            QVERIFY(MediaProbe::rms(channel) > 0.25);
        }
    }

    // Ten minutes at 60 fps in AVI's time base of whole frames: the capture's frame interval
    // (16666 us) does not divide a second, yet the file stays valid and in step to its end.
    void longAviRecording()
    {
        constexpr int kFps = 60;
        constexpr int kFrames = 10 * 60 * kFps;
        constexpr std::int64_t kIntervalUs = 1000000 / kFps;
        testsupport::setMuxSettings("MPEG-4(AVI)", "AAC", 6000, kFps);
        // A still screen: every slot shares one picture's buffer, as the capture thread repeats it.
        const SharedFrame picture =
            testsupport::makePatternFrame(64, 64, 0, AV_PIX_FMT_BGRA, 0, kIntervalUs);
        QList<FrameQueueItem> items;
        for (int n = 0; n < kFrames; ++n) {
            items.append({makeSharedFrame(av_frame_clone(picture.get())), false, 0});
            items.last().frame->pts = n * kIntervalUs;
        }
        const QString path = nextPath();
        const auto result = testsupport::runMuxThread(*log_, path, 64, 64, items);
        QVERIFY2(result.errors().isEmpty(), qPrintable(result.errors().value(0)));
        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        const auto frames = probe.decodeVideo();
        // A slot may be left out where two fall on one tick, never more than that.
        QVERIFY2(frames.size() >= kFrames - 2, qPrintable(QString::number(frames.size())));
        for (int n = 1; n < frames.size(); ++n)
            QVERIFY2(frames.at(n).pts > frames.at(n - 1).pts, qPrintable(QString::number(n)));
        const double span = frames.last().seconds - frames.first().seconds;
        QVERIFY2(qAbs(span - (kFrames - 1) * kIntervalUs / 1e6) < 1.5 / kFps,
                 qPrintable(QString::number(span)));
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
            if (n == 0 || images[n] != images[n - 1])
                image = testsupport::makePatternFrame(320, 240, images[n], AV_PIX_FMT_BGRA, 0,
                                                      testsupport::kMuxTestFrameIntervalUs);
            items.append({makeSharedFrame(av_frame_clone(image.get())), false, 0});
            items.last().frame->pts = n * testsupport::kMuxTestFrameIntervalUs;
        }
        const QString path = nextPath();
        QVERIFY(testsupport::runMuxThread(*log_, path, 320, 240, items).finished());
        MediaProbe probe;
        QVERIFY(probe.open(path));
        QList<int> columns;
        for (const auto& frame : probe.decodeVideo(testsupport::patternRegions(320, 240)))
            columns.append(testsupport::patternBarColumn(frame.regionColours));
        QCOMPARE(columns, images);
    }

    void previewIsThrottled_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("clockStepMs");
        QTest::newRow("clock jumps past 200 ms each time: every frame") << true << 1000;
        QTest::newRow("clock stands still: none") << true << 0;
        QTest::newRow("preview switched off: none") << false << 1000;
    }

    void previewIsThrottled()
    {
        QFETCH(bool, enabled);
        QFETCH(int, clockStepMs);
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC");
        auto now = std::make_shared<std::atomic<std::int64_t>>(0);
        testsupport::MuxRunOptions options;
        options.preview = enabled;
        options.previewClock = [now, clockStepMs] { return now->fetch_add(clockStepMs); };
        const auto result = testsupport::runMuxThread(
            *log_, nextPath(), 161, 121, testsupport::makeMuxTestRecording(8, 161, 121).items,
            options);
        QVERIFY(result.finished());
        QCOMPARE(result.previews.size(), enabled && clockStepMs > 0 ? 8 : 0);
        for (int n = 0; n < result.previews.size(); ++n) {
            // Each preview shows its own frame at the encoder's size, not one drawn later.
            QCOMPARE(result.previews[n].size(), QSize(162, 122));
            QList<QColor> colours;
            for (const QRect& region : testsupport::patternRegions(162, 122))
                colours.append(MediaProbe::averageColour(result.previews[n], region));
            QVERIFY(MediaProbe::near(colours.at(0), testsupport::kPatternBlue, 30));
            QCOMPARE(testsupport::patternBarColumn(colours), n % 4);
        }
    }

    // However long a pause lasts, the thread holds the item it popped; all are written after it.
    void pauseHoldsFramesUntilResume()
    {
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC");
        FrameQueue queue;
        for (const FrameQueueItem& item : testsupport::makeMuxTestRecording(6, 64, 48).items)
            queue.push(item);
        queue.close();
        const QString path = nextPath();
        mux_thread_win mux(&queue);
        mux.outputWidth = 64;
        mux.outputHeight = 48;
        mux.init(path, false);
        mux.pause();
        mux.start();
        QTest::qWait(300);
        QVERIFY(mux.isRunning());
        mux.resume();
        QVERIFY(mux.wait(30000));
        MediaProbe probe;
        QVERIFY(probe.open(path));
        QCOMPARE(probe.decodeVideo().size(), 6);
    }

    void reportsSetUpFailures_data()
    {
        QTest::addColumn<QString>("videoFormat");
        QTest::addColumn<QString>("audioFormat");
        QTest::addColumn<QString>("error"); // ending in a space: the unwritable path follows
        QTest::addColumn<bool>("fileLeft");
        QTest::newRow("unknown video format") << "Theora"
                                              << "AAC"
                                              << "Error: Unsupported video format." << false;
        QTest::newRow("output folder cannot be written")
            << "H264-AAC(MP4)"
            << "AAC"
            << "Error: Unable to open output file. " << false;
        QTest::newRow("unknown audio format") << "H264-AAC(MP4)"
                                              << "Vorbis"
                                              << "Could not find an audio encoder." << true;
    }

    // The failure is reported once (across threads, as the session receives it), nothing is
    // left open, and a sound thread waiting for room in the queue ends when stopped.
    void reportsSetUpFailures()
    {
        QFETCH(QString, videoFormat);
        QFETCH(QString, audioFormat);
        QFETCH(QString, error);
        QFETCH(bool, fileLeft);
        testsupport::setMuxSettings(videoFormat, audioFormat);
        QString path = nextPath();
        if (error.endsWith(' ')) {
            QFile blocker(dir_.filePath("not-a-folder")); // a file where the folder should be
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            path = blocker.fileName() + "/out.mp4";
            error += path;
        }
        const int filesBefore = openFiles();
        FrameQueue queue(4);
        queue.setProducers(2);
        audio_capture_thread_win audio(&queue);
        audio.init(false);
        audio.setSourceFactory([] {
            return std::make_unique<testsupport::ScriptedAudioSource>(std::vector<float>{}, true);
        });
        audio.start();
        QTRY_COMPARE(queue.size(), 4);

        log_->take();
        mux_thread_win mux(&queue);
        QList<QPair<MSG_TYPE, QString>> received;
        connect(
            &mux, &mux_thread_win::msgSignal, this,
            [&received](MSG_TYPE type, const QString& text) {
                received.append({type, text});
            },
            Qt::QueuedConnection);
        mux.outputWidth = 64;
        mux.outputHeight = 48;
        mux.init(path, true);
        mux.start();
        QVERIFY(mux.wait(30000));
        audio.requestStop();
        const bool audioEnded = audio.wait(10000);
        queue.close(); // lets a stuck thread end, so that a failure here does not hang
        QVERIFY(audioEnded);
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.at(0), qMakePair(MSG_ERROR, error));
        QVERIFY(log_->take().contains(error));
        QCOMPARE(QFileInfo::exists(path), fileLeft);
        QCOMPARE(openFiles(), filesBefore);
    }

    void configuresLibx264RateControl_data()
    {
        QTest::addColumn<QString>("quality");
        QTest::addColumn<QVariant>("bitrate");
        QTest::addColumn<QStringList>("expected");   // entries of x264's own settings record
        QTest::addColumn<QStringList>("notApplied"); // options libx264 does not have
        QTest::addColumn<QStringList>("applied");    // options it took, which are not named
        QTest::addColumn<QString>("logged");

        QTest::newRow("High, fixed bitrate")
            << QString(settings::kQualityHigh) << QVariant(6000)
            << QStringList{"rc=cbr",           "bitrate=6000", "vbv_maxrate=6000",
                           "vbv_bufsize=3000", "nal_hrd=cbr",  "bframes=0",
                           "keyint=30",        "aq=2:0.80",    "mbtree=0"}
            << QStringList{"rc", "rc_mode"} << QStringList{"preset", "nal-hrd", "aq-mode"}
            << "Using software encoder: libx264";
        // libx264 has no "bitrate" or "maxrate" options, so it keeps its constant rate factor.
        QTest::newRow("High, automatic bitrate")
            << QString(settings::kQualityHigh) << QVariant(settings::kBitrateAuto)
            << QStringList{"rc=crf", "bframes=0", "keyint=30"}
            << QStringList{"bitrate", "maxrate", "bufsize"} << QStringList{"preset", "tune"}
            << "Auto bitrate calculated: 2360 kbps (Resolution: 1366x768, FPS: 15)";
        QTest::newRow("Standard is constant QP 30")
            << QString(settings::kQualityStandard) << QVariant(6000)
            << QStringList{"rc=cqp", "qp=30", "bframes=0"} << QStringList{"rc"} << QStringList{"qp"}
            << "Using software encoder: libx264";
        QTest::newRow("Orginal is constant QP 18")
            << QString(settings::kQualityOriginal) << QVariant(6000)
            << QStringList{"rc=cqp", "qp=18", "bframes=0"} << QStringList{"rc"} << QStringList{"qp"}
            << "Using software encoder: libx264";
    }

    void configuresLibx264RateControl()
    {
        QFETCH(QString, quality);
        QFETCH(QVariant, bitrate);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, notApplied);
        QFETCH(QStringList, applied);
        QFETCH(QString, logged);
        // Hardware is asked for: without a working hardware encoder libx264 records. The odd
        // size is encoded one pixel larger, and "Auto" takes its bitrate from that size.
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC", bitrate, testsupport::kMuxTestFps,
                                    quality);
        const QString path = nextPath();
        const auto result = testsupport::runMuxThread(
            *log_, path, 1365, 767, testsupport::makeMuxTestRecording(2, 1365, 767).items);
        if (!result.log.filter("Using hardware encoder:").isEmpty())
            QSKIP("This machine has a working hardware H.264 encoder.");
        QVERIFY(result.finished());
        QVERIFY2(result.log.contains(logged), qPrintable(result.log.join('\n')));

        MediaProbe probe;
        QVERIFY(probe.open(path));
        const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QCOMPARE(QSize(video->width, video->height), QSize(1366, 768));
        // libx264 writes the settings it encoded with into the stream as readable text.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const qsizetype start = bytes.indexOf("x264 - core");
        const QStringList entries =
            QString::fromLatin1(bytes.mid(start, bytes.indexOf('\0', start) - start)).split(' ');
        expected.append(QStringLiteral("threads=%1").arg(QThread::idealThreadCount()));
        for (const QString& entry : expected)
            QVERIFY2(entries.contains(entry), qPrintable(entry + " missing: " + entries.join(' ')));

        // Options without effect are named once each in the log; those that took effect never.
        QStringList named;
        for (const QString& line : result.log.filter("Encoder option not applied by libx264: "))
            named.append(line.section(": ", 1).section('=', 0, 0));
        for (const QString& option : notApplied)
            QVERIFY2(named.count(option) == 1, qPrintable(option + " in " + named.join(' ')));
        for (const QString& option : applied)
            QVERIFY2(!named.contains(option), qPrintable(option));
    }
};

QTEST_GUILESS_MAIN(tst_MuxThread)
#include "tst_MuxThread.moc"
