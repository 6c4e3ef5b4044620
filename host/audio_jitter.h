#pragma once

// Audio packets sent late, in bursts, as by a host whose audio thread is held up now and then:
// when a packet falls due and none is being held back, the host stalls for a time drawn evenly
// from nothing to the jitter, and the packets that fall due meanwhile go out together when the
// stall ends. No packet goes out before it is due, none more than the jitter after, and their order
// stays. Header only.

#include <chrono>
#include <cstdint>
#include <random>

namespace nimbar::host {

class AudioJitter {
  public:
    using Clock = std::chrono::steady_clock;

    // Up to `max_late_ms` late (0: every packet on time), drawn from a generator of its own seeded
    // with `seed`, so that the same stalls come back with the same seed.
    AudioJitter(int max_late_ms, uint32_t seed) : max_late(std::chrono::milliseconds(max_late_ms)) {
        std::seed_seq sequence{seed, JITTER_STREAM};
        random.seed(sequence);
    }

    // When the packet due at `due` goes out. Asking again for the same packet gives the same time;
    // packets are asked for in the order they fall due.
    Clock::time_point release(Clock::time_point due) {
        if (max_late <= Clock::duration::zero()) {
            return due;
        }
        if (!stalled || due > stall_end) {
            std::uniform_int_distribution<Clock::rep> stall(0, max_late.count());
            stall_end = due + Clock::duration(stall(random));
            stalled = true;
        }
        return stall_end;
    }

  private:
    // Sets the jitter's generator apart from the loss's, which is seeded with the same seed.
    static constexpr uint32_t JITTER_STREAM = 0x6a177e5u;

    Clock::duration max_late;
    std::mt19937 random;
    Clock::time_point stall_end{};
    bool stalled = false;
};

}  // namespace nimbar::host
