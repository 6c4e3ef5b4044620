#pragma once

// The substitute host's command line.

#include <cstdint>
#include <string>

#include "host/impairments.h"

namespace nimbar::host {

// What the host streams: raw BGRA frames for the preview, or for the viewer compressed video, with
// or without audio, or audio alone (None).
enum class HostCodec { Raw, VP8, H264, None };

struct HostOptions {
    uint16_t port = 0;  // the child's port on 127.0.0.1; required
    int width = 1280;
    int height = 720;
    double fps = 30.0;
    double seconds = 5.0;
    int64_t frames = -1;  // when given, overrides seconds
    std::string input;    // raw BGRA frames of width x height; the test pattern when empty
    // The test pattern's band, but for the block and a margin around it, is noise new in every
    // frame: a stream as heavy to decode as a busy screen whose pictures can still be told apart.
    bool pattern_noise = false;
    bool spread = false;  // spread each frame's datagrams over its frame interval, not one burst
    ImpairmentSettings impairments;
    // Still spells, as from a host whose screen stopped changing: after every pause_active_seconds
    // of frames, no video for pause_still_seconds, in turn (both 0: none). Audio goes on.
    double pause_active_seconds = 0.0;
    double pause_still_seconds = 0.0;

    // Compressed video only.
    HostCodec codec = HostCodec::Raw;
    int bitrate_kbps = 4000;
    int keyframe_interval = 300;  // frames between automatic keyframes
    // Id of the first frame. A host taking over a stream goes on from where the last one stopped:
    // the programs take nothing older than their newest complete frame.
    uint32_t first_frame_id = 1;
    uint16_t listen_port = 0;  // where the viewer's control datagrams arrive; 0: not listened to
    std::string video;         // a video file to decode as the frames; the test pattern when empty
    int preencode = 0;         // when above 0, the first this many frames are encoded once, looped
    // An IVF file of compressed frames of the chosen codec, streamed in a loop instead of anything
    // encoded; the stream's size is the file's, not width x height.
    std::string clip;

    // Screen audio, for the viewer only.
    std::string audio;        // "tone", a WAV file, or empty for none
    double audio_loss = 0.0;  // fraction of audio packets never sent
    // How far the host's audio clock is off, in parts per million: positive runs fast, so packets
    // go out more often than every 20 ms.
    int audio_drift_ppm = 0;
    // Audio packets go out up to this many milliseconds after they fall due, in bursts, as from a
    // host whose audio thread is held up now and then (host/audio_jitter.h).
    int audio_jitter_ms = 0;
    int audio_bitrate_kbps = 96;

    bool help = false;  // "--help" or "-h": the full usage on stdout, and nothing else

    // The viewer's mode: compressed video, audio, or both. Audio alone still lasts frame_total()
    // frames at fps.
    bool compressed() const { return codec != HostCodec::Raw; }
    bool has_video() const { return codec == HostCodec::VP8 || codec == HostCodec::H264; }
    bool has_audio() const { return !audio.empty(); }
    bool has_pauses() const { return pause_still_seconds > 0.0; }

    int64_t frame_total() const;
    // How long the stream lasts, audio included: seconds, or with frames given, frames at fps.
    double duration_seconds() const;
};

// Fills `options`. Every option is checked: a missing or malformed value, a value out of range or
// an unknown argument gives one "[Host] Error: ..." line on stderr and false. With help asked for,
// nothing else is checked.
bool parse_host_args(int argc, const char* const* argv, HostOptions& options);

// The usage, on stderr, after a failed parse.
void print_host_usage(const char* program);
// Every option, a line each, on stdout (docs/stream_host.md says more).
void print_host_help(const char* program);

}  // namespace nimbar::host
