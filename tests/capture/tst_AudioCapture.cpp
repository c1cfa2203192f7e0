// The sound capture thread over a scripted device: sample conversion, silence against the
// recording clock, pause and the end of the stream.
#include "support/TestSupport.h"
#include "capture/AudioSampleConvert.h"
#include "capture/AudioTimeline.h"
#include "capture/audio_capture_thread_win.h"
#include "encode/MuxSettings.h"
#include "media/AudioFramePool.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"

#include <QSignalSpy>
#include <QtTest>

#include <random>

Q_DECLARE_METATYPE(AVSampleFormat)

namespace {

// A device that delivers its bytes (up to the available ones) in packets of up to 1000 frames,
// then nothing.
class ScriptedAudioSource : public AudioSource
{
public:
    ScriptedAudioSource(AudioInputFormat format, QByteArray bytes)
        : available(bytes.size() / (format.channels * format.bits / 8)), format_(format),
          bytes_(std::move(bytes))
    {
    }
    OpenError open(const AudioSourceChoice&) override { return OpenError::None; }
    AudioInputFormat format() const override { return format_; }
    int packetSize() override
    {
        return int(std::min<qsizetype>(1000, (available * frameBytes() - read_) / frameBytes()));
    }
    bool read(AudioPacket& packet) override
    {
        packet.frames = packetSize();
        const auto* from = reinterpret_cast<const std::uint8_t*>(bytes_.constData()) + read_;
        packet.data.assign(from, from + packet.frames * frameBytes());
        read_ += qsizetype(packet.data.size());
        taken = read_ == available * frameBytes();
        return true;
    }
    void stop() override {}
    bool deliversContinuously() const override { return continuous; }

    std::atomic<bool> taken{false};   // everything available was read
    std::atomic<qsizetype> available; // frames
    bool continuous = false;

private:
    int frameBytes() const { return format_.channels * format_.bits / 8; }

    AudioInputFormat format_;
    QByteArray bytes_;
    qsizetype read_ = 0;
};

const AudioInputFormat kFloatStereo{48000, 2, 32, true, false};
const AudioInputFormat kS16Stereo{48000, 2, 16, false, true};

template <typename T> QByteArray bytesOf(const std::vector<T>& values)
{
    return QByteArray(reinterpret_cast<const char*>(values.data()),
                      qsizetype(values.size() * sizeof(T)));
}

// Sample i of a channel, S16 as value / 32767.
float sampleAt(const AVFrame* frame, int channel, int i)
{
    if (frame->format == AV_SAMPLE_FMT_FLTP)
        return reinterpret_cast<const float*>(frame->data[channel])[i];
    return reinterpret_cast<const std::int16_t*>(frame->data[0])[2 * i + channel] / 32767.0f;
}

} // namespace

class tst_AudioCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
    }

    // Silence fills a gap once the sound is five frames or 100 ms behind the clock, whichever is
    // more, and at most two seconds at a time.
    void silenceRule()
    {
        const auto silence = [](qint64 elapsedMs, qint64 held, int rate, int frameSize) {
            const std::int64_t start = 123456789; // a 10 MHz counter
            const std::int64_t expected =
                audioconvert::expectedSamples(start + elapsedMs * 10000, start, 10000000, rate);
            return qint64(audioconvert::silenceToInsert(expected, held, rate, frameSize));
        };
        QCOMPARE(silence(106, 0, 48000, 1024), 0LL);
        QCOMPARE(silence(107, 0, 48000, 1024), 5136LL);
        QCOMPARE(silence(1000, 44000, 48000, 1024), 0LL); // held samples count
        QCOMPARE(silence(10000, 0, 48000, 1024), 96000LL);
        QCOMPARE(silence(100, 0, 8000, 128), 800LL); // 100 ms is more than five frames here
    }

    // Half an hour of two devices, each running fast, slow or true, in 20 ms fragments that
    // arrive up to 40 ms late, mixed as they come: each stays within one video frame of the
    // clock and of the other once settled, and a true device is never touched.
    void driftCorrection_data()
    {
        QTest::addColumn<double>("ppmA");
        QTest::addColumn<double>("ppmB");
        QTest::newRow("fast and slow") << 300.0 << -200.0;
        QTest::newRow("true and slow") << 0.0 << -170.0;
    }

    void driftCorrection()
    {
        QFETCH(double, ppmA);
        QFETCH(double, ppmB);
        const int rate = 48000, fragment = rate / 50, videoFrame = rate / 30;
        const std::int64_t steps = 30 * 60 * 50, settled = 20 * 50; // clock steps of 20 ms
        const double ppm[2] = {ppmA, ppmB};
        std::vector<AudioTimeline> timelines(2, AudioTimeline(rate, rate));
        const AudioPacket packet{std::vector<std::uint8_t>(std::size_t(fragment) * 8), fragment,
                                 false};
        std::int64_t sent[2] = {0, 0}, leadAtStart[2] = {0, 0}, leadIn[2] = {0, 0};
        std::mt19937 noise(7);
        std::vector<float> left(rate), right(rate);
        for (std::int64_t step = 1; step <= steps; ++step) {
            const double now = step * 0.02;
            for (int d = 0; d < 2; ++d) {
                // Fragment n is complete on the device's clock at n * 20 ms, and arrives late.
                while ((sent[d] + 1) * 0.02 / (1 + ppm[d] * 1e-6) + noise() % 40 * 0.001 <= now) {
                    timelines[std::size_t(d)].add(packet, kFloatStereo, std::int64_t(now * rate));
                    ++sent[d];
                }
            }
            const int ready = std::min(timelines[0].available(), timelines[1].available());
            for (AudioTimeline& timeline : timelines)
                timeline.takeInto(left.data(), right.data(), ready, false);
            for (int d = 0; d < 2 && step == settled; ++d) {
                leadAtStart[d] = timelines[std::size_t(d)].position() - step * fragment;
                leadIn[d] = timelines[std::size_t(d)].position() - sent[d] * fragment;
            }
        }
        const std::int64_t expected = steps * fragment;
        for (int d = 0; d < 2; ++d) {
            const std::int64_t position = timelines[std::size_t(d)].position();
            QVERIFY2(std::abs(position - leadAtStart[d] - expected) < videoFrame,
                     qPrintable(QString::number(position - leadAtStart[d] - expected)));
            if (ppm[d] == 0)
                QCOMPARE(position, leadIn[d] + sent[d] * fragment);
        }
        QVERIFY(std::abs(timelines[0].position() - timelines[1].position()) < videoFrame);
    }

    // Two sources at once: mixed into one track (through the limiter when loud), or a track
    // each; a muted microphone leaves silence in its place.
    void mixesTwoSources_data()
    {
        QTest::addColumn<float>("system");
        QTest::addColumn<float>("microphone");
        QTest::addColumn<bool>("separate");
        QTest::addColumn<bool>("muted");
        QTest::addColumn<QList<float>>("expected"); // per track
        QTest::newRow("mixed") << 0.5f << 0.25f << false << false << QList<float>{0.75f};
        QTest::newRow("mixed, muted") << 0.5f << 0.25f << false << true << QList<float>{0.5f};
        QTest::newRow("too loud, limited") << 0.8f << 0.8f << false << false << QList<float>{0.89f};
        QTest::newRow("own tracks") << 0.5f << 0.25f << true << false << QList<float>{0.5f, 0.25f};
        QTest::newRow("own tracks, muted")
            << 0.5f << 0.25f << true << true << QList<float>{0.5f, 0.0f};
    }

    void mixesTwoSources()
    {
        QFETCH(float, system);
        QFETCH(float, microphone);
        QFETCH(bool, separate);
        QFETCH(bool, muted);
        QFETCH(QList<float>, expected);
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        thread.init({{}, {AudioSourceChoice::Kind::Microphone, "mic"}}, separate, AV_CODEC_ID_AAC);
        thread.setMicrophoneMuted(muted);
        std::atomic<int> opened{0};
        std::vector<ScriptedAudioSource*> sources(2);
        thread.setSourceFactory([&] {
            const float value = opened == 0 ? system : microphone;
            auto made = std::make_unique<ScriptedAudioSource>(
                kFloatStereo, bytesOf(std::vector<float>(2 * 2048, value)));
            sources[std::size_t(opened++)] = made.get();
            return made;
        });
        thread.start();
        QTRY_VERIFY(opened == 2 && sources[0]->taken && sources[1]->taken);
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        QList<QList<float>> firstSamples(expected.size());
        for (FrameQueueItem item; queue.size() > 0 && queue.pop(item);) {
            QVERIFY(item.track < expected.size());
            firstSamples[item.track] << sampleAt(item.frame.get(), 0, 0);
        }
        for (qsizetype track = 0; track < expected.size(); ++track) {
            QCOMPARE(firstSamples[track].size(), 2);
            for (float value : std::as_const(firstSamples[track]))
                QVERIFY2(qAbs(value - expected[track]) < 1e-3f, qPrintable(QString::number(value)));
        }
    }

    // 1500 samples from the device in packets of 1000 and a stop: converted into full frames as
    // they fill, then the partial last one padded with silence, all before the stream ends.
    // Sound that arrives while paused is dropped instead.
    void framesUntilStop_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<AudioInputFormat>("input");
        QTest::addColumn<QByteArray>("bytes"); // two samples, repeated
        QTest::addColumn<AVSampleFormat>("format");
        QTest::addColumn<int>("frameSize");
        QTest::addColumn<QList<float>>("expected"); // left, right of each of the two samples
        QTest::addColumn<bool>("paused");
        QTest::newRow("AAC, float stereo")
            << "AAC" << kFloatStereo << bytesOf<float>({0.5f, -0.25f, 1.0f, -1.0f})
            << AV_SAMPLE_FMT_FLTP << 1024 << QList<float>{0.5f, -0.25f, 1.0f, -1.0f} << false;
        QTest::newRow("MP3, s16 stereo")
            << "MP3" << kS16Stereo << bytesOf<std::int16_t>({16384, -32768, -8192, 32767})
            << AV_SAMPLE_FMT_FLTP << 1152 << QList<float>{0.5f, -1.0f, -0.25f, 32767.0f / 32768.0f}
            << false;
        QTest::newRow("FLAC, float clamped and rounded")
            << "FLAC" << kFloatStereo << bytesOf<float>({1.5f, -2.0f, 0.5f, -0.5f})
            << AV_SAMPLE_FMT_S16 << 4608
            << QList<float>{1.0f, -32768.0f / 32767.0f, 16384.0f / 32767.0f, -16384.0f / 32767.0f}
            << false;
        QTest::newRow("FLAC, s16 copied")
            << "FLAC" << kS16Stereo << bytesOf<std::int16_t>({1000, -2000, 32767, -32767})
            << AV_SAMPLE_FMT_S16 << 4608
            << QList<float>{1000 / 32767.0f, -2000 / 32767.0f, 1.0f, -1.0f} << false;
        QTest::newRow("AAC, mono duplicated")
            << "AAC" << AudioInputFormat{48000, 1, 32, true, false}
            << bytesOf<float>({0.25f, -0.75f}) << AV_SAMPLE_FMT_FLTP << 1024
            << QList<float>{0.25f, 0.25f, -0.75f, -0.75f} << false;
        QTest::newRow("FLAC, 24-bit gives silence")
            << "FLAC" << AudioInputFormat{48000, 2, 24, false, true} << QByteArray(12, char(0x7f))
            << AV_SAMPLE_FMT_S16 << 4608 << QList<float>{0.0f, 0.0f, 0.0f, 0.0f} << false;
        QTest::newRow("paused") << "AAC" << kFloatStereo << bytesOf<float>({0.5f, 0.5f, 0.5f, 0.5f})
                                << AV_SAMPLE_FMT_FLTP << 1024 << QList<float>() << true;
    }

    void framesUntilStop()
    {
        QFETCH(QString, setting);
        QFETCH(AudioInputFormat, input);
        QFETCH(QByteArray, bytes);
        QFETCH(AVSampleFormat, format);
        QFETCH(int, frameSize);
        QFETCH(QList<float>, expected);
        QFETCH(bool, paused);
        constexpr int kSamples = 1500;
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        QVERIFY(thread.init({AudioSourceChoice{}}, false, MuxSettings::audioCodecFor(setting)));
        if (paused)
            thread.pause();
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        std::atomic<ScriptedAudioSource*> source{nullptr};
        thread.setSourceFactory([&] {
            auto made = std::make_unique<ScriptedAudioSource>(input, bytes.repeated(kSamples / 2));
            source = made.get();
            return made;
        });
        thread.start();
        QTRY_VERIFY(source && source.load()->taken);
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        QVERIFY(queue.isClosed());
        QCOMPARE(messages.count(), 0);
        QList<FrameQueueItem> items;
        for (FrameQueueItem item; queue.size() > 0 && queue.pop(item);)
            items.append(item);
        QCOMPARE(items.size(), paused ? 0 : kSamples / frameSize + 1);
        for (qsizetype n = 0; n < items.size(); ++n) {
            const AVFrame* frame = items[n].frame.get();
            QVERIFY(items[n].isAudio);
            QCOMPARE(items[n].sequence, std::int32_t(n + 1));
            QCOMPARE(frame->format, int(format));
            QCOMPARE(frame->nb_samples, frameSize);
            QCOMPARE(frame->ch_layout.nb_channels, 2);
            QCOMPARE(frame->pts, std::int64_t(n) * frameSize);
            for (int i = 0; i < frameSize; ++i) {
                const std::int64_t at = n * frameSize + i;
                for (int channel = 0; channel < 2; ++channel) {
                    const float value = at < kSamples ? expected[2 * (at % 2) + channel] : 0.0f;
                    QVERIFY2(qAbs(sampleAt(frame, channel, i) - value) < 1e-6f,
                             qPrintable(QStringLiteral("sample %1").arg(at)));
                }
            }
        }
    }

    // The clock moves a second on while the device delivers nothing, then the rest arrives. A
    // quiet device gets a second of silence, once; a source that delivers continuously was only
    // late, and its sound follows on without a gap.
    void silenceAgainstClock_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<int>("early");  // frames before the pause
        QTest::addColumn<int>("late");   // after it
        QTest::addColumn<int>("frames"); // pushed in all
        QTest::newRow("quiet device") << false << 0 << 0 << 48000 / 1024 + 1;
        QTest::newRow("late continuous source") << true << 1024 << 48000 << 49024 / 1024 + 1;
    }
    void silenceAgainstClock()
    {
        QFETCH(bool, continuous);
        QFETCH(int, early);
        QFETCH(int, late);
        std::atomic<std::int64_t> ticks{0};
        auto clock = std::make_shared<CaptureClockQpc>([&] { return ticks.load(); }, 1000);
        clock->restart();
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        thread.init({AudioSourceChoice{}}, false, AV_CODEC_ID_AAC);
        thread.setCaptureClock(clock);
        std::atomic<ScriptedAudioSource*> source{nullptr};
        thread.setSourceFactory([&] {
            auto made = std::make_unique<ScriptedAudioSource>(
                kFloatStereo, bytesOf(std::vector<float>(2 * (early + late), 0.5f)));
            made->continuous = continuous;
            made->available = early;
            source = made.get();
            return made;
        });
        thread.start();
        QTRY_VERIFY(source && queue.size() == early / 1024);
        ticks = 1000;
        QTest::qWait(50); // idle turns of the thread
        source.load()->available = early + late;
        QFETCH(int, frames);
        QTRY_COMPARE(int(queue.size()), frames - 1);
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        QCOMPARE(int(queue.size()), frames); // silence put in would have made more
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapture)
#include "tst_AudioCapture.moc"
