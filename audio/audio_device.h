#pragma once

// Owns one SDL audio device in queue mode: opened and started at once, fed 16-bit samples with
// queue(), held and let go with pause(), closed by close() or the destructor. An open device holds
// SDL's audio subsystem, starting it when it is not running. Lines are tagged "[Audio]".

#include <SDL.h>

#include <cstdint>
#include <optional>
#include <string>

namespace nimbar::audio {

inline constexpr int PLAYBACK = 1;
inline constexpr int CAPTURE = 0;

class AudioDevice {
  public:
    AudioDevice() = default;
    ~AudioDevice() { close(); }
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    // Opens `device_name` (null: the system default) for PLAYBACK or CAPTURE with signed 16-bit
    // samples, exactly as requested (SDL converts internally), and starts it; starts SDL's audio
    // first when it is not running. Closes any device already open first. False after
    // "[Audio] Failed to open device: ..." on stderr.
    bool open(int direction, int frequency, int channels, int buffer_frames,
              const char* device_name);
    // Opens again what the last open asked for, closing any device open now, as after the device
    // was lost. False, without a line, when that still fails; the "[Audio] Opened ..." line when
    // it works.
    bool reopen();

    // Queues `count` 16-bit values (not bytes, not sample frames) for playback. Ignored on a closed
    // or capture device.
    void queue(const int16_t* samples, int count);

    // Bytes queued and not yet handed to the device; 0 when closed. Callable from any thread
    // while the device stays open.
    uint32_t queued_bytes() const;

    // Holds playback (the device plays silence and leaves the queue alone) or lets it go on.
    // Ignored on a closed device.
    void pause(bool paused);
    // Drops whatever waits in the queue. Ignored on a closed device.
    void clear();

    // Closes the device, waiting for it one second at most: a device whose sound server has hung
    // is left closing on a thread of its own (see bounded_close.h), with a line on stderr, and
    // keeps its hold on SDL's audio. Harmless when closed.
    void close();
    bool is_open() const { return device_id != 0; }
    // SDL's id of the open device, as SDL_AUDIODEVICEREMOVED names it; 0 when closed.
    SDL_AudioDeviceID id() const { return device_id; }
    // True when the device is open but SDL has given it up (unplugged, its sound server gone):
    // it plays nothing any more.
    bool disconnected() const;

  private:
    bool open_as_asked(bool report_failure);

    SDL_AudioDeviceID device_id = 0;
    int is_playback = PLAYBACK;
    // What the last open asked for.
    int frequency = 0;
    int channels = 0;
    int buffer_frames = 0;
    std::optional<std::string> device_name;  // none: the system default
};

}  // namespace nimbar::audio
