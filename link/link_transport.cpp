#include "link/link_transport.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/link_clock.h"
#include "link/link_state.h"

namespace brix {

namespace {

// Set and read by the thread that opens the socket (the user-interface or main thread) only.
std::string interfaceName;
LinkSocketFailure lastFailure = LinkSocketFailure::None;
char failureText[96] = {};

// Closes the half-made socket and keeps the reason of the failure for the user.
template <typename... Args>
bool fail(int fd, LinkSocketFailure failure, const char* format, Args... args) {
    if (fd >= 0)
        ::close(fd);
    lastFailure = failure;
    std::snprintf(failureText, sizeof failureText, format, args...);
    return false;
}

}  // namespace

void setLinkInterface(const char* name) {
    interfaceName = name != nullptr ? name : "";
}

LinkSocketFailure linkSocketFailure() {
    return lastFailure;
}

const char* linkSocketFailureText() {
    return failureText;
}

bool openLinkSocket() {
    return openLinkSocket(kProductEndpoints);
}

bool openLinkSocket(const LinkEndpoints& endpoints) {
    LinkState& st = linkState();
    lastFailure = LinkSocketFailure::None;
    failureText[0] = '\0';
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(fd, LinkSocketFailure::Socket, "cannot make a socket: %s",
                    std::strerror(errno));

    if (!interfaceName.empty()) {
        // A name the system cannot hold names no interface; it is never cut to one that does.
        const char* name = interfaceName.c_str();
        if (interfaceName.size() >= IF_NAMESIZE || ::if_nametoindex(name) == 0)
            return fail(fd, LinkSocketFailure::NoSuchInterface, "no such interface: %.40s", name);
        if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name,
                         static_cast<socklen_t>(interfaceName.size())) != 0)
            return fail(fd, LinkSocketFailure::InterfaceRefused, "cannot bind to interface %s: %s",
                        name, std::strerror(errno));
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(endpoints.localAddress);
    local.sin_port = htons(endpoints.localPort);
    // No SO_REUSEADDR: a second program on the port must fail here.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        const unsigned port = endpoints.localPort;
        if (error == EADDRINUSE)
            return fail(fd, LinkSocketFailure::PortInUse, "port %u is in use", port);
        return fail(fd, LinkSocketFailure::Bind, "cannot bind port %u: %s", port,
                    std::strerror(error));
    }
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return fail(fd, LinkSocketFailure::Socket, "cannot allow broadcast: %s",
                    std::strerror(errno));
    st.destinationAddress.store(endpoints.destinationAddress);
    st.destinationPort.store(endpoints.destinationPort);
    st.socket.store(fd);
    return true;
}

int linkSocketPort() {
    int fd = linkState().socket.load();
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return -1;
    return ntohs(local.sin_port);
}

void closeLinkSocket() {
    int fd = linkState().socket.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

void sendFrame(const std::uint8_t* frame, std::uint16_t length) {
    LinkState& st = linkState();
    int fd = st.socket.load();
    if (fd >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(st.destinationAddress.load());
        to.sin_port = htons(st.destinationPort.load());
        // A lost frame is repaired by the periodic queries and the retries.
        if (::sendto(fd, frame, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(length))
            st.framesSent.fetch_add(1, std::memory_order_relaxed);
    }
    setLinkActivity(0);
}

bool receiveFrame(std::uint8_t* buffer, std::uint16_t capacity, std::int16_t& count,
                  LinkClock& clock) {
    int fd = linkState().socket.load();
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
            // The count is 16-bit signed; no larger capacity can be reported.
            std::size_t room = capacity > 32767 ? 32767 : capacity;
            ssize_t n = ::recv(fd, buffer, room, MSG_DONTWAIT);
            if (n > 0) {
                count = static_cast<std::int16_t>(n);
                return true;
            }
        }
    }
    clock.idleSleep();
    return false;
}

bool receiveFrame(std::uint8_t* buffer, std::uint16_t capacity, std::int16_t& count) {
    return receiveFrame(buffer, capacity, count, steadyLinkClock());
}

}  // namespace brix
