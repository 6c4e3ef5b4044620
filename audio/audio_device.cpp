#include "audio/audio_device.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "audio/bounded_close.h"

namespace nimbar::audio {

namespace {

// While its sound server answers, a device closes in about 45 ms (measured on PulseAudio and the
// disk driver); one still open after a second waits on a server that has hung, and must not hold
// the viewer's exit, which the host expects within 3 s. (A device opened a moment before on a
// server just started took up to 1.8 s; left closing like a hung one, it costs only the line.)
constexpr auto CLOSE_LIMIT = std::chrono::milliseconds(1000);

}  // namespace

bool AudioDevice::open(int direction, int frequency, int channels, int buffer_frames,
                       const char* device_name) {
    is_playback = direction;
    this->frequency = frequency;
    this->channels = channels;
    this->buffer_frames = buffer_frames;
    this->device_name =
        device_name != nullptr ? std::optional<std::string>(device_name) : std::nullopt;
    return open_as_asked(true);
}

bool AudioDevice::reopen() {
    return open_as_asked(false);
}

bool AudioDevice::open_as_asked(bool report_failure) {
    close();
    // A sound server that was missing when the program started SDL may be there by now.
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        if (report_failure) {
            fprintf(stderr, "[Audio] Failed to open device: %s\n", SDL_GetError());
        }
        return false;
    }
    SDL_AudioSpec wanted;
    SDL_zero(wanted);
    wanted.freq = frequency;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = static_cast<Uint8>(channels);
    wanted.samples = static_cast<Uint16>(buffer_frames);
    SDL_AudioSpec granted;
    SDL_zero(granted);
    device_id = SDL_OpenAudioDevice(device_name ? device_name->c_str() : nullptr,
                                    is_playback == PLAYBACK ? 0 : 1, &wanted, &granted, 0);
    if (device_id == 0) {
        const std::string error = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        if (report_failure) {
            fprintf(stderr, "[Audio] Failed to open device: %s\n", error.c_str());
        }
        return false;
    }
    printf("[Audio] Opened %s device: %d Hz, %d ch, %d samples\n",
           is_playback == PLAYBACK ? "playback" : "capture", granted.freq,
           static_cast<int>(granted.channels), static_cast<int>(granted.samples));
    fflush(stdout);
    SDL_PauseAudioDevice(device_id, 0);
    return true;
}

void AudioDevice::queue(const int16_t* samples, int count) {
    if (device_id == 0 || is_playback != PLAYBACK || count <= 0) {
        return;
    }
    SDL_QueueAudio(device_id, samples, static_cast<Uint32>(count) * 2);
}

uint32_t AudioDevice::queued_bytes() const {
    return device_id == 0 ? 0 : SDL_GetQueuedAudioSize(device_id);
}

void AudioDevice::pause(bool paused) {
    if (device_id != 0) {
        SDL_PauseAudioDevice(device_id, paused ? 1 : 0);
    }
}

void AudioDevice::clear() {
    if (device_id != 0) {
        SDL_ClearQueuedAudio(device_id);
    }
}

bool AudioDevice::disconnected() const {
    return device_id != 0 && SDL_GetAudioDeviceStatus(device_id) == SDL_AUDIO_STOPPED;
}

void AudioDevice::close() {
    if (device_id == 0) {
        return;
    }
    const SDL_AudioDeviceID closing = device_id;
    device_id = 0;
    if (close_device_within(closing, CLOSE_LIMIT)) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    } else {
        fprintf(stderr,
                "[Audio] The sound device did not close within %lld ms; leaving it to the "
                "process exit\n",
                static_cast<long long>(CLOSE_LIMIT.count()));
    }
}

}  // namespace nimbar::audio
