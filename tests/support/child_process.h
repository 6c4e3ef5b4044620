#pragma once

// Runs one of the project's programs as a child process, as the host would, and collects what it
// writes to standard output and standard error. The output is kept as text: the CRLF line ends of
// a Windows program read as "\n".

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nimbar::testing {

class ChildProcess {
  public:
    // Starts `argv[0]` (found on the PATH when it has no slash) with the given arguments and the
    // test's own environment.
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }

    // True once `text` has appeared on the child's stdout (or stderr) within `timeout`.
    bool wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout);
    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout);

    // The exit code once the child has ended within `timeout`; -1 if it ended by a signal.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    void send_signal(int signal);

    std::string stdout_text();
    std::string stderr_text();

  private:
    void read_output(int out_fd, int err_fd);
    // Waits for the reader, stopping it when the pipes stay open OUTPUT_DRAIN past the exit.
    void finish_reading();
    static void append_text(std::string& text, bool& pending_cr, const char* bytes, size_t length);
    bool wait_for(const std::string& stream, const std::string& text,
                  std::chrono::milliseconds timeout);

    pid_t pid = -1;
    std::optional<int> exit_code;
    std::thread reader;
    // The reader ends when both pipes close, which a grandchild that inherited them (a sanitizer's
    // symbolizer, a helper a child spawned) may put off for good: past the child's exit it is
    // given a moment to drain, then told to stop.
    std::atomic<bool> reader_done{false};
    std::atomic<bool> stop_reading{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::string out;
    std::string err;
    bool pending_cr[2] = {false, false};  // a '\r' that may begin a CRLF, per stream
};

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t free_udp_port();

}  // namespace nimbar::testing
