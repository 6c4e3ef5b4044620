#include "receiver/ffmpeg_log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace nimbar::client {

namespace {

// Most library lines written in one second; a stream that makes the decoder complain about every
// frame says all it has to say in far fewer.
constexpr int LIBRARY_LINES_PER_SECOND = 20;
// Longest line kept; anything beyond is cut off.
constexpr size_t LINE_BYTES = 512;

std::atomic<int64_t> current_second{0};
std::atomic<int> lines_this_second{0};

bool within_rate() {
    const int64_t second = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    if (current_second.exchange(second) != second) {
        lines_this_second = 0;
    }
    return ++lines_this_second <= LIBRARY_LINES_PER_SECOND;
}

const char* speaker_name(void* context) {
    if (context == nullptr) {
        return "ffmpeg";
    }
    const AVClass* av_class = *static_cast<const AVClass**>(context);
    return av_class != nullptr && av_class->item_name != nullptr ? av_class->item_name(context)
                                                                 : "ffmpeg";
}

void log_callback(void* context, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_WARNING) {
        return;
    }
    // A message may come in pieces; each thread collects its own until the line ends.
    thread_local char line[LINE_BYTES];
    thread_local size_t used = 0;
    const int written = std::vsnprintf(line + used, sizeof line - used, format, arguments);
    if (written < 0) {
        return;
    }
    used = std::min(sizeof line - 1, used + static_cast<size_t>(written));
    if (used == 0 || line[used - 1] != '\n') {
        if (used < sizeof line - 1) {
            return;  // the rest of the line is still to come
        }
        line[used - 1] = '\n';  // cut off
    }
    if (within_rate()) {
        fprintf(stderr, "[VideoReceiver] %s: %.*s", speaker_name(context), static_cast<int>(used),
                line);
    }
    used = 0;
}

}  // namespace

void route_ffmpeg_log() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(log_callback); });
}

}  // namespace nimbar::client
