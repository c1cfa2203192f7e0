#include "RecordingJournal.h"

#include "platform/posix/FileSync.h"

#include <QDataStream>
#include <QDebug>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

namespace {

constexpr char kMagic[8] = {'T', 'V', 'J', 'O', 'U', 'R', 'N', '1'};
// stream, key, offset, size, pts, dts, duration, check, padding
constexpr int kRecordSize = 4 + 4 + 5 * 8 + 4 + 4;
// A track's name is a device's or a program's: anything longer is not one.
constexpr qsizetype kLongestTitle = 256;

// FNV-1a: enough to tell a record the system never finished writing (zeros or old bytes after a
// power loss) from one it did.
std::uint32_t checksum(const char* data, qsizetype size)
{
    std::uint32_t hash = 2166136261u;
    for (qsizetype i = 0; i < size; ++i) {
        hash ^= std::uint8_t(data[i]);
        hash *= 16777619u;
    }
    return hash;
}

bool checksumMatches(std::uint32_t stored, const char* data, qsizetype size)
{
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // A fuzzer seldom makes a checksum match: without the check every input reaches the decoding.
    (void)stored;
    (void)data;
    (void)size;
    return true;
#else
    return stored == checksum(data, size);
#endif
}

QByteArray encodeHeader(const AVFormatContext& format)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << qint32(format.nb_streams);
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream* stream = format.streams[i];
        const AVCodecParameters* par = stream->codecpar;
        out << qint32(par->codec_type) << qint32(par->codec_id) << qint32(par->format)
            << qint32(par->width) << qint32(par->height) << qint32(par->sample_rate)
            << qint32(par->ch_layout.nb_channels) << qint32(par->frame_size)
            << qint64(par->bit_rate) << qint32(stream->time_base.num)
            << qint32(stream->time_base.den)
            << QByteArray(reinterpret_cast<const char*>(par->extradata), par->extradata_size);
    }
    // After the streams, so that a journal written before titles were kept still reads.
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVDictionaryEntry* title =
            av_dict_get(format.streams[i]->metadata, "title", nullptr, 0);
        out << QByteArray(title ? title->value : "");
    }
    return bytes;
}

bool decodeHeader(const QByteArray& bytes, QList<RecordingJournal::Stream>& streams)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    qint32 count = 0;
    in >> count;
    if (count < 1 || count > 8)
        return false;
    for (qint32 i = 0; i < count; ++i) {
        RecordingJournal::Stream s;
        qint32 num = 0;
        qint32 den = 0;
        qint64 bitRate = 0;
        in >> s.type >> s.codecId >> s.format >> s.width >> s.height >> s.sampleRate >>
            s.channels >> s.frameSize >> bitRate >> num >> den >> s.extradata;
        s.bitRate = bitRate;
        s.timeBase = AVRational{num, den};
        if (den <= 0 || num <= 0)
            return false;
        streams.append(s);
    }
    for (qint32 i = 0; i < count && !in.atEnd(); ++i) {
        QByteArray title;
        in >> title;
        streams[i].title = QString::fromUtf8(title.left(kLongestTitle));
    }
    return in.status() == QDataStream::Ok;
}

} // namespace

bool RecordingJournal::create(const QString& mediaPath, const AVFormatContext& format)
{
    path_ = pathFor(mediaPath);
    error_.clear();
    // A journal left by an earlier file of this name describes bytes that are gone. The new one
    // is created afresh (never written through a name planted there) and locked before it has
    // its header.
    QFile::remove(path_);
    if (descriptor_.createNew(path_, 0600) != platform::SafeFile::Status::Ok) {
        error_ = descriptor_.errorString();
        qDebug().noquote() << "Recording journal not created:" << path_ << error_;
        return false;
    }
    if (!descriptor_.tryLock() ||
        !file_.open(descriptor_.handle(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::DontCloseHandle)) {
        qDebug().noquote() << "Recording journal not created, in use elsewhere:" << path_;
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        descriptor_.close();
        return false;
    }
    const QByteArray header = encodeHeader(format);
    QByteArray bytes(kMagic, sizeof kMagic);
    const auto appendWord = [&bytes](std::uint32_t word) {
        word = qToLittleEndian(word);
        bytes.append(reinterpret_cast<const char*>(&word), sizeof word);
    };
    appendWord(std::uint32_t(header.size()));
    bytes.append(header);
    appendWord(checksum(header.constData(), header.size()));
    if (file_.write(bytes) != bytes.size() || !sync()) {
        qDebug().noquote() << "Recording journal not written:" << path_ << errorString();
        error_ = errorString();
        remove();
        return false;
    }
    pending_.clear();
    return true;
}

void RecordingJournal::add(const AVPacket& packet, std::int64_t offset, std::int64_t size)
{
    if (!file_.isOpen())
        return;
    char record[kRecordSize] = {};
    char* at = record;
    const auto put32 = [&at](std::int32_t value) {
        qToLittleEndian(value, at);
        at += 4;
    };
    const auto put64 = [&at](std::int64_t value) {
        qToLittleEndian(value, at);
        at += 8;
    };
    put32(packet.stream_index);
    put32((packet.flags & AV_PKT_FLAG_KEY) ? 1 : 0);
    put64(offset);
    put64(size);
    put64(packet.pts);
    put64(packet.dts);
    put64(packet.duration);
    put32(std::int32_t(checksum(record, at - record)));
    pending_.append(record, kRecordSize);
}

bool RecordingJournal::commit()
{
    if (!file_.isOpen())
        return true;
    if (!pending_.isEmpty() && file_.write(pending_) != pending_.size())
        return false;
    pending_.clear();
    return sync();
}

bool RecordingJournal::sync()
{
    if (platform::syncFileData(file_))
        return true;
    error_ = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

void RecordingJournal::remove()
{
    // Gone while still locked: no repair can take it for a dead recording's in between.
    if (file_.isOpen() && descriptor_.isNamedBy(path_))
        QFile::remove(path_);
    file_.close();
    descriptor_.close();
    pending_.clear();
}

std::int64_t RecordingJournal::usefulSize(std::int64_t mediaSize)
{
    // Far more than the streams' parameters take.
    constexpr std::int64_t kHeaderRoom = 1 << 20;
    return kHeaderRoom +
           kRecordSize * std::clamp<std::int64_t>(mediaSize, 0, std::int64_t(1) << 50);
}

bool RecordingJournal::parse(const QByteArray& bytes, Contents& contents)
{
    if (bytes.size() < qsizetype(sizeof kMagic) + 8 ||
        std::memcmp(bytes.constData(), kMagic, sizeof kMagic) != 0)
        return false;
    const char* data = bytes.constData();
    const auto headerSize = qsizetype(qFromLittleEndian<std::uint32_t>(data + sizeof kMagic));
    const qsizetype headerStart = sizeof kMagic + 4;
    if (headerSize > bytes.size() - headerStart - 4)
        return false;
    const QByteArray header = bytes.mid(headerStart, headerSize);
    if (!checksumMatches(qFromLittleEndian<std::uint32_t>(data + headerStart + headerSize),
                         header.constData(), header.size()))
        return false;
    contents = {};
    if (!decodeHeader(header, contents.streams))
        return false;

    for (qsizetype at = headerStart + headerSize + 4; at + kRecordSize <= bytes.size();
         at += kRecordSize) {
        const char* record = data + at;
        if (!checksumMatches(qFromLittleEndian<std::uint32_t>(record + kRecordSize - 8), record,
                             kRecordSize - 8))
            break;
        Record r;
        r.stream = qFromLittleEndian<std::int32_t>(record);
        r.key = qFromLittleEndian<std::int32_t>(record + 4);
        r.offset = qFromLittleEndian<std::int64_t>(record + 8);
        r.size = qFromLittleEndian<std::int64_t>(record + 16);
        r.pts = qFromLittleEndian<std::int64_t>(record + 24);
        r.dts = qFromLittleEndian<std::int64_t>(record + 32);
        r.duration = qFromLittleEndian<std::int64_t>(record + 40);
        if (r.stream < 0 || r.stream >= contents.streams.size() || r.offset < 0 || r.size <= 0)
            break;
        contents.records.append(r);
    }
    return true;
}
