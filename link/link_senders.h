#pragma once
// Whom the link takes datagrams from. Only the modem's port: anything else on the segment (or
// on this PC) that sends to the link's port from another is no modem. With an interface
// chosen, also only from another host: a local program that sends to the interface's address
// or its broadcast is not the modem behind that interface. Without one, a simulated modem on
// this PC still works.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

namespace brix {

struct SenderRule {
    std::uint16_t modemPort = 0;  // host order; 0 takes any
    bool otherHostsOnly = false;
};

// True when a datagram from `from` is to be taken under `rule`.
bool acceptedSender(const sockaddr_in& from, const SenderRule& rule);

// Datagrams left untaken for their sender since the program started.
std::uint64_t linkSendersRefused();

}  // namespace brix
