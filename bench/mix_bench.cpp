// What mixing a microphone into the system sound costs the sound thread: the thread records ten
// minutes of 48 kHz float stereo from one source, then from two mixed through the limiter, each
// delivered in 20 ms packets as fast as it takes them; the CPU time per second of sound is the
// share of one core the recording pays. Three runs of each, printed with their spread.
#include "capture/audio_capture_thread_win.h"
#include "media/FrameQueue.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kPacket = kRate / 50;
constexpr int kSeconds = 600;

// A device with a tone ready in every packet, for kSeconds of sound.
class ToneSource : public AudioSource
{
public:
    explicit ToneSource(double hz) : data_(std::size_t(kPacket) * 2)
    {
        for (int i = 0; i < kPacket; ++i)
            data_[2 * std::size_t(i)] = data_[2 * std::size_t(i) + 1] =
                float(0.5 * std::sin(2 * M_PI * hz * i / kRate));
    }
    OpenError open(const AudioSourceChoice&) override { return OpenError::None; }
    AudioInputFormat format() const override { return {kRate, 2, 32, true, false}; }
    // One packet per turn of the thread, as a device delivers between its looks.
    int packetSize() override
    {
        const bool ready = !justRead_ && sent_ < kSeconds * 50;
        justRead_ = false;
        return ready ? kPacket : 0;
    }
    bool read(AudioPacket& packet) override
    {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data_.data());
        packet.data.assign(bytes, bytes + data_.size() * sizeof(float));
        packet.frames = kPacket;
        packet.silent = false;
        ++sent_;
        justRead_ = true;
        return true;
    }
    void stop() override {}
    bool done() const { return sent_ >= kSeconds * 50; }

private:
    std::vector<float> data_;
    int sent_ = 0;
    bool justRead_ = false;
};

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Share of one core, in percent, that recording from this many sources costs.
double measure(int sources)
{
    FrameQueue queue;
    audio_capture_thread_win thread(&queue);
    std::vector<AudioSourceChoice> chosen{{}};
    if (sources == 2)
        chosen.push_back({AudioSourceChoice::Kind::Microphone, "bench"});
    thread.init(chosen, false, AV_CODEC_ID_AAC);
    std::vector<ToneSource*> made;
    thread.setSourceFactory([&] {
        auto source = std::make_unique<ToneSource>(made.empty() ? 440 : 660);
        made.push_back(source.get());
        return source;
    });
    queue.setProducers(1);
    const double start = processCpuSeconds();
    thread.start();
    for (FrameQueueItem item; queue.pop(item);) {
        if (made.size() == std::size_t(sources) &&
            std::all_of(made.begin(), made.end(), [](auto* s) { return s->done(); }))
            thread.requestStop();
    }
    thread.wait();
    return (processCpuSeconds() - start) / kSeconds * 100;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<double> one, two;
    for (int run = 0; run < 3; ++run) {
        one.push_back(measure(1));
        two.push_back(measure(2));
    }
    std::sort(one.begin(), one.end());
    std::sort(two.begin(), two.end());
    std::printf("Sound thread, %d s of 48 kHz stereo per run, CPU in %% of one core "
                "(median, spread of three runs):\n",
                kSeconds);
    std::printf("one source %.3f (%.3f-%.3f), two mixed %.3f (%.3f-%.3f)\n", one[1], one[0], one[2],
                two[1], two[0], two[2]);
    std::printf("one_source_pct=%.3f two_mixed_pct=%.3f mix_cost_pct=%.3f\n", one[1], two[1],
                two[1] - one[1]);
    return 0;
}
