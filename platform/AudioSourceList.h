#pragma once

#include "platform/AudioSource.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// An input device the sound server offers (monitors of outputs are left out).
struct AudioInputDevice
{
    std::string name;        // stable across restarts, stored in settings, schedules and macros
    std::string description; // what the user is shown

    friend bool operator==(const AudioInputDevice&, const AudioInputDevice&) = default;
};

// A program that is playing sound now.
struct AudioApplication
{
    std::string name;     // "application.name", stable across restarts of the program
    std::string iconName; // "application.icon_name" when the program names one, else empty

    friend bool operator==(const AudioApplication&, const AudioApplication&) = default;
};

struct AudioSourceListing
{
    bool reached = false; // false: no sound server answered (the lists are empty)
    std::vector<AudioInputDevice> microphones;
    std::vector<AudioApplication> applications; // one entry per program, however many streams

    friend bool operator==(const AudioSourceListing&, const AudioSourceListing&) = default;
};

// Asks the sound server what can be recorded. Returns within about a second, also when the
// server hangs or is missing. Called from the GUI thread when a list is refreshed.
AudioSourceListing listAudioSources();

// Says when what listAudioSources() returns may have changed: an input device or a playing
// program came or went, or the server went away or came back (it is looked for again every
// few seconds). So the list is asked for only then, not over and over.
class AudioSourceWatcher
{
public:
    virtual ~AudioSourceWatcher() = default;
    // changed runs on a thread of the sound client's, often several times in a row; it must
    // not call back into the watcher. Null when the sound client cannot start at all.
    static std::unique_ptr<AudioSourceWatcher> create(std::function<void()> changed);
};

// Peak levels of up to two sound sources, measured by the sound server itself a few times a
// second (cheap enough to leave running while idle and during a recording). Thread-safe.
class AudioLevelProbe
{
public:
    virtual ~AudioLevelProbe() = default;
    // Measures these sources from now on, dropping the previous ones. Does not block for long;
    // a source that cannot be opened reads 0.
    virtual void watch(const std::vector<AudioSourceChoice>& sources) = 0;
    // The latest peak of each watched source, 0..1, in the order given to watch(); a source
    // that delivered nothing for a moment reads 0.
    virtual std::vector<float> levels() const = 0;

    static std::unique_ptr<AudioLevelProbe> create();
};
