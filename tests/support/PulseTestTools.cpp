#include "PulseTestTools.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cmath>

namespace testsupport {

QByteArray toneSamples(double hz, double seconds, int rate)
{
    const int samples = int(rate * seconds);
    QByteArray data;
    data.reserve(samples * 4);
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    for (int i = 0; i < samples; ++i) {
        const auto value = qint16(std::lround(16000.0 * std::sin(2.0 * M_PI * hz * i / rate)));
        out << value << value;
    }
    return data;
}

bool writeToneWav(const QString& path, double hz, double seconds, int rate)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray samples = toneSamples(hz, seconds, rate);
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + samples.size());
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(2) << quint32(rate) << quint32(rate * 4)
        << quint16(4) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(samples.size());
    out.writeRawData(samples.constData(), int(samples.size()));
    return out.status() == QDataStream::Ok;
}

QString pactl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    // Empty output is still success: keep it apart from the null string of a failure.
    const QString output = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    return output.isNull() ? QStringLiteral("") : output;
}

bool pulseReachable()
{
    return !pactl({QStringLiteral("info")}).isNull();
}

bool defaultSinkIsTestSink()
{
    return pactl({QStringLiteral("get-default-sink")}) == QLatin1String("rec");
}

namespace {

// Lines of "pactl list short <kind>", -1 when the server cannot be asked.
int listedCount(const QString& kind)
{
    const QString list = pactl({QStringLiteral("list"), QStringLiteral("short"), kind});
    return list.isNull() ? -1 : int(list.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size());
}

// Polls for up to ten seconds until done() holds; false at once when it says to give up.
template <typename Done> bool waitUntil(Done done)
{
    for (int i = 0; i < 500; ++i) {
        const int state = done();
        if (state != 0)
            return state > 0;
        QThread::msleep(20);
    }
    return false;
}

} // namespace

int captureStreamCount()
{
    return listedCount(QStringLiteral("source-outputs"));
}

bool waitForCaptureStreams(int count)
{
    return waitUntil([count] {
        const int streams = captureStreamCount();
        return streams < 0 ? -1 : streams >= count ? 1 : 0;
    });
}

TonePlayer::TonePlayer() : player_(std::make_unique<QProcess>()) {}

TonePlayer::~TonePlayer()
{
    if (player_->state() != QProcess::NotRunning) {
        player_->kill();
        player_->waitForFinished(5000);
    }
}

bool TonePlayer::start(const QString& wavPath)
{
    const int before = listedCount(QStringLiteral("sink-inputs"));
    // A player that asks for no latency lets the null sink render two seconds ahead; the monitor
    // hands those out at once, so a capture stream connecting afterwards would miss them.
    player_->start(QStringLiteral("paplay"),
                   {QStringLiteral("--latency-msec=50"), QStringLiteral("-d"),
                    QStringLiteral("rec"), wavPath});
    if (before < 0 || !player_->waitForStarted(5000))
        return false;
    // On a loaded machine the player can take a second or more to reach the server; a recording
    // started before that would hear silence first.
    return waitUntil([&] {
        if (listedCount(QStringLiteral("sink-inputs")) > before)
            return 1;
        return player_->state() == QProcess::NotRunning ? -1 : 0;
    });
}

PipeMicrophone::PipeMicrophone(const QString& directory)
    : fifo_(directory + QStringLiteral("/microphone.fifo"))
{
    // The pipe source makes the FIFO itself and refuses one that already exists.
    QFile::remove(fifo_);
    previousSource_ = pactl({QStringLiteral("get-default-source")});
    const QString index =
        pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
               QStringLiteral("source_name=testmic"), QStringLiteral("file=") + fifo_,
               QStringLiteral("format=s16le"), QStringLiteral("rate=48000"),
               QStringLiteral("channels=2")});
    bool ok = false;
    const int module = index.toInt(&ok);
    if (!ok)
        return;
    moduleIndex_ = module;
    pactl({QStringLiteral("set-default-source"), QStringLiteral("testmic")});
}

PipeMicrophone::~PipeMicrophone()
{
    if (writer_)
        writer_->wait(10000);
    if (moduleIndex_ >= 0) {
        if (!previousSource_.isEmpty())
            pactl({QStringLiteral("set-default-source"), previousSource_});
        pactl({QStringLiteral("unload-module"), QString::number(moduleIndex_)});
    }
    QFile::remove(fifo_);
}

void PipeMicrophone::feed(const QByteArray& samples)
{
    if (writer_)
        writer_->wait();
    const QString path = fifo_;
    writer_.reset(QThread::create([path, samples] {
        QFile pipe(path);
        if (pipe.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            pipe.write(samples);
    }));
    writer_->start();
}

} // namespace testsupport
