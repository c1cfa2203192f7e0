// Feeds arbitrary bytes to the reader of the crash journal kept beside an MP4 while it records:
// every record it returns must name one of the streams it read and a place inside a file.
#include "encode/RecordingJournal.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    RecordingJournal::Contents contents;
    if (!RecordingJournal::parse(
            QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)),
            contents))
        return 0;
    for (const RecordingJournal::Record& record : contents.records) {
        if (record.stream < 0 || record.stream >= contents.streams.size() || record.offset < 0 ||
            record.size <= 0)
            std::abort();
    }
    return 0;
}
