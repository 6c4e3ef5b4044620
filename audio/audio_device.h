#pragma once

// Owns one SDL audio device in queue mode: opened and started at once, fed 16-bit samples with
// queue(), held and let go with pause(), closed by close() or the destructor. Lines are tagged
// "[Audio]".

#include <SDL.h>

#include <cstdint>

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
    // samples, exactly as requested (SDL converts internally), and starts it. Closes any device
    // already open first. False after "[Audio] Failed to open device: ..." on stderr.
    bool open(int direction, int frequency, int channels, int buffer_frames,
              const char* device_name);

    // Queues `count` 16-bit values (not bytes, not sample frames) for playback. Ignored on a closed
    // or capture device.
    void queue(const int16_t* samples, int count);

    // Bytes queued and not yet handed to the device; 0 when closed. Callable from any thread
    // while the device stays open.
    uint32_t queued_bytes() const;

    // Holds playback (the device plays silence and leaves the queue alone) or lets it go on.
    // Ignored on a closed device.
    void pause(bool paused);

    void close();
    bool is_open() const { return device_id != 0; }

  private:
    SDL_AudioDeviceID device_id = 0;
    int is_playback = PLAYBACK;
};

}  // namespace nimbar::audio
