#include "net/udp_socket.h"

#include <climits>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
// <winsock2.h> first: the others build on it.
#include <winsock2.h>

#include <mstcpip.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <type_traits>
#ifndef SIO_UDP_CONNRESET  // older SDKs keep it to themselves
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#endif

#include "protocol/line_rate_limit.h"

namespace nimbar::net {

namespace {

// 127.0.0.1: both programs talk to their host on the loopback interface only.
constexpr uint32_t LOOPBACK_ADDRESS = 0x7F000001;

#ifdef _WIN32
static_assert(std::is_same_v<SocketHandle, SOCKET> && INVALID_SOCKET_HANDLE == INVALID_SOCKET);

using AddressLength = int;
using IoLength = int;

int last_socket_error() {
    return WSAGetLastError();
}
bool is_would_block(int code) {
    return code == WSAEWOULDBLOCK;
}
void close_handle(SocketHandle handle) {
    closesocket(handle);
}
bool make_non_blocking(SocketHandle handle) {
    u_long enable = 1;
    return ioctlsocket(handle, FIONBIO, &enable) == 0;
}
// Once a datagram goes to a port where nobody listens (a host that has not opened its control
// port yet, or has gone), Windows fails the socket's next recvfrom with WSAECONNRESET, and goes
// on failing while the replies keep coming. Media must keep flowing whatever happens to a "KFRQ".
bool ignore_port_unreachable(SocketHandle handle) {
    BOOL report = FALSE;
    DWORD returned = 0;
    return WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
                    nullptr, nullptr) == 0;
}
#else
using AddressLength = socklen_t;
using IoLength = size_t;

int last_socket_error() {
    return errno;
}
bool is_would_block(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}
void close_handle(SocketHandle handle) {
    ::close(handle);
}
bool make_non_blocking(SocketHandle handle) {
    int enable = 1;
    return ioctl(handle, FIONBIO, &enable) == 0;
}
// An unconnected POSIX UDP socket never reports a datagram that found no listener.
bool ignore_port_unreachable(SocketHandle) {
    return true;
}
#endif

// Lengths cross the socket API as 32-bit ints, as on Winsock.
IoLength io_length(size_t length) {
    return static_cast<IoLength>(length > INT_MAX ? size_t{INT_MAX} : length);
}

// Waits until the socket is readable: 1 when it is, 0 on time-out, -1 when the wait failed.
int wait_readable(SocketHandle handle, int timeout_ms) {
#ifdef _WIN32
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(handle, &read_set);
    timeval timeout;
    timeout.tv_sec = timeout_ms / 1000;
    timeout.tv_usec = (timeout_ms % 1000) * 1000;
    const int ready = select(0, &read_set, nullptr, nullptr, &timeout);
#else
    // poll, not select: a select fd_set cannot hold descriptors at or above FD_SETSIZE.
    pollfd entry{};
    entry.fd = handle;
    entry.events = POLLIN;
    const int ready = ::poll(&entry, 1, timeout_ms);
#endif
    if (ready < 0) {
        return -1;
    }
    return ready == 0 ? 0 : 1;
}

// Failure lines of receive written in one second at most, per process; a datagram that fails is
// lost either way.
constexpr int RECEIVE_FAILURE_LINES = 10;

void report_receive_failure(int code) {
    static protocol::LineRateLimit limit(RECEIVE_FAILURE_LINES);
    if (limit.allow(protocol::LineRateLimit::Clock::now())) {
        fprintf(stderr, "[UDPSocket] recvfrom() failed: %d\n", code);
    }
}

}  // namespace

bool start_networking() {
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}

void stop_networking() {
#ifdef _WIN32
    WSACleanup();
#endif
}

UDPSocket::~UDPSocket() {
    if (socket_handle != INVALID_SOCKET_HANDLE) {
        close_handle(socket_handle);
    }
}

bool UDPSocket::open(uint16_t port) {
    if (socket_handle != INVALID_SOCKET_HANDLE) {
        fprintf(stderr, "[UDPSocket] Socket already created\n");
        return false;
    }
    socket_handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_handle == INVALID_SOCKET_HANDLE) {
        fprintf(stderr, "[UDPSocket] socket() failed: %d\n", last_socket_error());
        return false;
    }
    if (!make_non_blocking(socket_handle)) {
        fprintf(stderr, "[UDPSocket] ioctlsocket(FIONBIO) failed: %d\n", last_socket_error());
        close_handle(socket_handle);
        socket_handle = INVALID_SOCKET_HANDLE;
        return false;
    }
    if (!ignore_port_unreachable(socket_handle)) {
        // Not fatal: the socket works, though a send to a closed port may cost later reads.
        fprintf(stderr, "[UDPSocket] WSAIoctl(SIO_UDP_CONNRESET) failed: %d\n",
                last_socket_error());
    }

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(LOOPBACK_ADDRESS);
    if (::bind(socket_handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        fprintf(stderr, "[UDPSocket] bind() failed: %d\n", last_socket_error());
        close_handle(socket_handle);
        socket_handle = INVALID_SOCKET_HANDLE;
        return false;
    }

    sockaddr_in bound;
    std::memset(&bound, 0, sizeof bound);
    AddressLength bound_length = sizeof bound;
    if (getsockname(socket_handle, reinterpret_cast<sockaddr*>(&bound), &bound_length) == 0) {
        bound_port = ntohs(bound.sin_port);
    }
    return true;
}

int UDPSocket::send_to(const uint8_t* data, size_t length, const char* host, uint16_t port) {
    if (socket_handle == INVALID_SOCKET_HANDLE) {
        fprintf(stderr, "[UDPSocket] Socket not initialized\n");
        return -1;
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &address.sin_addr) <= 0) {
        fprintf(stderr, "[UDPSocket] Invalid host address: %s\n", host);
        return -1;
    }
    const auto sent =
        ::sendto(socket_handle, reinterpret_cast<const char*>(data), io_length(length), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    const int code = last_socket_error();
    if (!is_would_block(code)) {
        fprintf(stderr, "[UDPSocket] sendto() failed: %d\n", code);
    }
    return -1;
}

int UDPSocket::receive(uint8_t* buffer, size_t capacity, int timeout_ms) {
    const ReadResult result = read(buffer, capacity, timeout_ms);
    switch (result.outcome) {
        case ReadResult::Outcome::Datagram:
            return result.length;
        case ReadResult::Outcome::NothingWaiting:
            return 0;
        case ReadResult::Outcome::Failed:
            break;
    }
    return -1;
}

UDPSocket::ReadResult UDPSocket::read(uint8_t* buffer, size_t capacity, int timeout_ms) {
    using Outcome = ReadResult::Outcome;
    if (socket_handle == INVALID_SOCKET_HANDLE) {
        return {Outcome::Failed};
    }
    if (timeout_ms > 0) {
        const int ready = wait_readable(socket_handle, timeout_ms);
        if (ready <= 0) {
            return {ready == 0 ? Outcome::NothingWaiting : Outcome::Failed};
        }
    }

    sockaddr_in sender{};
    AddressLength sender_length = sizeof sender;
#ifdef _WIN32
    const int flags = 0;
#else
    // With MSG_TRUNC Linux returns the datagram's real length, so an oversized datagram can be
    // reported as Winsock does instead of arriving silently cut short.
    const int flags = MSG_TRUNC;
#endif
    const auto received =
        ::recvfrom(socket_handle, reinterpret_cast<char*>(buffer), io_length(capacity), flags,
                   reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received < 0) {
        const int code = last_socket_error();
        if (is_would_block(code)) {
            return {Outcome::NothingWaiting};
        }
        report_receive_failure(code);
        return {Outcome::Failed};
    }
#ifndef _WIN32
    if (static_cast<size_t>(received) > capacity) {
        report_receive_failure(EMSGSIZE);
        return {Outcome::Failed};
    }
#endif
    const uint64_t sender_key =
        (uint64_t{ntohl(sender.sin_addr.s_addr)} << 16) | ntohs(sender.sin_port);
    return {Outcome::Datagram, static_cast<int>(received), sender_key};
}

bool UDPSocket::set_receive_buffer_size(int bytes) {
    if (socket_handle == INVALID_SOCKET_HANDLE) {
        return false;
    }
    if (setsockopt(socket_handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                   sizeof bytes) != 0) {
        return false;
    }
#ifdef __linux__
    // Linux silently caps SO_RCVBUF at net.core.rmem_max and reports twice the size it granted.
    // A privileged process may go past the cap; anyone else keeps what was granted.
    int granted = 0;
    socklen_t granted_length = sizeof granted;
    if (getsockopt(socket_handle, SOL_SOCKET, SO_RCVBUF, &granted, &granted_length) == 0 &&
        granted / 2 < bytes) {
        setsockopt(socket_handle, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
    }
#endif
    return true;
}

bool UDPSocket::set_send_buffer_size(int bytes) {
    if (socket_handle == INVALID_SOCKET_HANDLE) {
        return false;
    }
    return setsockopt(socket_handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

void UDPSocket::close() {
    if (socket_handle == INVALID_SOCKET_HANDLE) {
        return;
    }
    close_handle(socket_handle);
    socket_handle = INVALID_SOCKET_HANDLE;
    bound_port = 0;
}

}  // namespace nimbar::net
