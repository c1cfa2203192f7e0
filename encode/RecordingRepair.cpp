#include "RecordingRepair.h"

#include "FfmpegHolders.h"
#include "RecordingJournal.h"
#include "platform/posix/DiskSpace.h"
#include "platform/posix/FileSync.h"
#include "platform/posix/SafeFile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace {

using platform::SafeFile;

constexpr std::int64_t kLargestPacket = 1 << 28;
// What the new file holds beyond the packets' bytes: its header, the streams' parameters and
// a few index entries per packet.
constexpr std::int64_t kIndexBase = 64 * 1024;
constexpr std::int64_t kIndexPerPacket = 64;

// An open file for FFmpeg: the repair hands it descriptors it opened itself, never a path FFmpeg
// would open on its own. Writes past limit fail.
struct FileIo
{
    QFile& file;
    std::int64_t limit = std::numeric_limits<std::int64_t>::max();
};

int readFile(void* opaque, std::uint8_t* buffer, int size)
{
    const qint64 read =
        static_cast<FileIo*>(opaque)->file.read(reinterpret_cast<char*>(buffer), size);
    return read > 0 ? int(read) : read == 0 ? AVERROR_EOF : AVERROR(EIO);
}

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int writeFile(void* opaque, const std::uint8_t* buffer, int size)
#else
int writeFile(void* opaque, std::uint8_t* buffer, int size)
#endif
{
    auto* io = static_cast<FileIo*>(opaque);
    if (size < 0 || io->file.pos() > io->limit - size)
        return AVERROR(EFBIG);
    return io->file.write(reinterpret_cast<const char*>(buffer), size) == size ? size
                                                                               : AVERROR(EIO);
}

std::int64_t seekFile(void* opaque, std::int64_t offset, int whence)
{
    QFile& file = static_cast<FileIo*>(opaque)->file;
    if (whence == AVSEEK_SIZE)
        return file.size();
    std::int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = file.pos();
        break;
    case SEEK_END:
        base = file.size();
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (offset > std::numeric_limits<std::int64_t>::max() - base || base + offset < 0)
        return AVERROR(EINVAL);
    return file.seek(base + offset) ? base + offset : AVERROR(EIO);
}

struct IoDeleter
{
    // FFmpeg may have replaced the buffer it was given.
    void operator()(AVIOContext* io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
using IoPtr = std::unique_ptr<AVIOContext, IoDeleter>;

IoPtr openIo(FileIo& io, bool write)
{
    constexpr int kBufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer)
        return {};
    AVIOContext* context =
        avio_alloc_context(buffer, kBufferSize, write ? 1 : 0, &io, write ? nullptr : readFile,
                           write ? writeFile : nullptr, seekFile);
    if (!context)
        av_free(buffer);
    return IoPtr(context);
}

// Frees an output context whose pb belongs to an IoPtr.
struct CustomOutputDeleter
{
    void operator()(AVFormatContext* context) const
    {
        context->pb = nullptr;
        avformat_free_context(context);
    }
};

// A file that opens with all its streams has its index: the writer died after its trailer.
// Only the MP4 reader sees it: a file of another kind is not handed to whichever would take it.
bool opensComplete(QFile& media, qsizetype streams)
{
    FileIo io{media};
    IoPtr pb = openIo(io, false);
    AVFormatContext* raw = avformat_alloc_context();
    if (!pb || !raw) {
        avformat_free_context(raw);
        return false;
    }
    raw->pb = pb.get();
    if (avformat_open_input(&raw, nullptr, av_find_input_format("mp4"), nullptr) < 0)
        return false;
    ffmpeg::InputFormatContextPtr input(raw);
    return qsizetype(input->nb_streams) == streams;
}

// The records whose bytes lie inside the damaged file, each after the one before. A recording's
// packets follow one another in its file, so a record that goes back ends what can be trusted,
// as a torn one does: the copy never holds more than the damaged file.
QList<RecordingJournal::Record> usableRecords(const RecordingJournal::Contents& journal,
                                              std::int64_t available)
{
    QList<RecordingJournal::Record> records;
    std::int64_t end = 0;
    for (const RecordingJournal::Record& record : journal.records) {
        if (record.size > kLargestPacket || record.offset < end ||
            record.offset > available - record.size)
            break;
        end = record.offset + record.size;
        records.append(record);
    }
    return records;
}

std::int64_t outputLimit(const RecordingJournal::Contents& journal,
                         const QList<RecordingJournal::Record>& records)
{
    std::int64_t limit = kIndexBase + kIndexPerPacket * records.size();
    for (const RecordingJournal::Record& record : records)
        limit += record.size;
    for (const RecordingJournal::Stream& stream : journal.streams)
        limit += stream.extradata.size();
    return limit;
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
        if (!s.title.isEmpty()) {
            const QByteArray title = s.title.toUtf8();
            av_dict_set(&stream->metadata, "title", title.constData(), 0);
            av_dict_set(&stream->metadata, "handler_name", title.constData(), 0);
        }
    }
    return true;
}

// Writes records, from the damaged file, into target as a new file of the journal's streams.
// The number of packets written, or -1.
qsizetype rebuild(QFile& damaged, const RecordingJournal::Contents& journal,
                  const QList<RecordingJournal::Record>& records, QFile& target, std::int64_t limit,
                  const std::atomic<bool>* cancel)
{
    FileIo io{target, limit};
    IoPtr pb = openIo(io, true);
    AVFormatContext* raw = nullptr;
    if (!pb || avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr) < 0)
        return -1;
    std::unique_ptr<AVFormatContext, CustomOutputDeleter> output(raw);
    raw->pb = pb.get();
    // A recording with FLAC sound was written with the same allowance.
    raw->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (!addStreams(raw, journal.streams) || avformat_write_header(raw, nullptr) < 0)
        return -1;

    ffmpeg::PacketPtr packet(av_packet_alloc());
    qsizetype written = 0;
    for (const RecordingJournal::Record& record : records) {
        if (cancel && cancel->load())
            return -1;
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
        if (av_interleaved_write_frame(raw, packet.get()) < 0 || raw->pb->error < 0)
            return -1;
        ++written;
    }
    if (av_write_trailer(raw) < 0)
        return -1;
    avio_flush(raw->pb);
    return raw->pb->error < 0 ? -1 : written;
}

// The repair will not be tried again: the journal stays, under a name no start looks for.
RecordingRepair::Outcome giveUp(const QString& mediaPath, const QString& journalPath,
                                const QString& why)
{
    const QString kept = RecordingRepair::failedPathFor(journalPath);
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(journalPath.toStdU16String()),
                            std::filesystem::path(kept.toStdU16String()), error);
    qWarning().noquote() << "Recording could not be repaired:" << mediaPath << why
                         << (error ? QStringLiteral("(its journal could not be set aside)")
                                   : QStringLiteral("(its journal is kept as %1)").arg(kept));
    return RecordingRepair::Outcome::Failed;
}

RecordingRepair::Outcome skipNow(const QString& mediaPath, const QString& why)
{
    qDebug().noquote() << "Recording not repaired now:" << mediaPath << why;
    return RecordingRepair::Outcome::Skipped;
}

// Rebuilds the damaged file from the packets its journal names into a temporary file, which then
// takes the damaged file's name.
RecordingRepair::Outcome replaceWithRebuilt(const QString& mediaPath, const SafeFile& mediaFile,
                                            QFile& damaged,
                                            const RecordingJournal::Contents& journal,
                                            const std::atomic<bool>* cancel)
{
    const QString journalPath = RecordingJournal::pathFor(mediaPath);
    const QList<RecordingJournal::Record> records = usableRecords(journal, mediaFile.size());
    if (records.isEmpty()) {
        qWarning().noquote() << "Recording could not be repaired:" << mediaPath
                             << "no packet reached the disk";
        QFile::remove(journalPath);
        return RecordingRepair::Outcome::Failed;
    }
    const std::int64_t limit = outputLimit(journal, records);
    const std::optional<std::int64_t> room =
        platform::freeDiskBytes(QFileInfo(mediaPath).absolutePath());
    if (room && *room < limit)
        return skipNow(mediaPath, QStringLiteral("%1 bytes free, %2 needed").arg(*room).arg(limit));

    const QString temporary = mediaPath + QStringLiteral(".repairing");
    // Left by a repair cut short, or put there by someone else: only the name goes, never what
    // a link there points at.
    QFile::remove(temporary);
    SafeFile outputFile;
    QFile rebuilt;
    if (outputFile.createNew(temporary, mediaFile.mode()) != SafeFile::Status::Ok ||
        !rebuilt.open(outputFile.handle(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                      QFileDevice::DontCloseHandle))
        return giveUp(mediaPath, journalPath,
                      temporary + QStringLiteral(" not created: ") + outputFile.errorString());
    const qsizetype packets = rebuild(damaged, journal, records, rebuilt, limit, cancel);
    // The replacement is on the disk before it takes the damaged file's name.
    const bool complete = packets > 0 && platform::syncFileData(rebuilt);
    if (!complete || !mediaFile.isNamedBy(mediaPath)) {
        if (outputFile.isNamedBy(temporary))
            QFile::remove(temporary);
        if (cancel && cancel->load())
            return RecordingRepair::Outcome::Skipped;
        return complete ? skipNow(mediaPath, QStringLiteral("the file was replaced meanwhile"))
                        : giveUp(mediaPath, journalPath, QStringLiteral("rebuilding failed"));
    }
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(temporary.toStdU16String()),
                            std::filesystem::path(mediaPath.toStdU16String()), error);
    if (error) {
        QFile::remove(temporary);
        return giveUp(mediaPath, journalPath,
                      QStringLiteral("not renamed: ") + QString::fromStdString(error.message()));
    }
    QFile::remove(journalPath);
    qDebug().noquote() << "Recording repaired from its journal:" << mediaPath << packets << "of"
                       << journal.records.size() << "packets";
    return RecordingRepair::Outcome::Repaired;
}

} // namespace

RecordingRepair::Outcome RecordingRepair::repairFile(const QString& mediaPath,
                                                     const std::atomic<bool>* cancel)
{
    const QString journalPath = RecordingJournal::pathFor(mediaPath);
    const auto skip = [&mediaPath](const QString& why) { return skipNow(mediaPath, why); };
    SafeFile journalFile;
    const SafeFile::Status journalStatus = journalFile.openExisting(journalPath);
    if (journalStatus == SafeFile::Status::Missing)
        return Outcome::NotNeeded;
    if (journalStatus != SafeFile::Status::Ok)
        return skip(QStringLiteral("its journal is ") + journalFile.errorString());
    // The recording writing a journal holds its lock, whichever Torvane (or user) it runs in.
    if (!journalFile.tryLock())
        return skip(QStringLiteral("its journal is in use"));
    // Finished and removed while this waited for it.
    if (!journalFile.isNamedBy(journalPath))
        return Outcome::NotNeeded;

    SafeFile mediaFile;
    const SafeFile::Status mediaStatus = mediaFile.openExisting(mediaPath);
    if (mediaStatus == SafeFile::Status::Refused || mediaStatus == SafeFile::Status::Failed)
        return skip(QStringLiteral("the file is ") + mediaFile.errorString());
    QFile journalReader;
    RecordingJournal::Contents journal;
    if (mediaStatus == SafeFile::Status::Missing ||
        !journalReader.open(journalFile.handle(), QIODevice::ReadOnly,
                            QFileDevice::DontCloseHandle) ||
        !RecordingJournal::parse(
            journalReader.read(
                std::min(journalFile.size(), RecordingJournal::usefulSize(mediaFile.size()))),
            journal)) {
        // Nothing to rebuild from: the journal would only be read again at every start.
        qDebug().noquote() << "Recording journal without a usable file or header removed:"
                           << journalPath;
        QFile::remove(journalPath);
        return Outcome::NotNeeded;
    }
    QFile damaged;
    if (!damaged.open(mediaFile.handle(), QIODevice::ReadOnly | QIODevice::Unbuffered,
                      QFileDevice::DontCloseHandle))
        return skip(damaged.errorString());
    if (opensComplete(damaged, journal.streams.size())) {
        QFile::remove(journalPath);
        return Outcome::NotNeeded;
    }

    return replaceWithRebuilt(mediaPath, mediaFile, damaged, journal, cancel);
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
    return repairEach(unfinished(folder), cancel).repaired;
}

RecordingRepair::Report RecordingRepair::repairEach(const QStringList& media,
                                                    const std::atomic<bool>* cancel)
{
    Report report;
    for (const QString& path : media) {
        if (cancel && cancel->load())
            break;
        const Outcome outcome = repairFile(path, cancel);
        if (outcome == Outcome::Repaired)
            report.repaired.append(path);
        else if (outcome == Outcome::Failed)
            report.failed.append(path);
    }
    return report;
}

void RecordingRepair::repairAllInBackground(const QString& folder, QObject* receiver,
                                            std::function<void(const Report&)> done)
{
    // Listed now, before the caller can start a recording whose live journal would look the same.
    const QStringList media = unfinished(folder);
    if (media.isEmpty())
        return;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    QPointer<QObject> target(receiver);
    QThread* thread = QThread::create([media, cancel, target, done = std::move(done)] {
        const Report report = repairEach(media, cancel.get());
        if ((!report.repaired.isEmpty() || !report.failed.isEmpty()) && target)
            QMetaObject::invokeMethod(
                target.data(), [done, report] { done(report); }, Qt::QueuedConnection);
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    if (QCoreApplication* app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, thread, [thread, cancel] {
            cancel->store(true);
            thread->wait();
        });
    thread->start(QThread::LowPriority);
}
