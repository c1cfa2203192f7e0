#include "RecordingRepair.h"

#include "FfmpegHolders.h"
#include "RecordingJournal.h"
#include "platform/posix/FileSync.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>

#include <filesystem>
#include <memory>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace {

// A file that opens with all its streams has its index: the writer died after its trailer.
bool opensComplete(const QString& path, qsizetype streams)
{
    AVFormatContext* raw = nullptr;
    const QByteArray name = path.toUtf8();
    if (avformat_open_input(&raw, name.constData(), nullptr, nullptr) < 0)
        return false;
    ffmpeg::InputFormatContextPtr input(raw);
    return qsizetype(input->nb_streams) == streams;
}

// The MP4 muxer stores H.264 as NAL units with 4-byte lengths; with start codes in the stream's
// parameters it expects them in the packets too, and converts them again.
void lengthsToStartCodes(std::uint8_t* data, int size)
{
    for (int at = 0; at + 4 <= size;) {
        const auto length = AV_RB32(data + at);
        AV_WB32(data + at, 1);
        if (length > std::uint32_t(size - at - 4))
            break;
        at += 4 + int(length);
    }
}

bool startCodeParameters(const RecordingJournal::Stream& stream)
{
    return stream.codecId == AV_CODEC_ID_H264 && !stream.extradata.isEmpty() &&
           stream.extradata.at(0) != 1;
}

bool addStreams(AVFormatContext* format, const QList<RecordingJournal::Stream>& streams)
{
    for (const RecordingJournal::Stream& s : streams) {
        AVStream* stream = avformat_new_stream(format, nullptr);
        if (!stream)
            return false;
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMediaType(s.type);
        par->codec_id = AVCodecID(s.codecId);
        par->format = s.format;
        par->width = s.width;
        par->height = s.height;
        par->sample_rate = s.sampleRate;
        if (s.channels > 0)
            av_channel_layout_default(&par->ch_layout, s.channels);
        par->frame_size = s.frameSize;
        par->bit_rate = s.bitRate;
        if (!s.extradata.isEmpty()) {
            par->extradata = static_cast<std::uint8_t*>(
                av_mallocz(size_t(s.extradata.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!par->extradata)
                return false;
            memcpy(par->extradata, s.extradata.constData(), size_t(s.extradata.size()));
            par->extradata_size = int(s.extradata.size());
        }
        stream->time_base = s.timeBase;
    }
    return true;
}

// Writes the packets the journal places inside the damaged file into a new file at target.
// The number of packets written, or -1.
qsizetype rebuild(QFile& damaged, const RecordingJournal::Contents& journal, const QString& target,
                  const std::atomic<bool>* cancel)
{
    AVFormatContext* raw = nullptr;
    const QByteArray name = target.toUtf8();
    if (avformat_alloc_output_context2(&raw, nullptr, "mp4", name.constData()) < 0)
        return -1;
    ffmpeg::OutputFormatContextPtr output(raw);
    // A recording with FLAC sound was written with the same allowance.
    raw->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (!addStreams(raw, journal.streams) ||
        avio_open(&raw->pb, name.constData(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(raw, nullptr) < 0)
        return -1;

    const std::int64_t available = damaged.size();
    ffmpeg::PacketPtr packet(av_packet_alloc());
    qsizetype written = 0;
    for (const RecordingJournal::Record& record : journal.records) {
        if (cancel && cancel->load())
            return -1;
        // A torn write at the end: the packets past it never reached the disk.
        if (record.size > (1 << 28) || record.offset > available - record.size)
            break;
        if (av_new_packet(packet.get(), int(record.size)) < 0 || !damaged.seek(record.offset) ||
            damaged.read(reinterpret_cast<char*>(packet->data), record.size) != record.size)
            return -1;
        const RecordingJournal::Stream& stream = journal.streams.at(record.stream);
        if (startCodeParameters(stream))
            lengthsToStartCodes(packet->data, packet->size);
        packet->stream_index = record.stream;
        packet->pts = record.pts;
        packet->dts = record.dts;
        packet->duration = record.duration;
        packet->flags = record.key ? AV_PKT_FLAG_KEY : 0;
        av_packet_rescale_ts(packet.get(), stream.timeBase, raw->streams[record.stream]->time_base);
        if (av_interleaved_write_frame(raw, packet.get()) < 0)
            return -1;
        ++written;
    }
    if (av_write_trailer(raw) < 0)
        return -1;
    avio_flush(raw->pb);
    return raw->pb->error < 0 ? -1 : written;
}

} // namespace

RecordingRepair::Outcome RecordingRepair::repairFile(const QString& mediaPath,
                                                     const std::atomic<bool>* cancel)
{
    const QString journalPath = RecordingJournal::pathFor(mediaPath);
    if (!QFileInfo::exists(journalPath))
        return Outcome::NotNeeded;
    RecordingJournal::Contents journal;
    if (!QFileInfo::exists(mediaPath) || !RecordingJournal::read(journalPath, journal)) {
        // Nothing to rebuild from: the journal would only be read again at every start.
        qDebug().noquote() << "Recording journal without a usable file or header removed:"
                           << journalPath;
        QFile::remove(journalPath);
        return Outcome::NotNeeded;
    }
    if (opensComplete(mediaPath, journal.streams.size())) {
        QFile::remove(journalPath);
        return Outcome::NotNeeded;
    }

    QFile damaged(mediaPath);
    if (!damaged.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "Recording not repaired, unreadable:" << mediaPath
                           << damaged.errorString();
        return Outcome::Failed;
    }
    const QString temporary = mediaPath + QStringLiteral(".repairing");
    const qsizetype packets = rebuild(damaged, journal, temporary, cancel);
    damaged.close();
    if (packets <= 0) {
        QFile::remove(temporary);
        qDebug().noquote() << "Recording not repaired:" << mediaPath
                           << (packets == 0 ? "no packet reached the disk" : "rebuilding failed");
        if (packets == 0)
            QFile::remove(journalPath);
        return Outcome::Failed;
    }
    // The replacement is on the disk before it takes the damaged file's name, in one step.
    QFile rebuilt(temporary);
    if (rebuilt.open(QIODevice::ReadOnly))
        platform::syncFileData(rebuilt);
    rebuilt.close();
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(temporary.toStdU16String()),
                            std::filesystem::path(mediaPath.toStdU16String()), error);
    if (error) {
        QFile::remove(temporary);
        qDebug().noquote() << "Recording not repaired, not renamed:" << mediaPath
                           << QString::fromStdString(error.message());
        return Outcome::Failed;
    }
    QFile::remove(journalPath);
    qDebug().noquote() << "Recording repaired from its journal:" << mediaPath << packets << "of"
                       << journal.records.size() << "packets";
    return Outcome::Repaired;
}

QStringList RecordingRepair::unfinished(const QString& folder)
{
    QStringList media;
    const QDir dir(folder);
    const QString suffix = RecordingJournal::pathFor(QString());
    for (const QString& journal :
         dir.entryList({QStringLiteral("*") + suffix}, QDir::Files | QDir::Hidden, QDir::Name))
        media.append(dir.filePath(journal.chopped(suffix.size())));
    return media;
}

QStringList RecordingRepair::repairAll(const QString& folder, const std::atomic<bool>* cancel)
{
    return repairEach(unfinished(folder), cancel);
}

QStringList RecordingRepair::repairEach(const QStringList& media, const std::atomic<bool>* cancel)
{
    QStringList repaired;
    for (const QString& path : media) {
        if (cancel && cancel->load())
            break;
        if (repairFile(path, cancel) == Outcome::Repaired)
            repaired.append(path);
    }
    return repaired;
}

void RecordingRepair::repairAllInBackground(const QString& folder, QObject* receiver,
                                            std::function<void(const QStringList&)> done)
{
    // Listed now, before the caller can start a recording whose live journal would look the same.
    const QStringList media = unfinished(folder);
    if (media.isEmpty())
        return;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    QPointer<QObject> target(receiver);
    QThread* thread = QThread::create([media, cancel, target, done = std::move(done)] {
        const QStringList repaired = repairEach(media, cancel.get());
        if (!repaired.isEmpty() && target)
            QMetaObject::invokeMethod(
                target.data(), [done, repaired] { done(repaired); }, Qt::QueuedConnection);
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    if (QCoreApplication* app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, thread, [thread, cancel] {
            cancel->store(true);
            thread->wait();
        });
    thread->start(QThread::LowPriority);
}
