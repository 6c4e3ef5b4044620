#pragma once

// A thin owner of one non-blocking UDP socket bound to 127.0.0.1. Never throws: every operation
// reports its outcome in its result, and failures the caller cannot see from the result alone are
// written as one "[UDPSocket] ..." line to standard error.
//
// Winsock on Windows, POSIX sockets elsewhere; the interface, results and messages are the same.
// Where the two differ (would-block codes, datagrams larger than the buffer), the POSIX side is
// made to behave as Winsock does.

#include <cstddef>
#include <cstdint>

namespace nimbar::net {

// No Windows header here: <winsock2.h> brings <windows.h> to every includer.
#ifdef _WIN32
using SocketHandle = uintptr_t;  // Winsock's SOCKET
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;
#endif

// Bracket all socket use in a program. start_networking is true when the socket layer is ready;
// it prints nothing. stop_networking is called once, at normal shutdown.
bool start_networking();
void stop_networking();

class UDPSocket {
  public:
    UDPSocket() = default;
    ~UDPSocket();  // closes the socket if one is open; nothing else
    UDPSocket(const UDPSocket&) = delete;
    UDPSocket& operator=(const UDPSocket&) = delete;

    // Creates the socket, makes it non-blocking and binds it to 127.0.0.1:port (0 lets the system
    // choose; local_port() then tells which). False after a message; the object is then closed,
    // except when it was already open, in which case the open socket is left untouched.
    bool open(uint16_t port);

    // Sends one datagram to an IPv4 literal (no name lookup). Bytes sent, or -1; a send that would
    // block fails silently, any other failure with a message. The socket stays open either way.
    int send_to(const uint8_t* data, size_t length, const char* host, uint16_t port);

    // Reads one datagram into buffer. With timeout_ms > 0 waits up to that long for one to arrive;
    // otherwise never waits. Returns its length, 0 when nothing was waiting (or an empty
    // datagram), -1 on failure. A datagram longer than capacity is lost and reported as the
    // platform's message-too-long failure. -1 without a message when the socket is closed or the
    // wait itself failed. Failure lines are written at most RECEIVE_FAILURE_LINES a second (per
    // process): a flood of bad datagrams must not flood the host's log.
    int receive(uint8_t* buffer, size_t capacity, int timeout_ms);

    // The same read, telling an empty datagram from nothing waiting: a reader that drains the
    // socket must go on past an empty or a lost datagram, and stop only when none waits.
    struct [[nodiscard]] ReadResult {
        enum class Outcome { Datagram, NothingWaiting, Failed };
        Outcome outcome = Outcome::NothingWaiting;
        int length = 0;  // of the datagram; 0 for an empty one
        // Who sent it: the IPv4 address and port, as (address << 16) | port in host byte order.
        uint64_t sender = 0;
    };
    ReadResult read(uint8_t* buffer, size_t capacity, int timeout_ms);

    // True when the system accepted the option. On Linux the kernel caps the receive buffer at
    // net.core.rmem_max; where that cap bites and the process may exceed it, the cap is lifted.
    bool set_receive_buffer_size(int bytes);
    bool set_send_buffer_size(int bytes);

    uint16_t local_port() const { return bound_port; }
    bool is_open() const { return socket_handle != INVALID_SOCKET_HANDLE; }
    void close();

  private:
    SocketHandle socket_handle = INVALID_SOCKET_HANDLE;
    uint16_t bound_port = 0;
};

}  // namespace nimbar::net
