// The stress scripts' helper (bench/flood.sh, bench/shutdown.sh), three commands in one program:
//
//   stress_helper flood --port <p> --seconds <s> --target viewer|preview [--seed <n>] [--rate <n>]
//                       [--live-ids yes|no]
//       Sends datagrams to 127.0.0.1:<p> as fast as one thread can (or <n> a second) for <s>
//       seconds, in turn: random
//       bytes of every length from 0 to 65507 (the lengths swept in order, so a run of a few
//       seconds has sent each), fragment-shaped datagrams with random headers, and datagrams that
//       are nearly right (see NearMiss). Ends with one line:
//       [Flood] datagrams=… bytes=… seconds=… rate=…/s MBps=… send_failures=… lengths_swept=…
//       near_misses=… live_id_near_misses=…
//       With --live-ids no, no datagram names an id of the live stream (to tell the two apart).
//   stress_helper flood --port <p> --seconds <s> --target viewer|preview
//                       --attack trickle|resync|junk [--live-start-id <id>] [--live-fps <fps>]
//       Instead of the mixed flood, one attack on the frame numbering, at its own pace (no --rate),
//       aimed at a live stream that is at frame <id> (default 1) now and goes on at <fps> frames/s
//       (default 30):
//       trickle: every 500 ms one whole one-fragment frame about 60,000 ids ahead of the live
//         stream, for the viewer a tiny VP8 keyframe to look at, for the preview 1400 bytes;
//       resync: every 100 ms fragment 0 of a two-fragment frame that never completes, in turn
//         1000 ids behind the live stream and 1,000,000 ahead of it;
//       junk: every 5 s three whole one-fragment frames in sequence 20 ms apart, 1,000,000 ids
//         ahead of the live stream (for the viewer tiny VP8 keyframes).
//       Ends with one line:
//       [Flood] attack=… datagrams=… bytes=… seconds=… rate=…/s send_failures=… live_start_id=…
//       first_id=… last_id=…
//   stress_helper close --title <exact window title> [--timeout-ms <n>]
//       Sends WM_DELETE_WINDOW to the mapped window of that title, as a window manager's close
//       button does. Exit code 1 when no such window appears in time.
//   stress_helper look --title <exact window title> [--timeout-ms <n>]
//                      [--picture-width <w> --picture-height <h> [--near-frame <n>]]
//       Reads the window's pixels and prints one line:
//       [Look] size=WxH digest=<hex> bars=ok|bad worst=<largest channel error> at=<bar>
//       digest changes with any pixel; bars checks the test pattern's seven bars
//       (host/test_pattern.h) at three heights in the top two thirds of the window.
//       With the picture's size, the line goes on with " block_frame=<n> block_left=<x>": the
//       pattern's moving block found on its centre row, its left edge x in picture columns, and
//       the pattern frame number n whose block lies nearest there among one sweep of the block
//       across the picture: frames 0 on, or with --near-frame the sweep centred on that frame (the
//       block's places repeat, so only a sweep tells frames apart). " block_frame=none" when no
//       block is there.
//
// A datagram naming a frame of the live stream with a header that is right for it is, by the
// datagram format, a piece of that frame: no reader can tell it from the host's. The flood
// therefore names the live stream's frame ids only in datagrams that the target's documented checks
// drop by themselves (docs/datagrams.md); its other datagrams name ids far above any live stream's,
// or 0 and 4294967295.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/test_pattern.h"
#include "net/udp_socket.h"
#include "protocol/byte_order.h"
#include "protocol/media_datagram.h"
#include "tests/support/x11_window.h"

namespace {

using namespace nimbar;
using Clock = std::chrono::steady_clock;

// The largest UDP datagram over IPv4.
constexpr size_t MAX_DATAGRAM = 65507;
// Random bytes are taken from a pool at random offsets: drawing 64 KB of fresh randomness per
// datagram would cost more than sending it.
constexpr size_t POOL_SIZE = 2 * MAX_DATAGRAM;
// The live streams of the scripts start at id 1 and send at most a few thousand frames; ids from
// here on are never theirs (over six days at 30 frames/s).
constexpr uint32_t FAR_ID_FLOOR = 1u << 24;
// Live ids the near misses name: the whole window ahead of any frame the live stream reaches in
// a run of some minutes.
constexpr uint32_t LIVE_ID_CEILING = 1u << 17;
// The clock is read once per this many datagrams.
constexpr int CLOCK_STRIDE = 256;
// The sender's socket buffer: large, so that a burst of 64 KB datagrams does not fail for room.
constexpr int SEND_BUFFER = 8 * 1024 * 1024;
// How long close and look wait for the window by default.
constexpr int DEFAULT_TIMEOUT_MS = 10000;
// Largest difference of one colour channel from the pattern's that still counts as the bar: VP8
// and scaling blur the bars' edges, and the samples keep clear of them.
constexpr int BAR_TOLERANCE = 48;
// Sample rows, in sixths of the window height: 1, 2 and 3 sixths are inside the bars (top 2/3).
constexpr int SAMPLE_ROWS_SIXTHS[] = {1, 2, 3};
// A pixel is the block's when it is nearer the block's orange than the band's grey (codec blur
// smears the edges over a few pixels; halfway between the two colours marks them) and no channel
// is further than this from the orange (no other colour of the pattern passes for it).
constexpr int BLOCK_TOLERANCE = 96;
// The longest run of block pixels counts as the block from this share of the block's width on:
// shorter ones are specks of blur or damage.
constexpr double MIN_BLOCK_RUN_SHARE = 0.5;
// The attacks' estimate of the live stream, unless --live-fps says otherwise: the scripts' hosts
// send 30 frames a second.
constexpr double LIVE_FPS = 30.0;
// Trickle: a frame this far ahead of the live stream, within the 65,536 ids that a reader could
// once take at once, every so often: too seldom for three in a row to count as a new numbering.
constexpr uint32_t TRICKLE_LEAD = 60000;
constexpr std::chrono::milliseconds TRICKLE_PERIOD{500};
// Resync: a fragment this often, alternately this far behind (past the 64 stale ids) and this far
// ahead (past any window ahead) of the live stream, of a frame of this many fragments that never
// gets its others.
constexpr std::chrono::milliseconds RESYNC_PERIOD{100};
constexpr uint32_t RESYNC_BEHIND = 1000;
constexpr uint32_t RESYNC_AHEAD = 1000000;
constexpr uint16_t RESYNC_FRAGMENTS = 2;
// Junk: every JUNK_PERIOD, JUNK_RUN whole one-fragment frames in sequence, JUNK_SPACING apart,
// this far ahead of the live stream: a run that once counted as a new numbering.
constexpr std::chrono::milliseconds JUNK_PERIOD{5000};
constexpr std::chrono::milliseconds JUNK_SPACING{20};
constexpr uint64_t JUNK_RUN = 3;
constexpr uint32_t JUNK_LEAD = 1000000;
// The trickle's frame for the viewer: a VP8 key frame's 3-byte tag (key bit clear, shown), the key
// frame start code, 16x16, and a few bytes of a first partition; small enough for one fragment.
constexpr uint8_t TINY_VP8_KEYFRAME[] = {0x50, 0x01, 0x00, 0x9d, 0x01, 0x2a, 0x10, 0x00,
                                         0x10, 0x00, 0x00, 0x47, 0x08, 0x85, 0x85, 0x88,
                                         0x99, 0x84, 0x88, 0x0c, 0x02, 0x00, 0x0c, 0x0d};

struct Options {
    std::string command;
    int port = 0;
    double seconds = 10;
    double rate = 0;  // datagrams a second; 0: as fast as one thread can
    std::string target = "viewer";
    uint64_t seed = 1;
    bool live_ids = true;
    std::string attack;  // empty: the mixed flood
    uint64_t live_start_id = 1;
    double live_fps = LIVE_FPS;
    std::string title;
    int timeout_ms = DEFAULT_TIMEOUT_MS;
    int picture_width = 0;  // 0: no block search
    int picture_height = 0;
    std::optional<int64_t> near_frame;
};

std::optional<Options> parse(int argc, char** argv) {
    if (argc < 2) {
        return std::nullopt;
    }
    Options options;
    options.command = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--port") {
            options.port = std::atoi(value);
        } else if (key == "--seconds") {
            options.seconds = std::atof(value);
        } else if (key == "--rate") {
            options.rate = std::atof(value);
        } else if (key == "--target") {
            options.target = value;
        } else if (key == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
        } else if (key == "--live-ids") {
            options.live_ids = std::string(value) != "no";
        } else if (key == "--attack") {
            options.attack = value;
        } else if (key == "--live-start-id") {
            options.live_start_id = std::strtoull(value, nullptr, 10);
        } else if (key == "--live-fps") {
            options.live_fps = std::strtod(value, nullptr);
        } else if (key == "--picture-width") {
            options.picture_width = std::atoi(value);
        } else if (key == "--picture-height") {
            options.picture_height = std::atoi(value);
        } else if (key == "--near-frame") {
            options.near_frame = std::strtoll(value, nullptr, 10);
        } else if (key == "--title") {
            options.title = value;
        } else if (key == "--timeout-ms") {
            options.timeout_ms = std::atoi(value);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// ------------------------------------------------------------------------------------ flood

// The nearly right datagrams: each is a well-formed fragment or audio datagram but for one field.
enum class NearMiss {
    CountZero,         // fragment_count 0
    CountMax,          // fragment_count 65535 (more than any compressed frame)
    IndexPastCount,    // fragment_index at or beyond fragment_count
    PayloadPastEnd,    // payload_size larger than what the datagram holds
    PayloadZero,       // payload_size 0
    PayloadOverLimit,  // payload_size 1401..65535, all present
    AudioPastEnd,      // audio data_size larger than what the datagram holds
    FrameIdZero,       // a whole one-fragment frame with id 0
    FrameIdMax,        // a whole one-fragment frame with id 4294967295
    ShortHeader,       // 1 to 39 bytes of an otherwise valid fragment
    Count_,
};

// Whether the target's documented checks drop this kind by the datagram alone, so that it may
// name the live stream's ids without joining its frames.
bool dropped_on_its_own(NearMiss kind, const std::string& target) {
    switch (kind) {
        case NearMiss::ShortHeader:
            return true;  // both: shorter than a fragment header
        case NearMiss::CountZero:
            return true;  // the viewer: count 1..1000; the preview: no frame has no fragments
        case NearMiss::CountMax:
        case NearMiss::PayloadPastEnd:
        case NearMiss::PayloadZero:
        case NearMiss::PayloadOverLimit:
            return target == "viewer";  // the preview takes a payload as far as it reaches
        default:
            return false;
    }
}

class Flood {
  public:
    Flood(const Options& options) : options(options), random(options.seed), pool(POOL_SIZE) {
        for (auto& byte : pool) {
            byte = static_cast<uint8_t>(random());
        }
        datagram.resize(MAX_DATAGRAM);
    }

    int run() {
        if (!net::start_networking() || !socket.open(0)) {
            return 1;
        }
        socket.set_send_buffer_size(SEND_BUFFER);
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.seconds));
        uint64_t turn = 0;
        for (;;) {
            if (turn % CLOCK_STRIDE == 0) {
                const auto now = Clock::now();
                if (now >= end) {
                    break;
                }
                // Held to --rate: ahead of it, wait until the datagrams sent are due.
                if (options.rate > 0) {
                    const auto due =
                        start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(turn / options.rate));
                    if (due > now) {
                        std::this_thread::sleep_until(due);
                    }
                }
            }
            size_t length = 0;
            switch (turn % 3) {
                case 0:
                    length = make_swept();
                    break;
                case 1:
                    length = make_random_fragment();
                    break;
                default:
                    length = make_near_miss();
                    break;
            }
            ++turn;
            if (socket.send_to(datagram.data(), length, "127.0.0.1",
                               static_cast<uint16_t>(options.port)) < 0) {
                ++send_failures;
                continue;
            }
            ++sent;
            bytes += length;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        printf(
            "[Flood] datagrams=%llu bytes=%llu seconds=%.2f rate=%.0f/s MBps=%.1f "
            "send_failures=%llu lengths_swept=%llu near_misses=%llu live_id_near_misses=%llu\n",
            static_cast<unsigned long long>(sent), static_cast<unsigned long long>(bytes), seconds,
            sent / seconds, bytes / seconds / 1e6, static_cast<unsigned long long>(send_failures),
            static_cast<unsigned long long>(lengths_swept),
            static_cast<unsigned long long>(near_misses),
            static_cast<unsigned long long>(live_near_misses));
        socket.close();
        net::stop_networking();
        return 0;
    }

  private:
    void fill_random(size_t length) {
        const size_t offset = random() % (POOL_SIZE - MAX_DATAGRAM + 1);
        std::memcpy(datagram.data(), pool.data() + offset, length);
    }

    uint32_t far_id() {
        return FAR_ID_FLOOR + static_cast<uint32_t>(random() % (0xFFFFFFFFu - FAR_ID_FLOOR));
    }

    // Random bytes of the next length in the sweep, random headers with a far frame id.
    size_t make_swept() {
        const size_t length = sweep_length;
        sweep_length = (sweep_length + 1) % (MAX_DATAGRAM + 1);
        if (sweep_length == 0) {
            ++lengths_swept;
        }
        fill_random(length);
        if (length >= protocol::FRAME_ID_OFFSET + 4) {
            protocol::store_u32_le(datagram.data() + protocol::FRAME_ID_OFFSET, far_id());
        }
        return length;
    }

    // A fragment's length (40 to 1440 bytes) with random header fields and a far frame id; the
    // audio flag clear half the time, so both readers parse it as a fragment.
    size_t make_random_fragment() {
        const size_t length =
            protocol::FRAGMENT_HEADER_SIZE + random() % (protocol::FRAGMENT_PAYLOAD + 1);
        fill_random(length);
        if (random() % 2 == 0) {
            datagram[protocol::FLAGS_OFFSET] &= static_cast<uint8_t>(~protocol::AUDIO_FLAG);
        }
        protocol::store_u32_le(datagram.data() + protocol::FRAME_ID_OFFSET, far_id());
        return length;
    }

    size_t make_near_miss() {
        const auto kind = static_cast<NearMiss>(near_misses % static_cast<int>(NearMiss::Count_));
        ++near_misses;
        // Live ids where the target drops the kind by itself, every other time; far ids otherwise.
        uint32_t id = far_id();
        if (options.live_ids && dropped_on_its_own(kind, options.target) && random() % 2 == 0) {
            id = 1 + static_cast<uint32_t>(random() % LIVE_ID_CEILING);
            ++live_near_misses;
        }
        protocol::FragmentHeader header;
        header.frame_id = id;
        header.fragment_count = static_cast<uint16_t>(1 + random() % protocol::MAX_FRAGMENTS);
        header.fragment_index = static_cast<uint16_t>(random() % header.fragment_count);
        header.payload_size = protocol::FRAGMENT_PAYLOAD;
        size_t length = protocol::MAX_FRAGMENT_DATAGRAM;
        switch (kind) {
            case NearMiss::CountZero:
                header.fragment_count = 0;
                header.fragment_index = 0;
                break;
            case NearMiss::CountMax:
                header.fragment_count = 65535;
                header.fragment_index = static_cast<uint16_t>(random() % 65535);
                break;
            case NearMiss::IndexPastCount:
                header.fragment_index = static_cast<uint16_t>(
                    header.fragment_count + random() % (65536 - header.fragment_count));
                break;
            case NearMiss::PayloadPastEnd:
                length = protocol::FRAGMENT_HEADER_SIZE + random() % protocol::FRAGMENT_PAYLOAD;
                header.payload_size = static_cast<uint16_t>(
                    length - protocol::FRAGMENT_HEADER_SIZE + 1 +
                    random() % (65535 - (length - protocol::FRAGMENT_HEADER_SIZE)));
                break;
            case NearMiss::PayloadZero:
                header.payload_size = 0;
                break;
            case NearMiss::PayloadOverLimit:
                header.payload_size = static_cast<uint16_t>(
                    protocol::FRAGMENT_PAYLOAD + 1 +
                    random() % (MAX_DATAGRAM - protocol::MAX_FRAGMENT_DATAGRAM));
                length = protocol::FRAGMENT_HEADER_SIZE + header.payload_size;
                break;
            case NearMiss::AudioPastEnd: {
                length = protocol::COMMON_HEADER_SIZE + random() % 1500;
                fill_random(length);
                protocol::CommonHeader audio;
                audio.flags = protocol::AUDIO_FLAG;
                audio.sequence = static_cast<uint32_t>(random());
                audio.data_size = static_cast<uint16_t>(
                    length - protocol::COMMON_HEADER_SIZE + 1 +
                    random() % (65535 - (length - protocol::COMMON_HEADER_SIZE)));
                protocol::write_common_header({datagram.data(), length}, audio);
                return length;
            }
            case NearMiss::FrameIdZero:
            case NearMiss::FrameIdMax:
                header.frame_id = kind == NearMiss::FrameIdZero ? 0 : 0xFFFFFFFFu;
                header.fragment_count = 1;
                header.fragment_index = 0;
                header.payload_size =
                    static_cast<uint16_t>(1 + random() % protocol::FRAGMENT_PAYLOAD);
                length = protocol::FRAGMENT_HEADER_SIZE + header.payload_size;
                break;
            case NearMiss::ShortHeader:
                length = 1 + random() % (protocol::FRAGMENT_HEADER_SIZE - 1);
                break;
            case NearMiss::Count_:
                break;
        }
        fill_random(length);
        uint8_t full[protocol::FRAGMENT_HEADER_SIZE];
        protocol::write_fragment_header({full, sizeof full}, header);
        std::memcpy(datagram.data(), full, std::min(length, sizeof full));
        return length;
    }

    const Options& options;
    std::mt19937_64 random;
    std::vector<uint8_t> pool;
    std::vector<uint8_t> datagram;
    net::UDPSocket socket;
    size_t sweep_length = 0;
    uint64_t sent = 0;
    uint64_t bytes = 0;
    uint64_t send_failures = 0;
    uint64_t lengths_swept = 0;
    uint64_t near_misses = 0;
    uint64_t live_near_misses = 0;
};

// ------------------------------------------------------------------------------------ attacks

// One attack on the frame numbering: a datagram at a time, at the attack's own pace, with ids
// placed against the live stream as estimated from --live-start-id and the time since the start.
class NumberingAttack {
  public:
    explicit NumberingAttack(const Options& options) : options(options), random(options.seed) {}

    int run() {
        if (!net::start_networking() || !socket.open(0)) {
            return 1;
        }
        const bool trickle = options.attack == "trickle";
        const bool junk = options.attack == "junk";
        const auto period = trickle ? TRICKLE_PERIOD : RESYNC_PERIOD;
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.seconds));
        uint8_t datagram[protocol::MAX_FRAGMENT_DATAGRAM];
        for (uint64_t turn = 0;; ++turn) {
            const auto due =
                junk ? start + (turn / JUNK_RUN) * JUNK_PERIOD + (turn % JUNK_RUN) * JUNK_SPACING
                     : start + turn * period;
            if (due >= end) {
                break;
            }
            std::this_thread::sleep_until(due);
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const auto live = static_cast<uint64_t>(static_cast<double>(options.live_start_id) +
                                                    options.live_fps * elapsed);
            protocol::FragmentHeader header;
            header.fragment_index = 0;
            if (trickle || junk) {
                header.frame_id =
                    clamp_id(trickle ? live + TRICKLE_LEAD : live + JUNK_LEAD + turn % JUNK_RUN);
                header.fragment_count = 1;
            } else {
                // Ids 0 and 4294967295 are the mixed flood's: stay clear of them.
                header.frame_id = turn % 2 == 0
                                      ? clamp_id(live > RESYNC_BEHIND ? live - RESYNC_BEHIND : 1)
                                      : clamp_id(live + RESYNC_AHEAD);
                header.fragment_count = RESYNC_FRAGMENTS;
            }
            const size_t payload = fill_payload(datagram + protocol::FRAGMENT_HEADER_SIZE,
                                                trickle || junk ? 1 : RESYNC_FRAGMENTS);
            header.payload_size = static_cast<uint16_t>(payload);
            protocol::write_fragment_header({datagram, protocol::FRAGMENT_HEADER_SIZE}, header);
            const size_t length = protocol::FRAGMENT_HEADER_SIZE + payload;
            if (socket.send_to(datagram, length, "127.0.0.1", static_cast<uint16_t>(options.port)) <
                0) {
                ++send_failures;
                continue;
            }
            first_id = first_id.value_or(header.frame_id);
            last_id = header.frame_id;
            ++sent;
            bytes += length;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        printf(
            "[Flood] attack=%s datagrams=%llu bytes=%llu seconds=%.2f rate=%.1f/s "
            "send_failures=%llu live_start_id=%llu first_id=%u last_id=%u\n",
            options.attack.c_str(), static_cast<unsigned long long>(sent),
            static_cast<unsigned long long>(bytes), seconds, sent / seconds,
            static_cast<unsigned long long>(send_failures),
            static_cast<unsigned long long>(options.live_start_id), first_id.value_or(0), last_id);
        socket.close();
        net::stop_networking();
        return 0;
    }

  private:
    // Within 1 to 4294967294: 0 and the largest id are never a live stream's.
    static uint32_t clamp_id(uint64_t id) {
        return static_cast<uint32_t>(std::clamp<uint64_t>(id, 1, 0xFFFFFFFEu));
    }

    // The first fragment's payload of a frame of `fragments`: for the viewer the tiny VP8 key
    // frame (alone, or padded to a full fragment when more are to follow), for the preview a full
    // fragment of random bytes. Returns its length.
    size_t fill_payload(uint8_t* payload, uint16_t fragments) {
        size_t length = protocol::FRAGMENT_PAYLOAD;
        for (size_t i = 0; i < length; ++i) {
            payload[i] = static_cast<uint8_t>(random());
        }
        if (options.target == "viewer") {
            std::memcpy(payload, TINY_VP8_KEYFRAME, sizeof TINY_VP8_KEYFRAME);
            if (fragments == 1) {
                length = sizeof TINY_VP8_KEYFRAME;
            }
        }
        return length;
    }

    const Options& options;
    std::mt19937_64 random;
    net::UDPSocket socket;
    uint64_t sent = 0;
    uint64_t bytes = 0;
    uint64_t send_failures = 0;
    std::optional<uint32_t> first_id;
    uint32_t last_id = 0;
};

// ------------------------------------------------------------------------------------ windows

// The mapped window of that title, found within the timeout, with a line when there is none.
std::optional<unsigned long> find_window(testing::X11Session& x11, const Options& options) {
    auto window = x11.find_window(options.title, std::chrono::milliseconds(options.timeout_ms));
    if (!window) {
        fprintf(stderr, "[Stress] no mapped window titled \"%s\"\n", options.title.c_str());
    }
    return window;
}

// Whether the window's pixel is the block's (see BLOCK_TOLERANCE).
bool block_pixel(const testing::Pixel& seen) {
    const auto distance2 = [&](const host::Rgb& colour) {
        const int r = seen.r - colour.r;
        const int g = seen.g - colour.g;
        const int b = seen.b - colour.b;
        return r * r + g * g + b * b;
    };
    const host::Rgb block = host::PATTERN_BLOCK;
    const int worst = std::max(
        {std::abs(seen.r - block.r), std::abs(seen.g - block.g), std::abs(seen.b - block.b)});
    return distance2(block) < distance2(host::PATTERN_BAND) && worst <= BLOCK_TOLERANCE;
}

// The block's left column in picture columns (a fraction: the window is scaled), from the longest
// run of block pixels on the block's centre row; nothing when no run is long enough. The run's
// middle is taken, not its first pixel, so that blur that widens or narrows both edges alike does
// not move it.
std::optional<double> find_block_left(const testing::Screenshot& shot, int picture_width,
                                      int picture_height) {
    const host::PatternLayout layout = host::pattern_layout(picture_width, picture_height);
    const double scale_x = static_cast<double>(shot.width) / picture_width;
    const double centre_row = layout.block_top + layout.block_size / 2.0;
    const int y =
        std::clamp(static_cast<int>(centre_row * shot.height / picture_height), 0, shot.height - 1);
    int best_start = 0;
    int best_length = 0;
    for (int x = 0; x < shot.width;) {
        if (!block_pixel(shot.at(x, y))) {
            ++x;
            continue;
        }
        const int start = x;
        while (x < shot.width && block_pixel(shot.at(x, y))) {
            ++x;
        }
        if (x - start > best_length) {
            best_start = start;
            best_length = x - start;
        }
    }
    if (best_length == 0 || best_length < MIN_BLOCK_RUN_SHARE * layout.block_size * scale_x) {
        return std::nullopt;
    }
    const double middle = (best_start + best_length / 2.0) / scale_x;
    return middle - layout.block_size / 2.0;
}

// The pattern frame number whose block lies nearest `left` among one sweep of the block across the
// picture: frames from 0, or the sweep centred on `near`. Within a sweep each frame's block has a
// place of its own, step pixels from the next; the places repeat, shifted, in later sweeps.
int64_t nearest_block_frame(double left, int picture_width, int picture_height,
                            std::optional<int64_t> near) {
    const host::PatternLayout layout = host::pattern_layout(picture_width, picture_height);
    const int64_t places = picture_width - layout.block_size + 1;
    // A sweep one frame short of the block's whole way across, so that no two of its frames' places
    // are nearer than a step (the first of the next sweep lies just past the first of this one).
    const int64_t sweep = std::max<int64_t>(1, places / layout.block_step);
    const int64_t first = near ? std::max<int64_t>(0, *near - sweep / 2) : 0;
    int64_t best = first;
    double best_distance = -1;
    for (int64_t n = first; n < first + sweep; ++n) {
        const double distance = std::abs(
            host::pattern_block_left(picture_width, picture_height, static_cast<uint32_t>(n)) -
            left);
        if (best_distance < 0 || distance < best_distance) {
            best = n;
            best_distance = distance;
        }
    }
    return best;
}

int look(testing::X11Session& x11, unsigned long window, const Options& options) {
    const auto shot = x11.capture(window);
    if (!shot) {
        fprintf(stderr, "[Stress] cannot read the window's pixels\n");
        return 1;
    }
    uint64_t digest = 1469598103934665603ull;  // FNV-1a over every pixel's channels
    for (const testing::Pixel& pixel : shot->pixels) {
        for (uint8_t value : {pixel.r, pixel.g, pixel.b}) {
            digest = (digest ^ value) * 1099511628211ull;
        }
    }
    int worst = 0;
    int worst_bar = -1;
    for (int row : SAMPLE_ROWS_SIXTHS) {
        const int y = shot->height * row / 6;
        for (int bar = 0; bar < host::PATTERN_BAR_COUNT; ++bar) {
            const int x = (2 * bar + 1) * shot->width / (2 * host::PATTERN_BAR_COUNT);
            const testing::Pixel seen = shot->at(x, y);
            const host::Rgb want = host::PATTERN_BARS[bar];
            const int error = std::max(
                {std::abs(seen.r - want.r), std::abs(seen.g - want.g), std::abs(seen.b - want.b)});
            if (error > worst) {
                worst = error;
                worst_bar = bar;
            }
        }
    }
    printf("[Look] size=%dx%d digest=%016llx bars=%s worst=%d at=%d", shot->width, shot->height,
           static_cast<unsigned long long>(digest), worst <= BAR_TOLERANCE ? "ok" : "bad", worst,
           worst_bar);
    if (options.picture_width > 0 && options.picture_height > 0) {
        const auto left = find_block_left(*shot, options.picture_width, options.picture_height);
        if (left) {
            printf(" block_frame=%lld block_left=%.0f",
                   static_cast<long long>(nearest_block_frame(
                       *left, options.picture_width, options.picture_height, options.near_frame)),
                   *left);
        } else {
            printf(" block_frame=none");
        }
    }
    printf("\n");
    return 0;
}

int run_window_command(const Options& options) {
    testing::X11Session x11;
    if (!x11.connected()) {
        fprintf(stderr, "[Stress] cannot open the display\n");
        return 1;
    }
    const auto window = find_window(x11, options);
    if (!window) {
        return 1;
    }
    if (options.command == "close") {
        x11.request_close(*window);
        return 0;
    }
    return look(x11, *window, options);
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    const bool attack = options && !options->attack.empty() && options->attack != "mixed";
    if (options && options->command == "flood" && options->port > 0 && options->port < 65536 &&
        (options->target == "viewer" || options->target == "preview")) {
        if (!attack) {
            Flood flood(*options);
            return flood.run();
        }
        if ((options->attack == "trickle" || options->attack == "resync" ||
             options->attack == "junk") &&
            options->rate == 0) {
            NumberingAttack numbering(*options);
            return numbering.run();
        }
    }
    if (options && (options->command == "close" || options->command == "look") &&
        !options->title.empty()) {
        return run_window_command(*options);
    }
    fprintf(stderr,
            "Usage: %s flood --port <p> --seconds <s> --target viewer|preview [--seed <n>] [--rate "
            "<n>]\n"
            "          [--live-ids yes|no]\n"
            "       %s flood --port <p> --seconds <s> --target viewer|preview\n"
            "          --attack trickle|resync|junk [--live-start-id <id>] [--live-fps <fps>] "
            "[--seed <n>]\n"
            "       %s close --title <window title> [--timeout-ms <n>]\n"
            "       %s look --title <window title> [--timeout-ms <n>]\n"
            "          [--picture-width <w> --picture-height <h> [--near-frame <n>]]\n",
            argv[0], argv[0], argv[0], argv[0]);
    return 2;
}
