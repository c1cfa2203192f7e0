#pragma once

#include <QProcess>
#include <QString>

#include <optional>
#include <vector>

// Sound helpers for the end-to-end suites, which run against the private PulseAudio server of
// the test script (null sink "rec"). Samples are 16-bit stereo at 48 kHz.
namespace testsupport {

// A sine tone at half of full scale.
bool writeToneWav(const QString& path, double hz, double seconds);

bool pulseReachable();
// True only on the test script's server, so that no test plays into a real sound card.
bool defaultSinkIsTestSink();

// The level of one frequency in mono samples, in dB of full scale (a full-scale sine reads 0,
// the tones of writeToneWav about -6); -200 for no samples.
double toneLevelDb(const std::vector<float>& samples, int rate, double hz);

// A player's buffer in the sound server. A prompt one keeps the test's null sink from rendering
// far ahead, so that a tone is heard in a recording from its first moments. After a stall of the
// machine the null sink renders the time it missed at once, and a player with less than that
// queued leaves silence in it: a steady one rides out the stalls of a busy virtual machine.
constexpr int kPromptLatencyMs = 50;
constexpr int kSteadyLatencyMs = 250;

// Plays a WAV file into a sink until the object goes, as a program of its own name.
class TonePlayer
{
public:
    explicit TonePlayer(int latencyMs = kPromptLatencyMs) : latencyMs_(latencyMs) {}
    ~TonePlayer()
    {
        player_.kill();
        player_.waitForFinished(5000);
    }
    // Returns once the sink plays the tone, so that it is heard from then on. An empty name
    // leaves paplay's own.
    bool start(const QString& wavPath, const QString& applicationName = {},
               const QString& sink = QStringLiteral("rec"));

private:
    int latencyMs_;
    QProcess player_;
};

// A microphone for the tests: a second null sink whose monitor is remapped into an ordinary
// input device (not a monitor), playing a WAV file. Gone again with the object.
class TestMicrophone
{
public:
    explicit TestMicrophone(const QString& name = QStringLiteral("torvane_test_mic"),
                            const QString& description = QStringLiteral("Test Microphone"));
    ~TestMicrophone();
    TestMicrophone(const TestMicrophone&) = delete;
    TestMicrophone& operator=(const TestMicrophone&) = delete;

    // True when the device exists and sounds the file.
    bool start(const QString& wavPath, int latencyMs = kPromptLatencyMs);
    QString name() const { return name_; }
    QString description() const { return description_; }

private:
    QString name_;
    QString description_;
    QStringList modules_;
    std::optional<TonePlayer> player_;
};

} // namespace testsupport
