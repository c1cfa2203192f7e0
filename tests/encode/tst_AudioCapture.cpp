#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"
#include "media/AudioFramePool.h"
#include "encode/AudioSampleConvert.h"
#include "encode/audio_capture_thread_win.h"

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(AVSampleFormat)

namespace {

constexpr int kRate = 48000;

std::vector<std::uint8_t> floatBytes(const std::vector<float>& values)
{
    std::vector<std::uint8_t> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::vector<std::uint8_t> s16Bytes(const std::vector<std::int16_t>& values)
{
    std::vector<std::uint8_t> bytes(values.size() * sizeof(std::int16_t));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// A device that delivers a fixed block of float stereo samples once, then nothing.
class ScriptedSource : public AudioSource
{
public:
    ScriptedSource(std::vector<float> interleaved, std::shared_ptr<std::atomic<bool>> taken = {})
        : samples_(std::move(interleaved)), taken_(std::move(taken))
    {
    }

    OpenError open(bool) override { return OpenError::None; }
    AudioInputFormat format() const override { return {kRate, 2, 32, true, false}; }
    int packetSize() override { return delivered_ ? 0 : int(samples_.size() / 2); }
    bool read(AudioPacket& packet) override
    {
        packet.silent = false;
        packet.frames = delivered_ ? 0 : int(samples_.size() / 2);
        packet.data = delivered_ ? std::vector<std::uint8_t>{} : floatBytes(samples_);
        delivered_ = true;
        if (taken_)
            *taken_ = true;
        return true;
    }
    void stop() override { stopped = true; }

    std::atomic<bool> stopped{false};

private:
    std::vector<float> samples_;
    bool delivered_ = false;
    std::shared_ptr<std::atomic<bool>> taken_;
};

class FailingSource : public AudioSource
{
public:
    explicit FailingSource(OpenError error) : error_(error) {}
    OpenError open(bool) override { return error_; }
    AudioInputFormat format() const override { return {}; }
    int packetSize() override { return -1; }
    bool read(AudioPacket&) override { return false; }
    void stop() override {}

private:
    OpenError error_;
};

std::vector<FrameQueueItem> drain(FrameQueue& queue)
{
    std::vector<FrameQueueItem> items;
    FrameQueueItem item;
    while (queue.size() > 0 && queue.pop(item))
        items.push_back(item);
    return items;
}

float leftAt(const AVFrame* frame, int i)
{
    if (frame->format == AV_SAMPLE_FMT_FLTP)
        return reinterpret_cast<const float*>(frame->data[0])[i];
    return reinterpret_cast<const std::int16_t*>(frame->data[0])[2 * i] / 32767.0f;
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
        QTest::addColumn<QList<float>>("left");
        QTest::addColumn<QList<float>>("right");

        const AudioInputFormat floatStereo{kRate, 2, 32, true, false};
        const AudioInputFormat s16Stereo{kRate, 2, 16, false, true};
        auto raw = [](const std::vector<std::uint8_t>& v) {
            return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
        };
        QTest::newRow("float stereo -> FLTP")
            << floatStereo << raw(floatBytes({0.5f, -0.25f, 1.0f, -1.0f})) << AV_SAMPLE_FMT_FLTP
            << QList<float>{0.5f, 1.0f} << QList<float>{-0.25f, -1.0f};
        QTest::newRow("s16 stereo -> FLTP")
            << s16Stereo << raw(s16Bytes({16384, -32768, -8192, 32767})) << AV_SAMPLE_FMT_FLTP
            << QList<float>{0.5f, -0.25f} << QList<float>{-1.0f, 32767.0f / 32768.0f};
        // S16 results are compared as value / 32767.
        QTest::newRow("float -> S16 clamps and rounds")
            << floatStereo << raw(floatBytes({1.5f, -2.0f, 0.5f, -0.5f})) << AV_SAMPLE_FMT_S16
            << QList<float>{1.0f, 16384.0f / 32767.0f} << QList<float>{-1.0f, -16384.0f / 32767.0f};
        QTest::newRow("s16 -> S16 copies")
            << s16Stereo << raw(s16Bytes({1000, -2000, 32767, -32767})) << AV_SAMPLE_FMT_S16
            << QList<float>{1000 / 32767.0f, 1.0f} << QList<float>{-2000 / 32767.0f, -1.0f};
        QTest::newRow("mono is duplicated")
            << AudioInputFormat{kRate, 1, 32, true, false} << raw(floatBytes({0.25f, -0.75f}))
            << AV_SAMPLE_FMT_FLTP << QList<float>{0.25f, -0.75f} << QList<float>{0.25f, -0.75f};
        QTest::newRow("6 channels keep the first two")
            << AudioInputFormat{kRate, 6, 32, true, false}
            << raw(floatBytes(
                   {0.1f, 0.2f, 0.9f, 0.9f, 0.9f, 0.9f, 0.3f, 0.4f, 0.9f, 0.9f, 0.9f, 0.9f}))
            << AV_SAMPLE_FMT_FLTP << QList<float>{0.1f, 0.3f} << QList<float>{0.2f, 0.4f};
        QTest::newRow("24-bit gives silence")
            << AudioInputFormat{kRate, 2, 24, false, true} << QByteArray(12, char(0x7f))
            << AV_SAMPLE_FMT_FLTP << QList<float>{0.0f, 0.0f} << QList<float>{0.0f, 0.0f};
        QTest::newRow("24-bit gives S16 silence")
            << AudioInputFormat{kRate, 2, 24, false, true} << QByteArray(12, char(0x7f))
            << AV_SAMPLE_FMT_S16 << QList<float>{0.0f, 0.0f} << QList<float>{0.0f, 0.0f};
    }

    void conversion()
    {
        QFETCH(AudioInputFormat, input);
        QFETCH(QByteArray, bytes);
        QFETCH(AVSampleFormat, target);
        QFETCH(QList<float>, left);
        QFETCH(QList<float>, right);

        // Write behind one sample of prior content, which must stay untouched.
        const int n = int(left.size());
        const float marker = 0.125f;
        std::vector<float> leftPlane(size_t(n) + 1, marker), rightPlane(size_t(n) + 1, marker);
        std::vector<std::int16_t> interleaved(2 * (size_t(n) + 1), 4096);
        std::uint8_t* const planes[2] = {target == AV_SAMPLE_FMT_FLTP
                                             ? reinterpret_cast<std::uint8_t*>(leftPlane.data())
                                             : reinterpret_cast<std::uint8_t*>(interleaved.data()),
                                         reinterpret_cast<std::uint8_t*>(rightPlane.data())};
        audioconvert::convert(reinterpret_cast<const std::uint8_t*>(bytes.constData()), input, n,
                              target, planes, 1);

        for (int i = 0; i < n; ++i) {
            float l, r;
            if (target == AV_SAMPLE_FMT_FLTP) {
                l = leftPlane[size_t(i) + 1];
                r = rightPlane[size_t(i) + 1];
            } else {
                l = interleaved[2 * (size_t(i) + 1)] / 32767.0f;
                r = interleaved[2 * (size_t(i) + 1) + 1] / 32767.0f;
            }
            QVERIFY2(qAbs(l - left[i]) < 1e-6f,
                     qPrintable(QStringLiteral("left %1: %2").arg(i).arg(l)));
            QVERIFY2(qAbs(r - right[i]) < 1e-6f,
                     qPrintable(QStringLiteral("right %1: %2").arg(i).arg(r)));
        }
        if (target == AV_SAMPLE_FMT_FLTP) {
            QCOMPARE(leftPlane[0], marker);
            QCOMPARE(rightPlane[0], marker);
        } else {
            QCOMPARE(interleaved[0], std::int16_t(4096));
            QCOMPARE(interleaved[1], std::int16_t(4096));
        }
    }

    void targetFormat_data()
    {
        QTest::addColumn<int>("codec");
        QTest::addColumn<AVSampleFormat>("format");
        QTest::addColumn<int>("frameSize");
        QTest::newRow("AAC") << int(AV_CODEC_ID_AAC) << AV_SAMPLE_FMT_FLTP << 1024;
        QTest::newRow("MP3") << int(AV_CODEC_ID_MP3) << AV_SAMPLE_FMT_FLTP << 1152;
        QTest::newRow("FLAC") << int(AV_CODEC_ID_FLAC) << AV_SAMPLE_FMT_S16 << 4608;
        QTest::newRow("other") << int(AV_CODEC_ID_NONE) << AV_SAMPLE_FMT_S16 << 1024;
    }

    void targetFormat()
    {
        QFETCH(int, codec);
        QFETCH(AVSampleFormat, format);
        QFETCH(int, frameSize);
        const audioconvert::TargetFormat target = audioconvert::targetFor(AVCodecID(codec));
        QCOMPARE(target.format, format);
        QCOMPARE(target.frameSize, frameSize);
    }

    void silenceRule_data()
    {
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<qint64>("held");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("frameSize");
        QTest::addColumn<qint64>("silence");
        // 48 kHz, 1024: threshold max(5120, 4800) = 5120 samples.
        QTest::newRow("small lag waits") << qint64(100) << qint64(0) << 48000 << 1024 << qint64(0);
        QTest::newRow("just below five frames")
            << qint64(106) << qint64(0) << 48000 << 1024 << qint64(0);
        QTest::newRow("five frames behind")
            << qint64(107) << qint64(0) << 48000 << 1024 << qint64(5136);
        QTest::newRow("held samples count")
            << qint64(1000) << qint64(44000) << 48000 << 1024 << qint64(0);
        QTest::newRow("capped at two seconds")
            << qint64(10000) << qint64(0) << 48000 << 1024 << qint64(96000);
        // 44.1 kHz FLAC: threshold max(23040, 4410) = 23040 samples.
        QTest::newRow("FLAC frames") << qint64(500) << qint64(0) << 44100 << 4608 << qint64(0);
        QTest::newRow("FLAC lag") << qint64(600) << qint64(0) << 44100 << 4608 << qint64(26460);
        // 8 kHz, 128: threshold is 100 ms = 800 samples, not 5 x 128.
        QTest::newRow("100 ms wins") << qint64(99) << qint64(0) << 8000 << 128 << qint64(0);
        QTest::newRow("100 ms reached") << qint64(100) << qint64(0) << 8000 << 128 << qint64(800);
    }

    void silenceRule()
    {
        QFETCH(qint64, elapsedMs);
        QFETCH(qint64, held);
        QFETCH(int, rate);
        QFETCH(int, frameSize);
        QFETCH(qint64, silence);
        // A 10 MHz counter started at an arbitrary tick.
        const std::int64_t start = 123456789;
        const std::int64_t now = start + elapsedMs * 10000;
        const std::int64_t expected = audioconvert::expectedSamples(now, start, 10000000, rate);
        QCOMPARE(audioconvert::silenceToInsert(expected, held, rate, frameSize), silence);
    }

    // Frames go back to the pool when their last owner drops them, even after the pool's creator
    // has let go of it.
    void framePoolRecycles()
    {
        std::shared_ptr<AudioFramePool> pool =
            AudioFramePool::create(AV_SAMPLE_FMT_FLTP, kRate, 1024);
        QCOMPARE(pool->freeCount(), AudioFramePool::kInitialFrames);
        SharedFrame frame = pool->take();
        QVERIFY(frame);
        QCOMPARE(frame->nb_samples, 1024);
        QCOMPARE(frame->sample_rate, kRate);
        QCOMPARE(frame->ch_layout.nb_channels, 2);
        QCOMPARE(frame->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
        QCOMPARE(pool->freeCount(), AudioFramePool::kInitialFrames - 1);
        std::weak_ptr<AudioFramePool> weak = pool;
        pool.reset();
        QVERIFY(!weak.expired()); // the frame keeps it alive
        frame.reset();
        QVERIFY(weak.expired());
    }

    // 1500 samples and a stop: the partial second frame is padded with silence and pushed before
    // the queue closes.
    void partialFrameAtStop_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<AVSampleFormat>("format");
        QTest::addColumn<int>("frameSize");
        QTest::newRow("AAC") << QStringLiteral("AAC") << AV_SAMPLE_FMT_FLTP << 1024;
        QTest::newRow("MP3") << QStringLiteral("MP3") << AV_SAMPLE_FMT_FLTP << 1152;
        QTest::newRow("FLAC") << QStringLiteral("FLAC") << AV_SAMPLE_FMT_S16 << 4608;
    }

    void partialFrameAtStop()
    {
        QFETCH(QString, setting);
        QFETCH(AVSampleFormat, format);
        QFETCH(int, frameSize);
        SettingsStore::instance().setValue(settings::kAudioGroup, settings::kAudioFormat, setting);

        constexpr int kSamples = 1500;
        std::vector<float> interleaved;
        for (int i = 0; i < kSamples; ++i) {
            interleaved.push_back(0.5f);
            interleaved.push_back(-0.5f);
        }
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        QVERIFY(thread.init(false));
        auto taken = std::make_shared<std::atomic<bool>>(false);
        thread.setSourceFactory(
            [&] { return std::make_unique<ScriptedSource>(interleaved, taken); });
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        thread.start();
        // Every full frame is pushed as soon as it fills.
        const int fullFrames = kSamples / frameSize;
        QTRY_VERIFY(taken->load());
        QTRY_COMPARE(queue.size(), fullFrames);
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        QVERIFY(queue.isClosed());
        QCOMPARE(messages.count(), 0);

        const std::vector<FrameQueueItem> items = drain(queue);
        QCOMPARE(int(items.size()), fullFrames + 1);
        for (size_t i = 0; i < items.size(); ++i) {
            const AVFrame* frame = items[i].frame.get();
            QVERIFY(items[i].isAudio);
            QCOMPARE(items[i].sequence, std::int32_t(i + 1));
            QCOMPARE(frame->format, int(format));
            QCOMPARE(frame->nb_samples, frameSize);
            QCOMPARE(frame->ch_layout.nb_channels, 2);
            QCOMPARE(frame->pts, std::int64_t(i) * frameSize);
        }
        const AVFrame* last = items.back().frame.get();
        const int realInLast = kSamples - fullFrames * frameSize;
        QVERIFY(qAbs(leftAt(last, realInLast - 1) - 0.5f) < 1e-3f);
        QCOMPARE(leftAt(last, realInLast), 0.0f);
        QCOMPARE(leftAt(last, frameSize - 1), 0.0f);
    }

    // Sound that arrives while paused is dropped, not recorded after the pause.
    void pausedInputIsDropped()
    {
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        thread.init(false);
        auto taken = std::make_shared<std::atomic<bool>>(false);
        thread.setSourceFactory([taken] {
            return std::make_unique<ScriptedSource>(std::vector<float>(2 * 3000, 0.5f), taken);
        });
        thread.pause();
        thread.start();
        QTRY_VERIFY(taken->load());
        thread.resume();
        thread.requestStop();
        QVERIFY(thread.wait(5000));
        QVERIFY(queue.isClosed());
        QCOMPARE(queue.size(), 0);
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
            [] { return std::make_unique<ScriptedSource>(std::vector<float>{}); });
        thread.start();
        QTRY_COMPARE(queue.size(), kRate / 1024);
        QTest::qWait(30); // more idle turns must not add anything
        QCOMPARE(queue.size(), kRate / 1024);
        thread.requestStop();
        QVERIFY(thread.wait(5000));

        const std::vector<FrameQueueItem> items = drain(queue);
        QCOMPARE(int(items.size()), kRate / 1024 + 1); // 46 full frames and the padded rest
        for (const FrameQueueItem& item : items)
            for (int i = 0; i < 1024; i += 97)
                QCOMPARE(leftAt(item.frame.get(), i), 0.0f);
    }

    // Each failed opening step gives one error, and the queue stays open for the session.
    void openFailure_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("microphone");
        QTest::addColumn<QString>("text");
        using E = AudioSource::OpenError;
        QTest::newRow("runtime") << int(E::Runtime) << false << "CoInitializeEx failed.";
        QTest::newRow("no server")
            << int(E::NoServer) << false << "Failed to create device enumerator.";
        QTest::newRow("no device")
            << int(E::NoDevice) << true << "Failed to get default audio endpoint.";
        QTest::newRow("stream") << int(E::StreamCreate) << false
                                << "Failed to activate audio client.";
        QTest::newRow("loopback refused")
            << int(E::StreamConnect) << false << "Failed to initialize loopback client.";
        QTest::newRow("microphone refused")
            << int(E::StreamConnect) << true << "Failed to init microphone in SHARED mode.";
        QTest::newRow("not started")
            << int(E::StreamStart) << false << "Failed to start audio capture.";
    }

    void openFailure()
    {
        QFETCH(int, error);
        QFETCH(bool, microphone);
        QFETCH(QString, text);
        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        thread.init(microphone);
        thread.setSourceFactory(
            [error] { return std::make_unique<FailingSource>(AudioSource::OpenError(error)); });
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        thread.start();
        QVERIFY(thread.wait(5000));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).value<MSG_TYPE>(), MSG_ERROR);
        QCOMPARE(messages.at(0).at(1).toString(), text);
        QVERIFY(!queue.isClosed());
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapture)
#include "tst_AudioCapture.moc"
