#pragma once

#include "MuxAudioPath.h"

#include <memory>
#include <vector>

// The sound of the mux loop: one MuxAudioPath per track of the file, each item handed to the
// path of its track. Used by the mux thread only.
class MuxAudioTracks
{
public:
    using MessageSink = MuxEncoderSetup::MessageSink;

    MuxAudioTracks(MuxOutput& output, MuxPacketWriter& writer, const MessageSink& sink);

    int count() const { return int(paths_.size()); }
    // Whether the file has the track; items of others are left out.
    bool has(std::int32_t track) const { return track >= 0 && track < count(); }

    void handleItem(const FrameQueueItem& item);
    // After the last item: every track's remainder.
    void flush();

private:
    std::vector<std::unique_ptr<MuxAudioPath>> paths_;
    bool strayReported_ = false;
};
