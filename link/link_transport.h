#pragma once
// The one UDP socket of the link: bound to port 30587 on every interface, broadcasting every
// frame to 255.255.255.255:30588. Receiving never waits on the socket (a read that finds nothing
// returns at once).
// When another program of this PC holds the port and offers its link (link_share.h), the
// socket is a local one to that program instead, and every function here works the same.

#include <cstdint>

namespace brix {

class LinkClock;

// Addresses and ports in host order.
struct LinkEndpoints {
    std::uint32_t localAddress;
    std::uint16_t localPort;  // 0 lets the system choose
    std::uint32_t destinationAddress;
    std::uint16_t destinationPort;
};

inline constexpr std::uint16_t kLocalPort = 30587;
inline constexpr std::uint16_t kModemPort = 30588;
inline constexpr LinkEndpoints kProductEndpoints{0x00000000u, kLocalPort, 0xFFFFFFFFu, kModemPort};

// Creates the IPv4 datagram socket, binds 0.0.0.0:30587 and allows broadcast, and offers the
// link to the other programs of the PC. When the port is taken, attaches to the program that
// holds it (waiting up to 1 s for one that is just starting); a holder that offers no link is a
// PortInUse failure whose text names it where /proc shows it. A link on port 0 is never offered.
// False at the first failing step; a half-made socket is closed again.
bool openLinkSocket();

// The same on other endpoints (another local port, another modem address).
bool openLinkSocket(const LinkEndpoints& endpoints);

// The port the link socket is bound to, -1 when closed (port 0 binds any free one).
int linkSocketPort();

// The network interface the link socket is bound to from the next open on (SO_BINDTODEVICE):
// on a host whose default route leads elsewhere, the only way for a broadcast to reach the
// modem's segment. Null or empty: any interface, the default route's for sending.
void setLinkInterface(const char* name);

// The step at which the last openLinkSocket failed (None after a successful open).
enum class LinkSocketFailure { None, Socket, NoSuchInterface, InterfaceRefused, PortInUse, Bind };
LinkSocketFailure linkSocketFailure();
// The reason of the last failure for the user, for instance "no such interface: eth9" or
// "port 30587 is in use"; empty after a successful open.
const char* linkSocketFailureText();

// Closes the link socket (called by linkStop after the thread has ended).
void closeLinkSocket();

// Sends the first `length` bytes as one datagram to the modem's port. Failures are ignored.
// Marks activity 0 (just sent) afterwards, whether or not the send worked.
void sendFrame(const std::uint8_t* frame, std::uint16_t length);

// Without waiting: if a datagram waits, reads at most `capacity` bytes of it, stores the byte
// count and returns true. Otherwise (or when the read fails or yields nothing) waits
// clock.idleSleep() and returns false. Under a flood one read takes several datagrams, handed out
// one a call, so that the link thread does not pay a system call for each. An attached link that
// finds its owner gone takes over (binds the port) or attaches again here, and delivers the Console
// lines the relay left.
bool receiveFrame(std::uint8_t* buffer, std::uint16_t capacity, std::int16_t& count,
                  LinkClock& clock);
bool receiveFrame(std::uint8_t* buffer, std::uint16_t capacity, std::int16_t& count);
// True while datagrams that one read took are still to be handed out (link thread).
bool linkReadAheadWaiting();
// Milliseconds until the link itself has something to do that no datagram brings (another try
// to take over or attach after the owner went, a look for the service's claim); -1 for nothing.
// A clock that sleeps until something is due wakes for it. Link thread.
std::int32_t msUntilLinkDue();
// Whether this program records the history while it owns the link: when the owner goes, one
// that does takes over before one that does not.
void setLinkRecordsHistory(bool records);

}  // namespace brix
