// The viewer's frame reassembly (FrameReassembler::add) on one thread, without the decoder: each
// completed frame is handed back and freed.

#include <benchmark/benchmark.h>

#include <vector>

#include "protocol/byte_order.h"
#include "protocol/fragmenter.h"
#include "protocol/media_datagram.h"
#include "receiver/frame_reassembler.h"

namespace {

using nimbar::client::FrameReassembler;
namespace protocol = nimbar::protocol;

// Frames of `state.range(0)` bytes, fed fragment by fragment with growing frame ids.
void BM_HandleVideoPacket(benchmark::State& state) {
    const auto frame_size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> frame(frame_size, 0x5A);
    std::vector<std::vector<uint8_t>> datagrams(protocol::fragment_count_for(frame_size));
    for (size_t i = 0; i < datagrams.size(); ++i) {
        datagrams[i].resize(protocol::MAX_FRAGMENT_DATAGRAM);
        datagrams[i].resize(protocol::write_fragment_datagram(frame, 1, i, datagrams[i]));
    }
    FrameReassembler reassembler;
    uint32_t frame_id = 1;
    int64_t frames = 0;
    size_t next = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        auto& datagram = datagrams[next];
        protocol::store_u32_le(datagram.data() + protocol::FRAME_ID_OFFSET, frame_id);
        const auto result = reassembler.add(datagram, 0, FrameReassembler::Clock::now());
        frames += static_cast<int64_t>(result.completed.size());
        bytes += static_cast<int64_t>(datagram.size() - protocol::FRAGMENT_HEADER_SIZE);
        if (++next == datagrams.size()) {
            next = 0;
            ++frame_id;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
    state.counters["frames"] = static_cast<double>(frames);
}
// A delta frame of a still screen, a typical 1080p frame at 6 Mbit/s, a large keyframe, the
// largest frame there can be.
BENCHMARK(BM_HandleVideoPacket)->Arg(1400)->Arg(25000)->Arg(300000)->Arg(1400000);

}  // namespace

BENCHMARK_MAIN();
