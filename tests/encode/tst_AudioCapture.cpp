// The sound capture thread over a scripted device: sample conversion, silence against the
// recording clock, pause, the end of the stream, and a device that cannot be opened.
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "encode/AudioSampleConvert.h"
#include "encode/audio_capture_thread_win.h"
#include "media/AudioFramePool.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(AVSampleFormat)

namespace {

// A 48 kHz float stereo device that delivers its samples once, then nothing; or fails to open
// with the server's reason.
class ScriptedAudioSource : public AudioSource
{
public:
    explicit ScriptedAudioSource(std::vector<float> interleaved) : samples_(std::move(interleaved))
    {
    }
    ScriptedAudioSource(OpenError error, std::string reason)
        : error_(error), reason_(std::move(reason))
    {
    }
    OpenError open(bool) override { return error_; }
    AudioInputFormat format() const override { return {48000, 2, 32, true, false}; }
    int packetSize() override { return taken ? 0 : int(samples_.size() / 2); }
    bool read(AudioPacket& packet) override
    {
        packet.frames = packetSize();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples_.data());
        packet.data.assign(bytes, bytes + packet.frames * 2 * sizeof(float));
        taken = true;
        return true;
    }
    void stop() override {}
    std::string errorText() const override { return reason_; }

    std::atomic<bool> taken{false}; // the samples were read

private:
    std::vector<float> samples_;
    AudioSource::OpenError error_ = OpenError::None;
    std::string reason_;
};

template <typename T> QByteArray bytesOf(const std::vector<T>& values)
{
    return QByteArray(reinterpret_cast<const char*>(values.data()),
                      qsizetype(values.size() * sizeof(T)));
}

float leftAt(const AVFrame* frame, int i)
{
    if (frame->format == AV_SAMPLE_FMT_FLTP)
        return reinterpret_cast<const float*>(frame->data[0])[i];
    return reinterpret_cast<const std::int16_t*>(frame->data[0])[2 * i] / 32767.0f;
}

// Runs a capture thread over the source until it has been read (when it has samples), then
// stops it and returns what it queued.
QList<FrameQueueItem> capture(audio_capture_thread_win& thread, FrameQueue& queue,
                              std::vector<float> samples)
{
    std::atomic<ScriptedAudioSource*> source{nullptr};
    thread.setSourceFactory([&] {
        auto made = std::make_unique<ScriptedAudioSource>(std::move(samples));
        source = made.get();
        return made;
    });
    thread.start();
    for (int i = 0; i < 1000 && !(source && source.load()->taken); ++i)
        QTest::qWait(5);
    thread.requestStop();
    thread.wait();
    QList<FrameQueueItem> items;
    for (FrameQueueItem item; queue.size() > 0 && queue.pop(item);)
        items.append(item);
    return items;
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

    void conversion_data()
    {
        QTest::addColumn<AudioInputFormat>("input");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<AVSampleFormat>("target");
        QTest::addColumn<QList<float>>("expected"); // left, right, ...; S16 as value / 32767

        const AudioInputFormat floatStereo{48000, 2, 32, true, false};
        QTest::newRow("float stereo -> FLTP")
            << floatStereo << bytesOf<float>({0.5f, -0.25f, 1.0f, -1.0f}) << AV_SAMPLE_FMT_FLTP
            << QList<float>{0.5f, -0.25f, 1.0f, -1.0f};
        QTest::newRow("s16 stereo -> FLTP")
            << AudioInputFormat{48000, 2, 16, false, true}
            << bytesOf<std::int16_t>({16384, -32768, -8192, 32767}) << AV_SAMPLE_FMT_FLTP
            << QList<float>{0.5f, -1.0f, -0.25f, 32767.0f / 32768.0f};
        QTest::newRow("float -> S16 clamps and rounds")
            << floatStereo << bytesOf<float>({1.5f, -2.0f, 0.5f, -0.5f}) << AV_SAMPLE_FMT_S16
            << QList<float>{1.0f, -1.0f, 16384.0f / 32767.0f, -16384.0f / 32767.0f};
        QTest::newRow("s16 -> S16 copies")
            << AudioInputFormat{48000, 2, 16, false, true}
            << bytesOf<std::int16_t>({1000, -2000, 32767, -32767}) << AV_SAMPLE_FMT_S16
            << QList<float>{1000 / 32767.0f, -2000 / 32767.0f, 1.0f, -1.0f};
        QTest::newRow("mono is duplicated")
            << AudioInputFormat{48000, 1, 32, true, false} << bytesOf<float>({0.25f, -0.75f})
            << AV_SAMPLE_FMT_FLTP << QList<float>{0.25f, 0.25f, -0.75f, -0.75f};
        QTest::newRow("24-bit gives silence")
            << AudioInputFormat{48000, 2, 24, false, true} << QByteArray(12, char(0x7f))
            << AV_SAMPLE_FMT_S16 << QList<float>{0.0f, 0.0f, 0.0f, 0.0f};
    }

    void conversion()
    {
        QFETCH(AudioInputFormat, input);
        QFETCH(QByteArray, bytes);
        QFETCH(AVSampleFormat, target);
        QFETCH(QList<float>, expected);
        // Written behind one sample of prior content (0.25), which must stay untouched.
        const int n = int(expected.size() / 2);
        const bool planar = target == AV_SAMPLE_FMT_FLTP;
        std::vector<float> left(size_t(n) + 1, 0.25f), right(size_t(n) + 1, 0.25f);
        std::vector<std::int16_t> interleaved(2 * (size_t(n) + 1), 8192);
        std::uint8_t* const planes[2] = {planar
                                             ? reinterpret_cast<std::uint8_t*>(left.data())
                                             : reinterpret_cast<std::uint8_t*>(interleaved.data()),
                                         reinterpret_cast<std::uint8_t*>(right.data())};
        audioconvert::convert(reinterpret_cast<const std::uint8_t*>(bytes.constData()), input, n,
                              target, planes, 1);
        expected = QList<float>{0.25f, 0.25f} + expected;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const size_t at = size_t(i / 2);
            const float value = planar ? (i % 2 ? right[at] : left[at])
                                       : interleaved[size_t(i)] / (i < 2 ? 32768.0f : 32767.0f);
            QVERIFY2(qAbs(value - expected[i]) < 1e-6f,
                     qPrintable(QStringLiteral("value %1: %2").arg(i).arg(value)));
        }
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
        QCOMPARE(silence(99, 0, 8000, 128), 0LL);
        QCOMPARE(silence(100, 0, 8000, 128), 800LL);
    }

    // Frames go back to the pool when their last owner drops them, even after the pool's creator
    // has let go of it.
    void framePoolOutlivesItsCreator()
    {
        auto pool = AudioFramePool::create(AV_SAMPLE_FMT_FLTP, 48000, 1024);
        SharedFrame frame = pool->take();
        QCOMPARE(pool->freeCount(), AudioFramePool::kInitialFrames - 1);
        std::weak_ptr<AudioFramePool> weak = pool;
        pool.reset();
        QVERIFY(!weak.expired()); // the frame keeps it alive
        frame.reset();
        QVERIFY(weak.expired());
    }

    // 1500 samples and a stop: full frames as they fill, then the partial last one padded with
    // silence, all before the stream ends. Sound that arrives while paused is dropped instead.
    void framesUntilStop_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<AVSampleFormat>("format");
        QTest::addColumn<int>("frameSize");
        QTest::addColumn<bool>("paused");
        QTest::newRow("AAC") << QStringLiteral("AAC") << AV_SAMPLE_FMT_FLTP << 1024 << false;
        QTest::newRow("MP3") << QStringLiteral("MP3") << AV_SAMPLE_FMT_FLTP << 1152 << false;
        QTest::newRow("FLAC") << QStringLiteral("FLAC") << AV_SAMPLE_FMT_S16 << 4608 << false;
        QTest::newRow("paused") << QStringLiteral("AAC") << AV_SAMPLE_FMT_FLTP << 1024 << true;
    }

    void framesUntilStop()
    {
        QFETCH(QString, setting);
        QFETCH(AVSampleFormat, format);
        QFETCH(int, frameSize);
        QFETCH(bool, paused);
        SettingsStore::instance().setValue(settings::kAudioGroup, settings::kAudioFormat, setting);
        constexpr int kSamples = 1500;
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        QVERIFY(thread.init(false));
        if (paused)
            thread.pause();
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        std::vector<float> samples;
        for (int i = 0; i < kSamples; ++i)
            samples.insert(samples.end(), {0.5f, -0.5f});
        const QList<FrameQueueItem> items = capture(thread, queue, samples);
        QVERIFY(queue.isClosed());
        QCOMPARE(messages.count(), 0);
        QCOMPARE(items.size(), paused ? 0 : kSamples / frameSize + 1);
        for (qsizetype i = 0; i < items.size(); ++i) {
            QVERIFY(items[i].isAudio);
            QCOMPARE(items[i].sequence, std::int32_t(i + 1));
            QCOMPARE(items[i].frame->format, int(format));
            QCOMPARE(items[i].frame->nb_samples, frameSize);
            QCOMPARE(items[i].frame->ch_layout.nb_channels, 2);
            QCOMPARE(items[i].frame->pts, std::int64_t(i) * frameSize);
        }
        if (paused)
            return;
        const int realInLast = kSamples % frameSize;
        QVERIFY(qAbs(leftAt(items.last().frame.get(), realInLast - 1) - 0.5f) < 1e-3f);
        QCOMPARE(leftAt(items.last().frame.get(), realInLast), 0.0f);
        QCOMPARE(leftAt(items.last().frame.get(), frameSize - 1), 0.0f);
    }

    // A device that delivers nothing while the clock says a second passed: one second of
    // silence is inserted once, then the stream is level with the clock.
    void silenceAgainstClock()
    {
        SettingsStore::instance().setValue(settings::kAudioGroup, settings::kAudioFormat,
                                           QStringLiteral("AAC"));
        std::atomic<std::int64_t> ticks{0};
        auto clock = std::make_shared<CaptureClockQpc>([&] { return ticks.load(); }, 1000);
        clock->restart();
        ticks = 1000; // one second later
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        thread.init(false);
        thread.setCaptureClock(clock);
        thread.setSourceFactory(
            [] { return std::make_unique<ScriptedAudioSource>(std::vector<float>{}); });
        thread.start();
        QTRY_COMPARE(queue.size(), 48000 / 1024);
        QTest::qWait(30); // more idle turns must not add anything
        QCOMPARE(queue.size(), 48000 / 1024);
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        QCOMPARE(queue.size(), 48000 / 1024 + 1); // 46 full frames and the padded rest
        for (FrameQueueItem item; queue.size() > 0 && queue.pop(item);)
            for (int i = 0; i < 1024; i += 97)
                QCOMPARE(leftAt(item.frame.get(), i), 0.0f);
    }

    // A device that cannot be opened: the run log and the message name the failing step with
    // the sound server's reason, and the stream ends so that the recording is not held up.
    // (The platform's own source without a server is recorded end to end.)
    void openFailure()
    {
        const QString text = "Failed to initialize loopback client. (Access denied)";
        testsupport::LogCapture log;
        FrameQueue queue;
        queue.setProducers(2);
        audio_capture_thread_win thread(&queue);
        thread.init(false);
        thread.setSourceFactory([] {
            return std::make_unique<ScriptedAudioSource>(AudioSource::OpenError::StreamConnect,
                                                         "Access denied");
        });
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        thread.start();
        QVERIFY(thread.wait(15000));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).value<MSG_TYPE>(), MSG_ERROR);
        QCOMPARE(messages.at(0).at(1).toString(), text);
        QVERIFY2(!log.take().filter(text).isEmpty(), "the run log misses the failure");
        // The other producer's end now closes the queue: the mux can finish the file.
        QVERIFY(!queue.isClosed());
        queue.producerFinished();
        QVERIFY(queue.isClosed());
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapture)
#include "tst_AudioCapture.moc"
