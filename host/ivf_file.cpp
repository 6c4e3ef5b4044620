#include "host/ivf_file.h"

#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "protocol/byte_order.h"
#include "protocol/keyframe.h"
#include "protocol/media_datagram.h"

namespace nimbar::host {

namespace {

constexpr size_t FILE_HEADER_SIZE = 32;
constexpr size_t FRAME_HEADER_SIZE = 12;
constexpr uint16_t IVF_VERSION = 0;
// Where the fields sit in the file header.
constexpr size_t VERSION_AT = 4;
constexpr size_t HEADER_SIZE_AT = 6;
constexpr size_t FOURCC_AT = 8;
constexpr size_t WIDTH_AT = 12;
constexpr size_t HEIGHT_AT = 14;
constexpr size_t RATE_AT = 16;
constexpr size_t SCALE_AT = 20;
constexpr size_t FRAME_COUNT_AT = 24;
constexpr char MAGIC[] = "DKIF";
constexpr char VP8_FOURCC[] = "VP80";
constexpr char H264_FOURCC[] = "H264";
// The largest side the header's 16-bit fields hold.
constexpr int MAX_SIDE = std::numeric_limits<uint16_t>::max();
// A frame of more fragments cannot be sent whole, so no clip needs one.
constexpr size_t MAX_FRAME_BYTES = size_t{protocol::MAX_FRAGMENTS} * protocol::FRAGMENT_PAYLOAD;
// As many as stream_host --preencode takes (a minute at 60 frames/s): the clip stays in memory for
// the whole run.
constexpr size_t MAX_CLIP_FRAMES = 3600;

// A file open for reading, closed on every way out.
class InputFile {
  public:
    explicit InputFile(const std::string& path) : file(std::fopen(path.c_str(), "rb")) {}
    ~InputFile() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool ok() const { return file != nullptr; }
    // How many of the `size` bytes asked for were read; fewer only at the end or on an error.
    size_t read(uint8_t* bytes, size_t size) { return std::fread(bytes, 1, size, file); }
    bool skip(size_t size) { return std::fseek(file, static_cast<long>(size), SEEK_CUR) == 0; }

  private:
    std::FILE* file;
};

bool refuse(const std::string& path, const char* what) {
    fprintf(stderr, "[Host] Error: %s %s\n", path.c_str(), what);
    return false;
}

}  // namespace

bool is_keyframe(VideoCodec codec, std::span<const uint8_t> frame) {
    return codec == VideoCodec::H264 ? protocol::is_h264_idr(frame)
                                     : protocol::is_vp8_keyframe(frame);
}

bool read_ivf(const std::string& path, IvfClip& clip) {
    InputFile file(path);
    if (!file.ok()) {
        return refuse(path, "cannot be read");
    }
    std::array<uint8_t, FILE_HEADER_SIZE> header{};
    if (file.read(header.data(), header.size()) != header.size()) {
        return refuse(path, "is too short for an IVF header");
    }
    if (std::memcmp(header.data(), MAGIC, 4) != 0) {
        return refuse(path, "is not an IVF file");
    }
    if (protocol::load_u16_le(&header[VERSION_AT]) != IVF_VERSION) {
        return refuse(path, "has an IVF version other than 0");
    }
    const uint16_t header_size = protocol::load_u16_le(&header[HEADER_SIZE_AT]);
    if (header_size < FILE_HEADER_SIZE || !file.skip(header_size - FILE_HEADER_SIZE)) {
        return refuse(path, "has a bad IVF header size");
    }
    if (std::memcmp(&header[FOURCC_AT], VP8_FOURCC, 4) == 0) {
        clip.codec = VideoCodec::VP8;
    } else if (std::memcmp(&header[FOURCC_AT], H264_FOURCC, 4) == 0) {
        clip.codec = VideoCodec::H264;
    } else {
        return refuse(path, "holds neither VP80 nor H264");
    }
    clip.width = protocol::load_u16_le(&header[WIDTH_AT]);
    clip.height = protocol::load_u16_le(&header[HEIGHT_AT]);
    clip.frames.clear();

    std::array<uint8_t, FRAME_HEADER_SIZE> frame_header{};
    for (;;) {
        const size_t got = file.read(frame_header.data(), frame_header.size());
        if (got == 0) {
            break;
        }
        const size_t number = clip.frames.size() + 1;
        if (got != frame_header.size()) {
            fprintf(stderr, "[Host] Error: %s: the header of frame %zu is cut short\n",
                    path.c_str(), number);
            return false;
        }
        const uint32_t size = protocol::load_u32_le(frame_header.data());
        if (size == 0 || size > MAX_FRAME_BYTES) {
            fprintf(stderr, "[Host] Error: %s: frame %zu is %u bytes, not 1 to %zu\n", path.c_str(),
                    number, static_cast<unsigned>(size), MAX_FRAME_BYTES);
            return false;
        }
        if (number > MAX_CLIP_FRAMES) {
            fprintf(stderr, "[Host] Error: %s holds more than %zu frames\n", path.c_str(),
                    MAX_CLIP_FRAMES);
            return false;
        }
        EncodedFrame frame;
        frame.bytes.resize(size);
        if (file.read(frame.bytes.data(), size) != size) {
            fprintf(stderr, "[Host] Error: %s: frame %zu is cut short\n", path.c_str(), number);
            return false;
        }
        frame.keyframe = is_keyframe(clip.codec, frame.bytes);
        clip.frames.push_back(std::move(frame));
    }
    if (clip.frames.empty()) {
        return refuse(path, "holds no frames");
    }
    return true;
}

IvfWriter::~IvfWriter() {
    if (file != nullptr) {
        std::fclose(file);
    }
}

bool IvfWriter::open(const std::string& target, VideoCodec codec, int width, int height,
                     uint32_t fps) {
    path = target;
    if (width < 1 || width > MAX_SIDE || height < 1 || height > MAX_SIDE || fps == 0) {
        fprintf(stderr, "[Host] Error: %s: an IVF file cannot hold %dx%d at %u frames/s\n",
                path.c_str(), width, height, static_cast<unsigned>(fps));
        return false;
    }
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return fail("cannot be written");
    }
    std::array<uint8_t, FILE_HEADER_SIZE> header{};
    std::memcpy(header.data(), MAGIC, 4);
    protocol::store_u16_le(&header[VERSION_AT], IVF_VERSION);
    protocol::store_u16_le(&header[HEADER_SIZE_AT], FILE_HEADER_SIZE);
    std::memcpy(&header[FOURCC_AT], codec == VideoCodec::VP8 ? VP8_FOURCC : H264_FOURCC, 4);
    protocol::store_u16_le(&header[WIDTH_AT], static_cast<uint16_t>(width));
    protocol::store_u16_le(&header[HEIGHT_AT], static_cast<uint16_t>(height));
    protocol::store_u32_le(&header[RATE_AT], fps);
    protocol::store_u32_le(&header[SCALE_AT], 1);
    frames = 0;
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
        return fail("cannot be written");
    }
    return true;
}

bool IvfWriter::add(std::span<const uint8_t> frame) {
    if (file == nullptr) {
        return fail("is not open");
    }
    if (frame.size() > std::numeric_limits<uint32_t>::max()) {
        return fail("cannot hold a frame of 4 GiB or more");
    }
    std::array<uint8_t, FRAME_HEADER_SIZE> header{};
    protocol::store_u32_le(header.data(), static_cast<uint32_t>(frame.size()));
    protocol::store_u64_le(&header[4], frames);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size() ||
        std::fwrite(frame.data(), 1, frame.size(), file) != frame.size()) {
        return fail("cannot be written");
    }
    ++frames;
    return true;
}

bool IvfWriter::finish() {
    if (file == nullptr) {
        return fail("is not open");
    }
    std::array<uint8_t, 4> count{};
    protocol::store_u32_le(count.data(), frames);
    const bool written = std::fseek(file, FRAME_COUNT_AT, SEEK_SET) == 0 &&
                         std::fwrite(count.data(), 1, count.size(), file) == count.size();
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    return written && closed ? true : fail("cannot be written");
}

bool IvfWriter::fail(const char* what) {
    return refuse(path, what);
}

}  // namespace nimbar::host
