// What the sound server offers to record: its input devices and the programs playing now.
#include "PulseConnection.h"
#include "platform/AudioSourceList.h"

#include <algorithm>

#include <unistd.h>

namespace {

// The list is asked for while the user waits on a menu: a hung server must not hold it.
constexpr auto kListTimeout = std::chrono::milliseconds(900);

struct Programs
{
    std::vector<AudioApplication> list;
    std::string ownProcess;
};

void collectProgram(pa_context*, const pa_sink_input_info* info, int eol, void* userdata)
{
    auto* programs = static_cast<Programs*>(userdata);
    if (eol != 0 || !info || programs->list.size() >= pulse::kMaxEntries)
        return;
    const std::string name = pulse::property(info->proplist, PA_PROP_APPLICATION_NAME);
    // Our own streams are not offered as a program to record.
    if (name.empty() || name == "Torvane" ||
        pulse::property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID) == programs->ownProcess)
        return;
    const std::string icon = pulse::property(info->proplist, PA_PROP_APPLICATION_ICON_NAME);
    const auto known =
        std::find_if(programs->list.begin(), programs->list.end(),
                     [&](const AudioApplication& entry) { return entry.name == name; });
    if (known == programs->list.end())
        programs->list.push_back({name, icon});
    else if (known->iconName.empty())
        known->iconName = icon;
}

} // namespace

AudioSourceListing listAudioSources()
{
    AudioSourceListing listing;
    const auto deadline = pulse::Clock::now() + kListTimeout;
    pulse::Connection connection;
    if (!connection.start("Torvane"))
        return listing;
    pulse::MainloopLock lock(connection.loop());
    if (!connection.waitReady(deadline))
        return listing;
    std::vector<pulse::SourceEntry> sources;
    Programs programs{{}, std::to_string(getpid())};
    pa_context* context = connection.context();
    if (!connection.waitFor(
            pa_context_get_source_info_list(context, pulse::collectSource, &sources), deadline) ||
        !connection.waitFor(pa_context_get_sink_input_info_list(context, collectProgram, &programs),
                            deadline))
        return listing;
    listing.reached = true;
    for (const pulse::SourceEntry& source : sources)
        if (!source.monitor)
            listing.microphones.push_back({source.name, source.description});
    listing.applications = std::move(programs.list);
    return listing;
}

namespace {

// How soon a server that went away, or was not there, is looked for again.
constexpr pa_usec_t kWatchRetryUsec = 3 * PA_USEC_PER_SEC;

class PulseSourceWatcher final : public AudioSourceWatcher
{
public:
    explicit PulseSourceWatcher(std::function<void()> changed) : changed_(std::move(changed)) {}

    bool start()
    {
        return connection_.start(kWatchRetryUsec,
                                 {[this](pa_context* context, pa_context_state_t state) {
                                     if (state == PA_CONTEXT_READY)
                                         subscribe(context);
                                     else if (!PA_CONTEXT_IS_GOOD(state))
                                         changed_(); // the server went away
                                 }});
    }

private:
    void subscribe(pa_context* context)
    {
        pa_context_set_subscribe_callback(context, onEvent, this);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                              PA_SUBSCRIPTION_MASK_SINK_INPUT);
        if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(operation);
        changed_();
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self)
    {
        // A device may be renamed, but a program's stream changes its volume and state all the
        // time, which the list does not show.
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SOURCE ||
            kind != PA_SUBSCRIPTION_EVENT_CHANGE)
            static_cast<PulseSourceWatcher*>(self)->changed_();
    }

    std::function<void()> changed_;
    // Declared last: it goes first, so no hook runs into a half-destroyed watcher.
    pulse::KeptConnection connection_;
};

} // namespace

std::unique_ptr<AudioSourceWatcher> AudioSourceWatcher::create(std::function<void()> changed)
{
    auto watcher = std::make_unique<PulseSourceWatcher>(std::move(changed));
    if (!watcher->start())
        return nullptr;
    return watcher;
}
