#include "MuxAudioTracks.h"

#include <QDebug>

MuxAudioTracks::MuxAudioTracks(MuxOutput& output, MuxPacketWriter& writer, const MessageSink& sink)
{
    for (MuxAudioTrack& track : output.audioTracks)
        paths_.push_back(std::make_unique<MuxAudioPath>(track, writer, sink));
}

void MuxAudioTracks::handleItem(const FrameQueueItem& item)
{
    if (has(item.track)) {
        paths_[size_t(item.track)]->handleItem(item);
        return;
    }
    // Sound the file has no track for: mixing it into another would garble both. Without sound
    // every item is left out, as the capture may still deliver some.
    if (paths_.empty() || strayReported_)
        return;
    strayReported_ = true;
    qDebug().noquote() << "Sound left out: the file has no track" << item.track << "of" << count();
}

void MuxAudioTracks::flush()
{
    for (const auto& path : paths_)
        path->flush();
}
