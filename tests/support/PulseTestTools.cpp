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

bool TonePlayer::start(const QString& wavPath)
{
    const int before = listedCount("sink-inputs");
    // 100 ms like a desktop player, with room for a busy machine; the null sink takes on the
    // lowest latency any stream asks for.
    player_.start("paplay", {"--latency-msec=100", "-d", "rec", wavPath});
    if (before < 0 || !player_.waitForStarted(5000))
        return false;
    // On a loaded machine the player can take a second or more to reach the server. Then the
    // sink first plays out the silence it rendered ahead (up to two seconds) while nothing
    // asked it for less: the tone sounds once no more than the configured latency is ahead.
    return waitUntil([&] {
        if (player_.state() == QProcess::NotRunning)
            return -1;
        if (listedCount("sink-inputs") <= before)
            return 0;
        static const QRegularExpression latency("Latency: (\\d+) usec, configured (\\d+) usec");
        const auto match = latency.match(pactl({"list", "sinks"}));
        return match.hasMatch() && match.captured(1).toLongLong() <= match.captured(2).toLongLong()
                   ? 1
                   : 0;
    });
}

} // namespace testsupport
