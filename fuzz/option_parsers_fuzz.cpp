// Any command line into the preview's and the host's option parsers: no crash, and an accepted
// preview line that does not ask for help always names a port and a frame size whose byte count
// fits a 32-bit int.
//
// Input: arguments separated by NUL bytes.

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host_options.h"
#include "preview/preview_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments = {"program"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    const int argc = static_cast<int>(argv.size());

    nimbar::preview::PreviewOptions preview;
    if (nimbar::preview::parse_preview_args(argc, argv.data(), preview) && !preview.help) {
        const int64_t bytes = int64_t{preview.width} * preview.height * 4;
        if (preview.port == 0 || preview.width <= 0 || preview.height <= 0 || bytes > INT_MAX) {
            std::abort();
        }
    }
    nimbar::host::HostOptions host;
    if (nimbar::host::parse_host_args(argc, argv.data(), host) && !host.help) {
        if (host.port == 0 || host.fps <= 0 || host.frame_total() < 0) {
            std::abort();
        }
    }
    return 0;
}
