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

int sinkInputCount()
{
    const QString list =
        pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs")});
    return list.isNull() ? -1 : int(list.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size());
}

} // namespace

int captureStreamCount()
{
    const QString list =
        pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")});
    return list.isNull() ? -1 : int(list.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size());
}

bool waitForCaptureStreams(int count)
{
    for (int i = 0; i < 500; ++i) {
        const int streams = captureStreamCount();
        if (streams < 0)
            return false;
        if (streams >= count)
            return true;
        QThread::msleep(20);
    }
    return false;
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
    const int before = sinkInputCount();
    if (before < 0)
        return false;
    // A player that asks for no latency lets the null sink render two seconds ahead; the monitor
    // hands those out at once, so a capture stream connecting afterwards would miss them.
    player_->start(QStringLiteral("paplay"),
                   {QStringLiteral("--latency-msec=50"), QStringLiteral("-d"),
                    QStringLiteral("rec"), wavPath});
    if (!player_->waitForStarted(5000))
        return false;
    // On a loaded machine the player can take a second or more to reach the server; a recording
    // started before that would hear silence first.
    for (int i = 0; i < 500; ++i) {
        if (sinkInputCount() > before)
            return true;
        if (player_->state() == QProcess::NotRunning)
            return false;
        QThread::msleep(20);
    }
    return false;
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
    if (writer_) {
        writer_->wait(10000);
    }
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
