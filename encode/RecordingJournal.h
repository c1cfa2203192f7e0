#pragma once

#include "platform/posix/SafeFile.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdint>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/rational.h>
}

struct AVFormatContext;
struct AVPacket;

// A file beside an MP4 being written that holds what its index would: the streams' parameters,
// then one fixed-size record per packet naming where its bytes lie in the file. An MP4 gets its
// index only at a clean stop; when the process dies before, this is what rebuilds it.
//
// Records are kept in memory and written by commit(), which the writer calls only after the
// packets' own bytes reached the disk, so every record on disk points at data that is there.
// The writer holds the journal's lock for as long as it writes it: a repair skips a locked journal.
class RecordingJournal
{
public:
    struct Stream
    {
        int type = AVMEDIA_TYPE_UNKNOWN;
        int codecId = AV_CODEC_ID_NONE;
        int format = -1;
        int width = 0;
        int height = 0;
        int sampleRate = 0;
        int channels = 0;
        int frameSize = 0;
        std::int64_t bitRate = 0;
        AVRational timeBase{0, 1};
        QByteArray extradata;
        QString title; // the name players list the stream by; empty for none
    };
    struct Record
    {
        std::int32_t stream = 0;
        std::int32_t key = 0;
        std::int64_t offset = 0;
        std::int64_t size = 0;
        std::int64_t pts = 0;
        std::int64_t dts = 0;
        std::int64_t duration = 0;
    };
    struct Contents
    {
        QList<Stream> streams;
        QList<Record> records;
    };

    static QString pathFor(const QString& mediaPath)
    {
        return mediaPath + QStringLiteral(".journal");
    }

    // Creates the journal of mediaPath with the streams of format (after its header), locked,
    // and puts it on the disk. False: the reason is logged and there is no journal.
    bool create(const QString& mediaPath, const AVFormatContext& format);
    bool isOpen() const { return file_.isOpen(); }

    // The packet as handed to the muxer, whose bytes took size bytes at offset.
    void add(const AVPacket& packet, std::int64_t offset, std::int64_t size);
    // Writes the pending records and puts them on the disk. False: the journal failed, and
    // errorString() says why.
    bool commit();
    QString errorString() const { return error_.isEmpty() ? file_.errorString() : error_; }
    // After a complete file: the journal is no longer needed.
    void remove();

    // Reads a journal; a torn or damaged last record and everything after it are left out.
    // False: the header itself is unreadable.
    static bool parse(const QByteArray& bytes, Contents& contents);
    // The most of a journal that can matter for a file of mediaSize bytes, as each usable record
    // names bytes of the file no other one does; reading more would only take memory.
    static std::int64_t usefulSize(std::int64_t mediaSize);

private:
    // False: error_ says why.
    bool sync();

    QString path_;
    platform::SafeFile descriptor_; // outlives file_, which only borrows its handle
    QFile file_;
    QByteArray pending_;
    QString error_; // why the journal failed, where the file does not know
};
