#include "receiver/ffmpeg_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "protocol/line_rate_limit.h"

namespace nimbar::client {

namespace {

// Most library lines written in one second; a stream that makes the decoder complain about every
// frame says all it has to say in far fewer.
constexpr int LIBRARY_LINES_PER_SECOND = 20;
// Longest line kept; anything beyond is cut off.
constexpr size_t LINE_BYTES = 512;

protocol::LineRateLimit line_limit(LIBRARY_LINES_PER_SECOND);

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
    // One message may hold several lines: each goes out as a line of its own, tagged.
    for (size_t start = 0; start < used;) {
        const size_t end = static_cast<size_t>(
            static_cast<const char*>(std::memchr(line + start, '\n', used - start)) - line);
        if (end > start && line_limit.allow(protocol::LineRateLimit::Clock::now())) {
            fprintf(stderr, "[VideoReceiver] %s: %.*s\n", speaker_name(context),
                    static_cast<int>(end - start), line + start);
        }
        start = end + 1;
    }
    used = 0;
}

}  // namespace

void route_ffmpeg_log() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(log_callback); });
}

}  // namespace nimbar::client
