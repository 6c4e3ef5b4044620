#pragma once

// Which build of a program the program tests run. By default the Linux build beside the tests;
// an environment variable may name another build, such as the Windows .exe, and
// NIMBAR_LAUNCHER the program that runs it (wine). Tests read what differs from here: the socket
// error codes and whether POSIX signals reach the program.

#include <cstdlib>
#include <string>
#include <vector>

namespace nimbar::testing {

class ProgramUnderTest {
  public:
    // `variable` names the environment variable that may override `default_path`.
    ProgramUnderTest(const char* variable, std::string default_path)
        : path(std::move(default_path)) {
        if (const char* other = std::getenv(variable); other != nullptr && *other != '\0') {
            path = other;
            if (const char* launcher = std::getenv("NIMBAR_LAUNCHER");
                launcher != nullptr && *launcher != '\0') {
                launch_with = launcher;
            }
        }
    }

    // The command line that starts the program with these arguments.
    std::vector<std::string> command(const std::vector<std::string>& arguments = {}) const {
        std::vector<std::string> argv;
        if (!launch_with.empty()) {
            argv.push_back(launch_with);
        }
        argv.push_back(path);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }

    // Runs as a Windows program (under wine): Winsock's error codes, no POSIX signals, and its
    // own idea of its path in argv[0].
    bool windows() const { return !launch_with.empty() || path.ends_with(".exe"); }

    // The socket layer's code for a port already taken and for a datagram too long for the buffer.
    int address_in_use_code() const { return windows() ? 10048 : 98; }
    int message_too_long_code() const { return windows() ? 10040 : 90; }

    std::string path;

  private:
    std::string launch_with;
};

}  // namespace nimbar::testing
