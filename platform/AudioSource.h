#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What an audio device delivers, as the capture thread needs to know it for conversion.
struct AudioInputFormat
{
    int rate = 0;
    int channels = 0;
    int bits = 0;         // per sample
    bool isFloat = false; // IEEE float samples
    bool isPcm = false;   // signed integer samples
};

// One block of interleaved samples read from the device.
struct AudioPacket
{
    std::vector<std::uint8_t> data; // frames x channels x bits/8 bytes, unless silent
    int frames = 0;                 // 0: nothing was waiting
    bool silent = false;            // the device reported a gap: treat as frames of silence
};

// Which sound a source records.
struct AudioSourceChoice
{
    enum class Kind {
        SystemSound, // what the default output plays
        Microphone,  // an input device
        Application, // the playback streams of one program
    };
    Kind kind = Kind::SystemSound;
    // Microphone: the sound server's device name, or a device description written by an older
    // version; empty for the default input. Application: the program's name as the sound server
    // knows it ("application.name").
    std::string name;

    friend bool operator==(const AudioSourceChoice&, const AudioSourceChoice&) = default;
};

// The recording side of the system's sound server: what the default output plays ("System
// Audio"), an input device (microphone) or one program's playback. Used by one thread at a time.
class AudioSource
{
public:
    // The opening step that failed, so the caller can report it in its own words.
    enum class OpenError {
        None,
        Runtime,       // the client runtime could not start
        NoServer,      // no sound server reachable (within a short timeout)
        NoDevice,      // no default device, or it could not be described
        StreamCreate,  // the recording stream could not be created
        StreamConnect, // the stream was refused by the server
        StreamStart,   // the stream never became ready
    };

    virtual ~AudioSource() = default;

    // Opens the chosen source. The sound server's sources deliver 48000 Hz float stereo, so that
    // two of them can be mixed sample by sample. Never blocks for more than a few seconds. On
    // failure returns the failing step.
    virtual OpenError open(const AudioSourceChoice& choice) = 0;
    // Valid after a successful open.
    virtual AudioInputFormat format() const = 0;
    // Frames waiting to be read, 0 when none; -1 when the stream failed.
    virtual int packetSize() = 0;
    // Takes everything waiting without blocking. False when the stream failed.
    virtual bool read(AudioPacket& packet) = 0;
    // Stops recording and releases the connection; also done by the destructor.
    virtual void stop() = 0;
    // The sound server's own words for the last failure, empty when it gave none.
    virtual std::string errorText() const { return {}; }
    // True when the source hands out every moment once it has started, quiet ones as zeros:
    // then a pause in delivery means the reader is late and the sound is still coming, not
    // that the device fell silent.
    virtual bool deliversContinuously() const { return false; }

    // The platform's implementation.
    static std::unique_ptr<AudioSource> create();
};
