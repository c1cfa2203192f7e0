#include "PulseTestTools.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <cmath>

namespace testsupport {

namespace {

constexpr int kRate = 48000;

// The trimmed output of pactl, or a null string when it fails; empty output is still success.
QString pactl(const QStringList& arguments)
{
    QProcess process;
    process.start("pactl", arguments);
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    const QString output = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    return output.isNull() ? QStringLiteral("") : output;
}

// Lines of "pactl list short <kind>", -1 when the server cannot be asked.
int listedCount(const QString& kind)
{
    const QString list = pactl({"list", "short", kind});
    return list.isNull() ? -1 : int(list.split('\n', Qt::SkipEmptyParts).size());
}

// The "Latency: x usec, configured y usec" line of one sink in "pactl list sinks".
bool sinkPlaysPromptly(const QString& sink)
{
    static const QRegularExpression latency("Latency: (\\d+) usec, configured (\\d+) usec");
    const QString list = pactl({"list", "sinks"});
    const qsizetype at = list.indexOf("Name: " + sink + '\n');
    if (at < 0)
        return false;
    const auto match = latency.match(list, at);
    return match.hasMatch() && match.captured(1).toLongLong() <= match.captured(2).toLongLong();
}

// Polls for up to ten seconds while state() is 0; true when it turns positive.
template <typename State> bool waitUntil(State state)
{
    for (int i = 0; i < 500; ++i) {
        if (const int result = state())
            return result > 0;
        QThread::msleep(20);
    }
    return false;
}

} // namespace

bool writeToneWav(const QString& path, double hz, double seconds)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const int samples = int(kRate * seconds);
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + samples * 4);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(2) << quint32(kRate) << quint32(kRate * 4)
        << quint16(4) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(samples * 4);
    for (int i = 0; i < samples; ++i) {
        const auto value = qint16(std::lround(16000.0 * std::sin(2.0 * M_PI * hz * i / kRate)));
        out << value << value;
    }
    return out.status() == QDataStream::Ok;
}

bool pulseReachable()
{
    return !pactl({"info"}).isNull();
}

bool defaultSinkIsTestSink()
{
    return pactl({"get-default-sink"}) == "rec";
}

double toneLevelDb(const std::vector<float>& samples, int rate, double hz)
{
    // Goertzel over a Hann window, so that a loud neighbour tone does not leak into the bin.
    const size_t n = samples.size();
    if (n == 0 || rate <= 0)
        return -200.0;
    const double omega = 2.0 * M_PI * hz / rate;
    const double coefficient = 2.0 * std::cos(omega);
    double previous = 0.0, beforePrevious = 0.0, windowSum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n));
        windowSum += window;
        const double current = samples[i] * window + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    const double amplitude = 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
    return amplitude > 1e-10 ? 20.0 * std::log10(amplitude) : -200.0;
}

bool TonePlayer::start(const QString& wavPath, const QString& applicationName, const QString& sink)
{
    const int before = listedCount("sink-inputs");
    // The null sink takes on the lowest latency any stream asks for.
    QStringList arguments{"--latency-msec=" + QString::number(latencyMs_), "-d", sink};
    if (!applicationName.isEmpty())
        arguments << "--property=application.name=" + applicationName;
    player_.start("paplay", arguments << wavPath);
    if (before < 0 || !player_.waitForStarted(5000))
        return false;
    // On a loaded machine the player can take a second or more to reach the server. Then the
    // sink first plays out the silence it rendered ahead (up to two seconds) while nothing
    // asked it for less: the tone sounds once no more than the configured latency is ahead.
    return waitUntil([&] {
        if (player_.state() == QProcess::NotRunning)
            return -1;
        return listedCount("sink-inputs") > before && sinkPlaysPromptly(sink) ? 1 : 0;
    });
}

TestMicrophone::TestMicrophone(const QString& name, const QString& description)
    : name_(name), description_(description)
{
}

TestMicrophone::~TestMicrophone()
{
    player_.reset();
    // The remapped source goes before the sink it listens to.
    for (auto module = modules_.crbegin(); module != modules_.crend(); ++module)
        pactl({"unload-module", *module});
}

bool TestMicrophone::start(const QString& wavPath, int latencyMs)
{
    const QString sink = name_ + "_sink";
    const QString module = pactl({"load-module", "module-null-sink", "sink_name=" + sink});
    if (module.isEmpty())
        return false;
    modules_ << module;
    const QString remap =
        pactl({"load-module", "module-remap-source", "master=" + sink + ".monitor",
               "source_name=" + name_,
               "source_properties='device.description=\"" + description_ + "\"'"});
    if (remap.isEmpty())
        return false;
    modules_ << remap;
    return player_.emplace(latencyMs).start(wavPath, "Torvane test microphone", sink);
}

} // namespace testsupport
