#pragma once

#include <QProcess>
#include <QString>

// Sound helpers for the end-to-end suites, which run against the private PulseAudio server of
// the test script (null sink "rec"). Samples are 16-bit stereo at 48 kHz.
namespace testsupport {

// A sine tone at half of full scale.
bool writeToneWav(const QString& path, double hz, double seconds);

bool pulseReachable();
// True only on the test script's server, so that no test plays into a real sound card.
bool defaultSinkIsTestSink();

// Plays a WAV file into the test sink until the object goes.
class TonePlayer
{
public:
    ~TonePlayer()
    {
        player_.kill();
        player_.waitForFinished(5000);
    }
    // Returns once the sink plays the tone, so that it is heard from then on.
    bool start(const QString& wavPath);

private:
    QProcess player_;
};

} // namespace testsupport
