// The bare receive rate for comparison with the preview: binds a port with the preview's 4 MiB
// buffer and reads datagrams without looking at them, as fast as recvfrom allows.
//
//   udp_drain --port <port> --seconds <s>
// prints "[Drain] datagrams=.. bytes=.. seconds=.. rate=../s" once the time is up.

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/udp_socket.h"

int main(int argc, char** argv) {
    uint16_t port = 0;
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) {
            port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        }
    }
    nimbar::net::UDPSocket socket;
    if (port == 0 || !socket.open(port)) {
        fprintf(stderr, "usage: %s --port <port> [--seconds <s>]\n", argv[0]);
        return 1;
    }
    socket.set_receive_buffer_size(4 * 1024 * 1024);
    printf("[Drain] Ready on port %u\n", static_cast<unsigned>(port));
    fflush(stdout);

    uint8_t buffer[2048];
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point first{};
    Clock::time_point last{};
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        const int length = socket.receive(buffer, sizeof buffer, 5);
        if (length <= 0) {
            continue;
        }
        last = Clock::now();
        if (datagrams == 0) {
            first = last;
        }
        ++datagrams;
        bytes += static_cast<uint64_t>(length);
    }
    const double active = std::chrono::duration<double>(last - first).count();
    printf("[Drain] datagrams=%" PRIu64 " bytes=%" PRIu64 " seconds=%.3f rate=%.0f/s\n", datagrams,
           bytes, active, active > 0 ? static_cast<double>(datagrams) / active : 0.0);
    return 0;
}
