#include "link/link_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/link_clock.h"
#include "link/link_state.h"

namespace brix {

bool openLinkSocket() {
    return openLinkSocket(kProductEndpoints);
}

bool openLinkSocket(const LinkEndpoints& endpoints) {
    LinkState& st = linkState();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(endpoints.localAddress);
    local.sin_port = htons(endpoints.localPort);
    // No SO_REUSEADDR: a second program on the port must fail here.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return false;
    }
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        ::close(fd);
        return false;
    }
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
        (void)::sendto(fd, frame, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
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
