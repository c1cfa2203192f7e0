#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QProcess;
class QThread;

// Sound helpers for the end-to-end suites, which run against the private PulseAudio server of
// the test script (null sink "rec"). Samples are 16-bit stereo at 48 kHz.
namespace testsupport {

// A sine tone at half of full scale, interleaved.
QByteArray toneSamples(double hz, double seconds);
bool writeToneWav(const QString& path, double hz, double seconds);

bool pulseReachable();
// True only on the test script's server, so that no test plays into a real sound card.
bool defaultSinkIsTestSink();
// Streams recording from the server; -1 when it cannot be asked.
int captureStreamCount();
// Waits up to ten seconds until at least count streams record from the server.
bool waitForCaptureStreams(int count);

// Plays a WAV file into the test sink until the object goes.
class TonePlayer
{
public:
    TonePlayer();
    ~TonePlayer();
    // Returns once the server has the player's stream, so the tone is heard from then on.
    bool start(const QString& wavPath);

private:
    std::unique_ptr<QProcess> player_;
};

// A virtual microphone: a pipe source made the default source for the object's lifetime. What
// is fed into it is what a recording of the microphone hears.
class PipeMicrophone
{
public:
    explicit PipeMicrophone(const QString& directory);
    ~PipeMicrophone();
    bool isValid() const { return moduleIndex_ >= 0; }
    // Writes the samples into the pipe from a background thread, at the pace the server reads.
    void feed(const QByteArray& samples);

private:
    QString fifo_;
    QString previousSource_;
    int moduleIndex_ = -1;
    std::unique_ptr<QThread> writer_;
};

} // namespace testsupport
