#include "MuxPacketWriter.h"

#include "mux_thread_win.h"
#include "platform/posix/FileSync.h"

#include <QDebug>
#include <QDir>

#include <cerrno>
#include <cstring>

MuxPacketWriter::MuxPacketWriter(MuxOutput& output, const QString& path, MessageSink sink)
    : output_(output), path_(path), sink_(std::move(sink))
{
}

void MuxPacketWriter::start(bool crashSafe)
{
    crashSafe_ = crashSafe;
    const AVFormatContext* format = output_.formatContext.get();
    if (!format->pb)
        return;
    media_.setFileName(path_);
    if (!crashSafe)
        return;
    if (!media_.open(QIODevice::ReadWrite))
        qDebug().noquote() << "Recording file not opened for syncing:" << media_.errorString();
    reserveAhead();
    // Data written without the index is of no use to a player: only an MP4 needs the journal.
    // The other containers are read from the start, up to wherever they end.
    if (std::strcmp(format->oformat->name, "mp4") == 0 && !journal_.create(path_, *format)) {
        // The recording goes on, but the user must know a crash would leave it unplayable.
        const QString text =
            mux_thread_win::tr("This recording has no crash protection: %1 could not be created "
                               "(%2). If Torvane ends unexpectedly, the file cannot be repaired.")
                .arg(QDir::toNativeSeparators(RecordingJournal::pathFor(path_)),
                     journal_.errorString());
        qWarning().noquote() << text;
        if (sink_)
            sink_(MSG_WARNING, text);
    }
}

void MuxPacketWriter::fail(int error, const char* step)
{
    fail(ffmpeg::errorText(error), step);
}

void MuxPacketWriter::fail(const QString& text, const char* step)
{
    qDebug().noquote() << "Error writing the recording, at the" << step << "step:" << path_ << text;
    if (failed_)
        return;
    failed_ = true;
    if (sink_)
        sink_(MSG_ERROR, mux_thread_win::tr("The recording stopped: %1 could not be written (%2).")
                             .arg(QDir::toNativeSeparators(path_), text));
}

bool MuxPacketWriter::write(AVPacket* packet)
{
    if (failed_) {
        av_packet_unref(packet);
        return false;
    }
    AVFormatContext* format = output_.formatContext.get();
    AVIOContext* pb = format->pb;
    const AVRational timeBase = format->streams[packet->stream_index]->time_base;
    const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    int ret = 0;
    if (journal_.isOpen()) {
        // The MP4 muxer writes each packet's bytes at once (rewriting H.264 start codes into
        // lengths, so the size on disk is measured, not taken from the packet); it needs no
        // interleaving, and the encoders' order keeps sound and picture close together.
        const AVPacket fields = *packet;
        const std::int64_t before = avio_tell(pb);
        ret = av_write_frame(format, packet);
        ++packets_;
        if (ret >= 0)
            journal_.add(fields, before, avio_tell(pb) - before);
        av_packet_unref(packet);
    } else {
        ret = av_interleaved_write_frame(format, packet);
        ++packets_;
    }
    if (ret >= 0 && pb && pb->error < 0)
        ret = pb->error;
    if (ret < 0) {
        fail(ret, "packet");
        return false;
    }
    if (crashSafe_ && time != AV_NOPTS_VALUE) {
        const std::int64_t ms = av_rescale_q(time, timeBase, AVRational{1, 1000});
        if (lastSyncMs_ == AV_NOPTS_VALUE)
            lastSyncMs_ = ms;
        else if (ms - lastSyncMs_ >= kSyncIntervalMs) {
            lastSyncMs_ = ms;
            sync();
        }
    }
    return !failed_;
}

void MuxPacketWriter::sync()
{
    AVIOContext* pb = output_.formatContext->pb;
    if (!pb)
        return;
    avio_flush(pb);
    if (pb->error < 0)
        return fail(pb->error, "flush");
    // The packets' bytes reach the disk before the records that point at them.
    if (media_.isOpen() && !platform::syncFileData(media_))
        return fail(QString::fromLocal8Bit(std::strerror(errno)), "sync");
    if (!journal_.commit())
        return fail(journal_.errorString(), "journal");
    reserveAhead();
}

void MuxPacketWriter::reserveAhead()
{
    if (!reserving_ || !media_.isOpen())
        return;
    // Room for what may come before the next sync (twice the last second's bytes) and for the
    // trailer, whose index takes a few bytes per packet.
    const std::int64_t position = avio_tell(output_.formatContext->pb);
    const std::int64_t room = kReserveBase + 2 * (position - lastSyncPosition_) + 32 * packets_;
    lastSyncPosition_ = position;
    const int error = platform::reserveFileSpace(media_, position, room);
    if (error == 0)
        return;
    if (error == ENOSPC || error == EDQUOT) {
        // The room set aside at the last sync is still there for the trailer: stopping now
        // leaves a whole file.
        reserving_ = false;
        return fail(QString::fromLocal8Bit(std::strerror(error)), "reserve");
    }
    reserving_ = false;
    qDebug().noquote() << "No room set aside for the recording's end, the file system refused:"
                       << std::strerror(error);
}

void MuxPacketWriter::finish()
{
    const bool failedBefore = failed_;
    AVFormatContext* format = output_.formatContext.get();
    int ret = av_write_trailer(format);
    if (ret >= 0 && format->pb) {
        avio_flush(format->pb);
        ret = format->pb->error;
    }
    if (ret < 0) {
        qDebug().noquote() << "Error writing trailer:" << ffmpeg::errorText(ret);
        if (!failedBefore)
            fail(ret, "trailer");
        // The journal stays: the next start rebuilds the file from it.
        platform::releaseReservedSpace(media_);
        return;
    }
    // The index is on the disk before the journal that could replace it goes.
    if (media_.isOpen()) {
        const bool synced = platform::syncFileData(media_);
        const int error = errno;
        platform::releaseReservedSpace(media_);
        if (!synced) {
            // The index may not have reached the disk: the journal stays to rebuild the file from.
            if (!failedBefore)
                fail(QString::fromLocal8Bit(std::strerror(error)), "sync");
            return;
        }
    }
    journal_.remove();
}
