#pragma once

// Network faults the host can inject for tests: datagrams lost, sent twice, or a frame's fragments
// sent out of order. Reproducible from a seed.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace nimbar::host {

struct ImpairmentSettings {
    double loss = 0.0;       // fraction of datagrams never sent
    double duplicate = 0.0;  // fraction of sent datagrams sent a second time, right after
    bool reorder = false;    // shuffle the order of each frame's fragments
    uint32_t seed = 1;
};

struct ImpairmentCounters {
    uint64_t lost = 0;
    uint64_t duplicated = 0;
};

class Impairments {
  public:
    explicit Impairments(const ImpairmentSettings& settings);

    // The fragment indexes of a frame of `fragment_count` fragments, in the order to send them,
    // with lost ones left out and duplicated ones repeated. Without impairments: 0, 1, 2, ...
    const std::vector<uint32_t>& schedule(size_t fragment_count);

    const ImpairmentCounters& counters() const { return totals; }

  private:
    bool happens(double fraction);

    ImpairmentSettings settings;
    std::mt19937 random;
    std::vector<uint32_t> order;
    std::vector<uint32_t> sends;
    ImpairmentCounters totals;
};

}  // namespace nimbar::host
