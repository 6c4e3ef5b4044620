// FrameAssembler::handle_datagram against a bare 1400-byte copy into a frame-sized buffer, the
// least any assembler must do per fragment. Both move the payload of whole 1280x720 frames.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "preview/frame_assembler.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"

namespace {

using nimbar::preview::FrameAssembler;
namespace protocol = nimbar::protocol;

constexpr int WIDTH = 1280;
constexpr int HEIGHT = 720;
constexpr size_t FRAME_BYTES = size_t{WIDTH} * HEIGHT * 4;

void BM_BareCopy(benchmark::State& state) {
    std::vector<uint8_t> frame(FRAME_BYTES);
    std::vector<uint8_t> payload(protocol::FRAGMENT_PAYLOAD, 0x5A);
    size_t offset = 0;
    for (auto _ : state) {
        const size_t length = std::min(protocol::FRAGMENT_PAYLOAD, FRAME_BYTES - offset);
        std::memcpy(frame.data() + offset, payload.data(), length);
        benchmark::DoNotOptimize(frame.data());
        offset = offset + length == FRAME_BYTES ? 0 : offset + length;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(protocol::FRAGMENT_PAYLOAD));
}
BENCHMARK(BM_BareCopy);

// The preview's main loop in miniature: datagrams in, each completed frame taken and released.
// Each datagram is written into the one buffer the next is read into, as recvfrom does in the
// preview. With `clock_stride` 1 the clock is read for every datagram;
// otherwise the time is read once per `clock_stride` datagrams and passed in, as the preview's
// drain loop does.
void run_assembler(benchmark::State& state, int clock_stride) {
    const size_t count = protocol::fragment_count_for(FRAME_BYTES);
    uint8_t buffer[2048];
    std::memset(buffer, 0x5A, sizeof buffer);
    FrameAssembler assembler(WIDTH, HEIGHT);
    uint32_t frame_id = 1;
    size_t index = 0;
    int64_t payload = 0;
    int until_clock = 0;
    auto now = FrameAssembler::Clock::now();
    for (auto _ : state) {
        const size_t size = std::min(protocol::FRAGMENT_PAYLOAD, FRAME_BYTES - index * 1400);
        protocol::write_fragment_header(
            buffer, {frame_id, static_cast<uint16_t>(index), static_cast<uint16_t>(count),
                     static_cast<uint16_t>(size)});
        const int length = static_cast<int>(protocol::FRAGMENT_HEADER_SIZE + size);
        if (clock_stride == 1) {
            assembler.handle_datagram(buffer, length, 0, FrameAssembler::Clock::now());
        } else {
            if (--until_clock <= 0) {
                now = FrameAssembler::Clock::now();
                until_clock = clock_stride;
            }
            assembler.handle_datagram(buffer, length, 0, now);
        }
        payload += static_cast<int64_t>(size);
        if (++index == count) {
            index = 0;
            ++frame_id;
            if (assembler.has_frame()) {
                benchmark::DoNotOptimize(assembler.get_latest_frame().data());
                assembler.release_frame();
            }
        }
    }
    state.SetBytesProcessed(payload);
    state.counters["frames"] = static_cast<double>(assembler.counters().frames_completed);
}

void BM_HandleDatagram(benchmark::State& state) {
    run_assembler(state, 1);
}
BENCHMARK(BM_HandleDatagram);

void BM_HandleDatagramAsDrained(benchmark::State& state) {
    run_assembler(state, 64);
}
BENCHMARK(BM_HandleDatagramAsDrained);

}  // namespace

BENCHMARK_MAIN();
