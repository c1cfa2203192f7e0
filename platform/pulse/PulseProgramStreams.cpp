#include "PulseProgramStreams.h"

#include "PulseConnection.h"

#include <algorithm>

namespace pulse {

namespace {

// More streams than any program plays at once; a flood of them is not followed further.
constexpr std::size_t kMaxStreams = 32;

} // namespace

ProgramStreams::ProgramStreams(pa_context* context, std::string program, Added added,
                               Removed removed)
    : context_(context), program_(std::move(program)), added_(std::move(added)),
      removed_(std::move(removed))
{
}

ProgramStreams::~ProgramStreams()
{
    for (pa_operation* operation : pending_) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
}

void ProgramStreams::keep(pa_operation* operation)
{
    if (!operation)
        return;
    std::erase_if(pending_, [](pa_operation* done) {
        if (pa_operation_get_state(done) == PA_OPERATION_RUNNING)
            return false;
        pa_operation_unref(done);
        return true;
    });
    pending_.push_back(operation);
}

pa_operation* ProgramStreams::start()
{
    pa_operation* operation = pa_context_get_sink_input_info_list(context_, onSinkInput, this);
    if (operation)
        pa_operation_ref(operation);
    keep(operation);
    return operation;
}

void ProgramStreams::onEvent(pa_subscription_event_type_t type, std::uint32_t index)
{
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT)
        return;
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        waiting_.erase(index);
        drop(index);
        return;
    }
    keep(pa_context_get_sink_input_info(context_, index, onSinkInput, this));
}

void ProgramStreams::forget(std::uint32_t sinkInput)
{
    playing_.erase(sinkInput);
}

void ProgramStreams::onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self)
{
    if (eol == 0 && info)
        static_cast<ProgramStreams*>(self)->seen(*info);
}

void ProgramStreams::seen(const pa_sink_input_info& info)
{
    if (property(info.proplist, PA_PROP_APPLICATION_NAME) != program_) {
        drop(info.index); // renamed, or never the program's
        return;
    }
    const auto playing = playing_.find(info.index);
    if (playing != playing_.end() && playing->second == info.sink)
        return;
    drop(info.index); // moved to another output: heard there from now on
    if (playing_.size() + waiting_.size() >= kMaxStreams || info.sink == PA_INVALID_INDEX)
        return;
    waiting_[info.index] = info.sink;
    keep(pa_context_get_sink_info_by_index(context_, info.sink, onSink, this));
}

void ProgramStreams::onSink(pa_context*, const pa_sink_info* info, int eol, void* self)
{
    auto* streams = static_cast<ProgramStreams*>(self);
    if (eol != 0 || !info || info->monitor_source == PA_INVALID_INDEX)
        return;
    for (auto it = streams->waiting_.begin(); it != streams->waiting_.end();) {
        if (it->second != info->index) {
            ++it;
            continue;
        }
        const std::uint32_t sinkInput = it->first;
        streams->playing_[sinkInput] = info->index;
        it = streams->waiting_.erase(it);
        streams->added_(sinkInput, info->monitor_source);
    }
}

void ProgramStreams::drop(std::uint32_t sinkInput)
{
    if (playing_.erase(sinkInput) > 0)
        removed_(sinkInput);
}

} // namespace pulse
