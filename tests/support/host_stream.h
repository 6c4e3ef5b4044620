#pragma once

// The host's compressed mode on loopback, for the host's own tests: stream_video_frames on a
// thread, and every datagram it sends as it arrived, checked as the viewer checks it, with the
// frames rebuilt from their fragments. Header only, so that the unit tests need no extra sources.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host/host_options.h"
#include "host/stream_summary.h"
#include "host/video_stream.h"
#include "net/udp_socket.h"
#include "protocol/media_datagram.h"

namespace nimbar::testing {

// Waits that only a broken build runs into; nothing here measures speed.
inline constexpr auto GENEROUS = std::chrono::seconds(20);

// A port free a moment ago; also tells apart the files of test runs sharing a directory.
inline uint16_t unused_port() {
    net::UDPSocket probe;
    probe.open(0);
    return probe.local_port();
}

// Bytes that compress badly, different for every seed.
inline std::vector<uint8_t> noise(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

// A file in the temporary directory for as long as the object lives; `name` ends in its extension.
class TempFile {
  public:
    TempFile(const std::string& name, const std::vector<uint8_t>& bytes)
        : path((std::filesystem::temp_directory_path() /
                ("nimbar_host_" + std::to_string(unused_port()) + "_" + name))
                   .string()) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::filesystem::remove(path); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string path;
};

struct Arrival {
    bool audio = false;
    uint32_t sequence = 0;                // audio
    protocol::FragmentHeader fragment{};  // video
    std::vector<uint8_t> payload;         // the Opus packet or the fragment's bytes
    std::chrono::steady_clock::time_point at;
};

class LoopbackReceiver {
  public:
    LoopbackReceiver() {
        EXPECT_TRUE(socket.open(0));
        socket.set_receive_buffer_size(4 << 20);
    }

    uint16_t port() const { return socket.local_port(); }

    // Reads until `done` holds or the generous wait ends; true when it held.
    bool receive_until(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + GENEROUS;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            read_one(20);
        }
        return true;
    }

    // Reads whatever still arrives until the line stays quiet for a moment.
    void drain() {
        while (read_one(200)) {
        }
    }

    // The frames whose every fragment arrived, by id. A repeated fragment must match the first.
    std::map<uint32_t, std::vector<uint8_t>> frames() const {
        std::map<uint32_t, std::vector<std::vector<uint8_t>>> pieces;
        for (const Arrival& arrival : arrivals) {
            if (arrival.audio) {
                continue;
            }
            auto& frame = pieces[arrival.fragment.frame_id];
            if (frame.empty()) {
                frame.resize(arrival.fragment.fragment_count);
            }
            if (frame.size() != arrival.fragment.fragment_count) {
                ADD_FAILURE() << "fragment counts differ in frame " << arrival.fragment.frame_id;
                continue;
            }
            auto& piece = frame[arrival.fragment.fragment_index];
            EXPECT_TRUE(piece.empty() || piece == arrival.payload);
            piece = arrival.payload;
        }
        std::map<uint32_t, std::vector<uint8_t>> whole;
        for (const auto& [id, frame] : pieces) {
            std::vector<uint8_t> bytes;
            for (const auto& piece : frame) {
                if (piece.empty()) {
                    bytes.clear();
                    break;
                }
                bytes.insert(bytes.end(), piece.begin(), piece.end());
            }
            if (!bytes.empty()) {
                whole[id] = std::move(bytes);
            }
        }
        return whole;
    }

    std::vector<Arrival> arrivals;

  private:
    bool read_one(int timeout_ms) {
        uint8_t buffer[2048];
        const int length = socket.receive(buffer, sizeof buffer, timeout_ms);
        if (length <= 0) {
            return false;
        }
        const std::span<const uint8_t> datagram(buffer, static_cast<size_t>(length));
        Arrival arrival;
        arrival.at = std::chrono::steady_clock::now();
        const auto common = protocol::read_common_header(datagram);
        EXPECT_TRUE(common.has_value());
        if (common && protocol::classify_datagram(datagram) == protocol::DatagramKind::Audio) {
            arrival.audio = true;
            arrival.sequence = common->sequence;
            EXPECT_TRUE(protocol::audio_datagram_acceptable(*common, datagram.size()));
            EXPECT_EQ(common->data_size, datagram.size() - protocol::COMMON_HEADER_SIZE);
            arrival.payload.assign(datagram.begin() + protocol::COMMON_HEADER_SIZE, datagram.end());
        } else {
            const auto header = protocol::read_fragment_header(datagram);
            const bool acceptable = header &&
                                    protocol::video_fragment_acceptable(*header, datagram.size()) &&
                                    header->fragment_index < header->fragment_count;
            EXPECT_TRUE(acceptable);
            if (!acceptable) {
                return true;
            }
            EXPECT_EQ(header->payload_size, datagram.size() - protocol::FRAGMENT_HEADER_SIZE);
            EXPECT_TRUE(header->fragment_index + 1 == header->fragment_count ||
                        header->payload_size == protocol::FRAGMENT_PAYLOAD);
            arrival.fragment = *header;
            arrival.payload.assign(datagram.begin() + protocol::FRAGMENT_HEADER_SIZE,
                                   datagram.end());
        }
        arrivals.push_back(std::move(arrival));
        return true;
    }

    net::UDPSocket socket;
};

// stream_video_frames on a thread of its own, stopped and joined at the latest on destruction.
class StreamRun {
  public:
    explicit StreamRun(const host::HostOptions& options)
        : started(std::chrono::steady_clock::now()), thread([this, options] {
              ok = host::stream_video_frames(options, stop, summary);
              done = true;
          }) {}
    ~StreamRun() { finish(); }

    void finish() {
        stop = true;
        join();
    }
    // Waits for the run to end on its own.
    void join() {
        if (thread.joinable()) {
            thread.join();
        }
    }

    const std::chrono::steady_clock::time_point started;  // no later than the stream's clock
    std::atomic<bool> stop{false};
    std::atomic<bool> ok{false};
    std::atomic<bool> done{false};
    host::StreamSummary summary;  // read it once done

  private:
    std::thread thread;
};

// Runs the stream to its end, reading while it runs (arrival times stay close to sending times,
// and no socket buffer can overflow), then whatever is still on the way.
inline void run_to_end(host::HostOptions options, LoopbackReceiver& receiver,
                       host::StreamSummary& summary,
                       std::chrono::steady_clock::time_point* started = nullptr) {
    options.port = receiver.port();
    StreamRun run(options);
    EXPECT_TRUE(receiver.receive_until([&] { return run.done.load(); }));
    run.join();
    receiver.drain();
    EXPECT_TRUE(run.ok);
    summary = run.summary;
    if (started != nullptr) {
        *started = run.started;
    }
}

}  // namespace nimbar::testing
