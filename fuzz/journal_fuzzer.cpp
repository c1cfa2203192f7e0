// Feeds arbitrary bytes to the reader of the crash journal kept beside an MP4 while it records:
// every record it returns must name one of the streams it read and a place inside a file.
#include "encode/RecordingJournal.h"

#include <QTemporaryFile>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One file for the whole run: the reader takes a path, as the start-up's repair does.
    static QTemporaryFile* file = [] {
        auto* created = new QTemporaryFile;
        return created->open() ? created : nullptr;
    }();
    if (!file || !file->resize(0) || !file->seek(0) ||
        file->write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size) ||
        !file->flush())
        std::abort();
    RecordingJournal::Contents contents;
    if (!RecordingJournal::read(file->fileName(), contents))
        return 0;
    for (const RecordingJournal::Record& record : contents.records) {
        if (record.stream < 0 || record.stream >= contents.streams.size() || record.offset < 0 ||
            record.size <= 0)
            std::abort();
    }
    return 0;
}
