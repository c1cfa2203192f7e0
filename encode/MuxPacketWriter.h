#pragma once

#include "MuxEncoderSetup.h"
#include "RecordingJournal.h"

#include <QFile>

#include <cstdint>

// Writes the encoded packets of one recording into its container and keeps what is written safe
// against a crash or a power loss: about every second of media the written data is put on the
// disk, and an MP4 (whose index comes only with the trailer) also gets a journal beside it
// naming where each packet lies, for the next start to rebuild the file from.
//
// Room for the rest of the file is set aside at each sync, ahead of the writes. When none is left
// the recording ends there, and the trailer still fits: a full disk leaves a file that plays.
//
// The first failed write ends the recording: it is reported once, and every later write is
// refused, so the user sees one box with the cause rather than one per packet.
class MuxPacketWriter
{
public:
    using MessageSink = MuxEncoderSetup::MessageSink;
    // Media time between two syncs to the disk: the most a crash may cost.
    static constexpr std::int64_t kSyncIntervalMs = 1000;
    // Room set aside beyond what the next sync needs: a short recording's whole trailer.
    static constexpr std::int64_t kReserveBase = 1 << 20;

    MuxPacketWriter(MuxOutput& output, const QString& path, MessageSink sink);

    // After the header. Without crashSafe the file is written as it comes, with no journal and no
    // syncs: the cost the benchmark compares against.
    void start(bool crashSafe = true);

    // Writes one packet whose timestamps are in its stream's time base; unreferences it.
    // False once writing has failed.
    bool write(AVPacket* packet);
    bool failed() const { return failed_; }

    // Writes the trailer; a complete file no longer needs its journal. After an earlier failure
    // the trailer is still tried, but its failure is only logged.
    void finish();

private:
    void sync();
    void reserveAhead();
    void fail(int error, const char* step);
    void fail(const QString& text, const char* step);

    MuxOutput& output_;
    QString path_;
    MessageSink sink_;
    RecordingJournal journal_;
    // A second handle on the file, to put FFmpeg's writes on the disk.
    QFile media_;
    std::int64_t lastSyncMs_ = AV_NOPTS_VALUE;
    std::int64_t lastSyncPosition_ = 0;
    std::int64_t packets_ = 0;
    bool reserving_ = true;
    bool failed_ = false;
    bool crashSafe_ = true;
};
