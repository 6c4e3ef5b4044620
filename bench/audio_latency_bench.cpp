// Playback latency under clock drift and jitter: the host's tone, as Opus packets, fed to a
// VideoReceiver (window under SDL's dummy video driver) by a host whose audio clock runs `ppm`
// parts per million fast (positive) or slow (negative) against the sound card, here SDL's disk
// driver, sending up to `jitter` ms late in bursts as stream_host --audio-jitter-ms does. The disk
// driver keeps a pace of its own, about 1 % slow against the steady clock and moved by as much
// again by the machine's load (it sleeps 20 ms and a little more per buffer), so the host's clock
// is the driver's own, read from the file it writes (silence included), run fast or slow by `ppm`.
//
// With `video`, VP8 1280x720 at 30 frames/s goes through the same receiver in the same loop, as in
// the viewer: each frame's fragments handed over at once, then up to 8 ms waiting for its picture
// and an update. Audio latency is a packet's arrival to its first sample leaving SDL's queue (the
// device's bite, polled every half millisecond); video latency is the receiver's own, a frame's
// last fragment to the present of its picture.
//
// Prints, after the first 5 s: the queue's depth as each packet finds it when it arrives (what the
// receiver holds at 40 ms) and polled every half millisecond, as p50, p99 and max; the correction
// in ppm, and the share of packets played untouched; underruns, 20 ms frames skipped and breaks in
// the tone (a skipped packet or a gap shows as a jump in its phase or a drop in its level, found in
// what the disk driver wrote); the latencies and their offset. A pass of the loop taking more than
// 10 ms beyond the sleep it asked for is the machine holding host and receiver up, as a real
// network or viewer stall would; the underruns and breaks from 0.5 s before one to 3 s after are
// told apart. With `trace`, a line a second on
// stderr.
//
//   audio_latency_bench <seconds> <ppm> <jitter ms> [video] [trace]

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "host/audio_jitter.h"
#include "protocol/screen_audio_format.h"
#include "receiver/video_receiver.h"
#include "tests/support/encoded_stream.h"
#include "tests/support/opus_stream.h"

namespace {

using nimbar::client::VideoReceiver;
using nimbar::testing::DiskClock;
using nimbar::testing::tone_breaks;
using Clock = std::chrono::steady_clock;

constexpr double BYTES_PER_MS = nimbar::protocol::SCREEN_AUDIO_BYTES_PER_MS;
constexpr double WARM_UP_SECONDS = 5;
constexpr double FPS = 30;
constexpr auto POLL = std::chrono::microseconds(500);
// A pass of the loop this much longer than the sleep it asked for is the machine holding it up
// (beyond the host's own jitter the target leaves no more margin).
constexpr double STALL_MS = 10;

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

struct Pending {
    uint64_t offset;  // bytes queued before it
    Clock::time_point arrival;
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 300;
    const double ppm = argc > 2 ? std::atof(argv[2]) : 0;
    const int jitter_ms = argc > 3 ? std::atoi(argv[3]) : 0;
    bool video = false;
    bool trace = false;
    for (int i = 4; i < argc; ++i) {
        video = video || std::strcmp(argv[i], "video") == 0;
        trace = trace || std::strcmp(argv[i], "trace") == 0;
    }
    const std::string file = "/tmp/nimbar_audio_latency_" + std::to_string(::getpid()) + ".raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO) < 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }

    // Encoded in one stream; the second second is looped, its encoder state that of a tone that
    // has run for a second, as it is again when the loop comes round (a second is whole cycles).
    const auto encoded = nimbar::testing::encode_tone(100);
    const std::vector<std::vector<uint8_t>> packets(encoded.begin() + 50, encoded.end());
    std::vector<std::vector<uint8_t>> frames;
    if (video) {
        frames = nimbar::testing::encode_pattern(nimbar::host::VideoCodec::VP8, 1280, 720, 60);
    }

    std::vector<double> depths;
    std::vector<double> stalls;       // the loop woke this many ms late, after the warm-up
    std::vector<double> stall_cards;  // and where the card's clock stood then
    uint64_t underruns_after_stall = 0;
    std::vector<double> found;  // what each packet found queued ahead of it
    std::vector<double> corrections;
    std::vector<double> audio_latencies;
    uint64_t underruns = 0;
    uint64_t underruns_settled = 0;
    uint64_t skipped = 0;
    double video_p50 = 0;
    double video_p99 = 0;
    double card_rate = 0;
    {
        VideoReceiver receiver;
        if (!receiver.init_standalone(1280, 720, 0)) {
            return 1;
        }
        receiver.enable_screen_audio(true);
        const nimbar::audio::ScreenAudioStats& stats = receiver.screen_audio_statistics();
        nimbar::host::AudioJitter jitter(jitter_ms, 1);
        DiskClock card(file);
        const auto on_card = [](double ms) {
            return nimbar::host::AudioJitter::Clock::time_point(
                std::chrono::microseconds(std::llround(ms * 1000)));
        };
        const auto start = Clock::now();
        const auto at = [&](double s) {
            return start +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
        };
        double due_ms = 0;  // the next packet's, on the card's clock before the host's drift
        auto release = jitter.release(on_card(due_ms));
        uint64_t next_packet = 0;
        uint64_t next_frame = 0;
        std::deque<Pending> pending;
        bool warm = false;
        double card_at_warm_up = 0;
        double next_trace = 0;
        for (;;) {
            const auto now = Clock::now();
            const auto iteration = now;
            const double elapsed = seconds_between(start, now);
            const double card_ms = card.ms(now);
            if (!warm && elapsed >= WARM_UP_SECONDS) {
                warm = true;
                underruns_settled = stats.underruns.load();
                card_at_warm_up = card_ms;
            }
            if (elapsed >= seconds) {
                card_rate = (card_ms - card_at_warm_up) / ((elapsed - WARM_UP_SECONDS) * 1000);
                break;
            }
            if (on_card(card_ms) >= release) {
                if (warm) {
                    found.push_back(receiver.audio_queue_bytes() / BYTES_PER_MS);
                }
                pending.push_back({stats.bytes_queued.load(), now});
                const auto datagram = nimbar::testing::audio_datagram(
                    static_cast<uint32_t>(next_packet + 1), packets[next_packet % packets.size()]);
                const uint64_t underruns_before = stats.underruns.load();
                receiver.handle_audio_packet(datagram.data(), static_cast<int>(datagram.size()),
                                             now);
                if (warm && stats.underruns.load() != underruns_before && !stall_cards.empty() &&
                    card_ms - stall_cards.back() < 3000) {
                    ++underruns_after_stall;
                }
                ++next_packet;
                due_ms += 20 / (1 + ppm / 1e6);
                release = jitter.release(on_card(due_ms));
                if (warm) {
                    corrections.push_back(stats.correction_ppm.load());
                }
            }
            if (video && at(static_cast<double>(next_frame) / FPS) <= now) {
                const auto& frame = frames[next_frame % frames.size()];
                for (const auto& datagram : nimbar::testing::fragment_datagrams(
                         frame, static_cast<uint32_t>(next_frame + 1))) {
                    receiver.handle_video_packet(datagram.data(), static_cast<int>(datagram.size()),
                                                 0, now);
                }
                ++next_frame;
                receiver.wait_for_picture(std::chrono::milliseconds(8));
            }
            if (video) {
                receiver.update();
            }
            const uint32_t queued = receiver.audio_queue_bytes();
            const uint64_t taken = stats.bytes_queued.load() - queued;
            const auto polled = Clock::now();
            while (!pending.empty() && pending.front().offset < taken) {
                if (warm) {
                    audio_latencies.push_back(seconds_between(pending.front().arrival, polled) *
                                              1000);
                }
                pending.pop_front();
            }
            if (warm) {
                depths.push_back(queued / BYTES_PER_MS);
            }
            if (trace && elapsed >= next_trace) {
                fprintf(stderr,
                        "%6.1f s: depth %5.1f ms (now %5.1f), correction %+6.0f ppm, "
                        "underruns %llu\n",
                        elapsed, stats.depth_ms.load(), queued / BYTES_PER_MS,
                        stats.correction_ppm.load(),
                        static_cast<unsigned long long>(stats.underruns.load()));
                next_trace += 1;
            }
            auto wake = polled + POLL;
            if (video) {
                wake = std::min(wake, at(static_cast<double>(next_frame) / FPS));
            }
            const auto asked = std::max(wake - Clock::now(), Clock::duration::zero());
            std::this_thread::sleep_until(wake);
            // The machine held the loop, host and receiver both, up: what follows is its doing.
            const double overslept = (seconds_between(iteration, Clock::now()) -
                                      std::chrono::duration<double>(asked).count()) *
                                     1000;
            if (warm && overslept > STALL_MS) {
                stalls.push_back(overslept);
                stall_cards.push_back(card.ms(Clock::now()));
            }
        }
        underruns = stats.underruns.load();
        underruns_settled = underruns - underruns_settled;
        skipped = stats.frames_skipped.load();
        const auto video_latency = receiver.statistics().latency_to_present.snapshot();
        video_p50 = video_latency.percentile_ms(0.5);
        video_p99 = video_latency.percentile_ms(0.99);
        // Let the queue play out, so that the file holds every packet.
        for (int i = 0; i < 100 && receiver.audio_queue_bytes() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        receiver.stop();
    }
    SDL_Quit();

    const auto sound = nimbar::testing::read_disk_audio(file);
    std::remove(file.c_str());
    // From 5 s of sound on, to just before it ends; positions in the file are the card's clock.
    const auto loud = [&](size_t i) { return std::abs(sound.left[i]) > 2000; };
    size_t first = 0;
    while (first < sound.left.size() && !loud(first)) {
        ++first;
    }
    size_t last = sound.left.size();
    while (last > first && !loud(last - 1)) {
        --last;
    }
    const size_t from = std::min(first + 48000 * 5, last);
    const size_t to = last > from + 4800 ? last - 4800 : from;
    std::vector<size_t> breaks = tone_breaks(sound.left, from, to, 440).starts;
    for (const size_t at : tone_breaks(sound.right, from, to, 660).starts) {
        const bool known = std::any_of(breaks.begin(), breaks.end(), [&](size_t b) {
            return b + 4800 >= at && at + 4800 >= b;  // within 100 ms: the same break
        });
        if (!known) {
            breaks.push_back(at);
        }
    }
    const auto after_stall = [&](double card_ms) {
        return std::any_of(stall_cards.begin(), stall_cards.end(), [&](double stall) {
            return card_ms >= stall - 500 && card_ms <= stall + 3000;
        });
    };
    const auto breaks_after_stall = std::count_if(
        breaks.begin(), breaks.end(), [&](size_t at) { return after_stall(at / 48.0); });

    const double audio_p50 = percentile(audio_latencies, 0.5);
    const double untouched =
        corrections.empty()
            ? 0.0
            : 100.0 * static_cast<double>(std::count(corrections.begin(), corrections.end(), 0.0)) /
                  static_cast<double>(corrections.size());
    printf(
        "drift %+.0f ppm, jitter %d ms, %.0f s (the disk driver played at %+.0f ppm of real time; "
        "the machine held the loop up %zu times, at worst %.0f ms): depth a packet finds p50 %.1f "
        "p99 %.1f max %.1f ms, polled p50 %.1f p99 %.1f max %.1f ms; correction mean %+.0f ppm "
        "(%+.0f to %+.0f), %.0f %% of packets untouched; underruns %llu (after 5 s %llu, of them "
        "%llu after a hold-up); frames skipped %llu; breaks %zu (%lld after a hold-up); audio "
        "latency p50 %.1f p99 %.1f ms",
        ppm, jitter_ms, seconds, (card_rate - 1) * 1e6, stalls.size(), percentile(stalls, 1.0),
        percentile(found, 0.5), percentile(found, 0.99), percentile(found, 1.0),
        percentile(depths, 0.5), percentile(depths, 0.99), percentile(depths, 1.0),
        corrections.empty() ? 0.0
                            : std::accumulate(corrections.begin(), corrections.end(), 0.0) /
                                  static_cast<double>(corrections.size()),
        percentile(corrections, 0.0), percentile(corrections, 1.0), untouched,
        static_cast<unsigned long long>(underruns),
        static_cast<unsigned long long>(underruns_settled),
        static_cast<unsigned long long>(underruns_after_stall),
        static_cast<unsigned long long>(skipped), breaks.size(),
        static_cast<long long>(breaks_after_stall), audio_p50, percentile(audio_latencies, 0.99));
    if (video) {
        printf("; video latency p50 %.1f p99 %.1f ms; sound behind picture by %.1f ms at p50",
               video_p50, video_p99, audio_p50 - video_p50);
    }
    printf("\n");
    return 0;
}
