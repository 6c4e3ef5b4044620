#include "host/impairments.h"

#include <algorithm>
#include <numeric>

namespace nimbar::host {

Impairments::Impairments(const ImpairmentSettings& settings)
    : settings(settings), random(settings.seed) {}

bool Impairments::happens(double fraction) {
    if (fraction <= 0.0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < fraction;
}

const std::vector<uint32_t>& Impairments::schedule(size_t fragment_count) {
    order.resize(fragment_count);
    std::iota(order.begin(), order.end(), 0u);
    if (settings.reorder) {
        std::shuffle(order.begin(), order.end(), random);
    }
    sends.clear();
    for (const uint32_t index : order) {
        if (happens(settings.loss)) {
            ++totals.lost;
            continue;
        }
        sends.push_back(index);
        if (happens(settings.duplicate)) {
            sends.push_back(index);
            ++totals.duplicated;
        }
    }
    return sends;
}

}  // namespace nimbar::host
