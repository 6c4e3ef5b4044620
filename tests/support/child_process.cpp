#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net/udp_socket.h"

extern char** environ;

namespace nimbar::testing {

namespace {

// How often the reader looks whether it has been told to stop.
constexpr int READER_POLL_MS = 100;
// How long the output of a child that exited may take to drain.
constexpr auto OUTPUT_DRAIN = std::chrono::seconds(2);

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);

    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    reader = std::thread(
        [this, out_fd = out_pipe[0], err_fd = err_pipe[0]] { read_output(out_fd, err_fd); });
}

ChildProcess::~ChildProcess() {
    if (pid > 0 && !exit_code) {
        kill(pid, SIGKILL);
        wait_exit(std::chrono::seconds(10));
    }
    finish_reading();
}

void ChildProcess::append_text(std::string& text, bool& pending_cr, const char* bytes,
                               size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (pending_cr && bytes[i] != '\n') {
            text.push_back('\r');
        }
        pending_cr = bytes[i] == '\r';
        if (!pending_cr) {
            text.push_back(bytes[i]);
        }
    }
}

void ChildProcess::read_output(int out_fd, int err_fd) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_streams = 2;
    char buffer[4096];
    while (open_streams > 0 && !stop_reading) {
        const int ready = poll(fds, 2, READER_POLL_MS);
        if (ready < 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
                continue;
            }
            std::lock_guard lock(mutex);
            append_text(i == 0 ? out : err, pending_cr[i], buffer, static_cast<size_t>(n));
            changed.notify_all();
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    reader_done = true;
}

void ChildProcess::finish_reading() {
    const auto deadline = std::chrono::steady_clock::now() + OUTPUT_DRAIN;
    while (!reader_done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop_reading = true;
    if (reader.joinable()) {
        reader.join();
    }
}

bool ChildProcess::wait_for(const std::string& stream, const std::string& text,
                            std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return stream.find(text) != std::string::npos; });
}

bool ChildProcess::wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_for(out, text, timeout);
}

bool ChildProcess::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_for(err, text, timeout);
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    if (exit_code || pid <= 0) {
        return exit_code;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            finish_reading();  // the pipes close with the child: all output is in
            return exit_code;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

void ChildProcess::send_signal(int signal) {
    if (pid > 0 && !exit_code) {
        kill(pid, signal);
    }
}

std::string ChildProcess::stdout_text() {
    std::lock_guard lock(mutex);
    return out;
}

std::string ChildProcess::stderr_text() {
    std::lock_guard lock(mutex);
    return err;
}

uint16_t free_udp_port() {
    net::UDPSocket probe;
    probe.open(0);
    return probe.local_port();
}

}  // namespace nimbar::testing
