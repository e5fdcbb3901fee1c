#include "link/link_transport.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/link_clock.h"
#include "link/link_events.h"
#include "link/link_frame.h"
#include "link/link_presence.h"
#include "link/link_senders.h"
#include "link/link_share.h"
#include "link/link_state.h"

namespace brix {

namespace {

// Set and read by the thread that opens the socket (the user-interface or main thread) only.
std::string interfaceName;
LinkSocketFailure lastFailure = LinkSocketFailure::None;
char failureText[384] = {};

std::atomic<LinkRole> role{LinkRole::Closed};
// The bound UDP socket while we own the link (the relay reads it; we send on it).
std::atomic<int> udpSocket{-1};

// What a takeover binds or attaches to: set by the open, then read by the link thread only.
LinkEndpoints openedEndpoints{};
std::string openedInterface;
// Link thread only: when the next takeover attempt is due.
std::int32_t nextRecoveryMs = 0;

constexpr std::int32_t kRecoveryStepMs = 50;
// The service takes the link from another owner: how long it waits for the port after its
// claim is up, how often an owner looks for a claim, and how long the programs that had the
// link attach only (to the service) rather than take the port.
constexpr std::int32_t kClaimWaitMs = 3000;
constexpr std::int32_t kClaimLookMs = 500;
constexpr std::int32_t kHandoverMs = 3000;
// A program that records no history tries only to attach this long after its owner went.
constexpr std::int32_t kDeferToRecorderMs = 600;
std::atomic<bool> recordsHistory{false};
// Link thread only.
std::int32_t lostAtMs = 0;
bool asService = false;
std::int32_t nextClaimLookMs = 0;
std::int32_t handoverUntilMs = 0;
bool handingOver = false;

// What one read of the link socket took, handed out a datagram a call: under a flood a poll and
// a recv for each datagram cost the link thread more than the datagram's handling. Each datagram
// is kept as the relay packs them for the own link (link_share.h): its 16-bit length, its bytes.
// Link thread only (the reader of the socket).
constexpr unsigned kReadAhead = 16;  // datagrams read at once from a socket of datagrams
struct ReadAhead {
    std::uint8_t bytes[kSharePackBytes];
    std::size_t at = 0;
    std::size_t end = 0;
    unsigned generation = 0;  // of the socket they came from
};
ReadAhead readAhead;
// Changes whenever the link socket does, so that nothing read from an old one is handed out.
std::atomic<unsigned> socketGeneration{0};
// A program that starts while another one is starting may find the port bound but not yet
// offered: it keeps trying this long before it reports the port as taken.
constexpr std::int32_t kAttachPatienceMs = 1000;

struct BindFailure {
    LinkSocketFailure failure = LinkSocketFailure::None;
    char text[sizeof failureText] = {};
};

template <typename... Args>
int failBind(int fd, BindFailure& out, LinkSocketFailure failure, const char* format,
             Args... args) {
    if (fd >= 0)
        ::close(fd);
    out.failure = failure;
    std::snprintf(out.text, sizeof out.text, format, args...);
    return -1;
}

// Makes the IPv4 datagram socket on `endpoints` (bound to `device` when not empty) that
// broadcasts. The socket, or -1 with the failing step in `out`.
int bindUdp(const LinkEndpoints& endpoints, const std::string& device, BindFailure& out) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failBind(fd, out, LinkSocketFailure::Socket, "cannot make a socket: %s",
                        std::strerror(errno));

    if (!device.empty()) {
        // A name the system cannot hold names no interface; it is never cut to one that does.
        const char* name = device.c_str();
        if (device.size() >= IF_NAMESIZE || ::if_nametoindex(name) == 0)
            return failBind(fd, out, LinkSocketFailure::NoSuchInterface, "no such interface: %.40s",
                            name);
        if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name,
                         static_cast<socklen_t>(device.size())) != 0)
            return failBind(fd, out, LinkSocketFailure::InterfaceRefused,
                            "cannot bind to interface %s: %s", name, std::strerror(errno));
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(endpoints.localAddress);
    local.sin_port = htons(endpoints.localPort);
    // No SO_REUSEADDR: the port has one owner; the others attach to it.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        const unsigned port = endpoints.localPort;
        if (error == EADDRINUSE)
            return failBind(fd, out, LinkSocketFailure::PortInUse, "port %u is in use", port);
        return failBind(fd, out, LinkSocketFailure::Bind, "cannot bind port %u: %s", port,
                        std::strerror(error));
    }
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return failBind(fd, out, LinkSocketFailure::Socket, "cannot allow broadcast: %s",
                        std::strerror(errno));
    return fd;
}

share::Key shareKey() {
    return share::Key{openedEndpoints.localPort, openedInterface};
}

// A link on a port of the system's choice is private to this program: nobody can look for it.
bool shared() {
    return openedEndpoints.localPort != 0;
}

void becomeOwner(int udp) {
    LinkState& st = linkState();
    st.destinationAddress.store(openedEndpoints.destinationAddress);
    st.destinationPort.store(openedEndpoints.destinationPort);
    udpSocket.store(udp);
    socketGeneration.fetch_add(1);
    const int link = shared() ? share::offer(udp, shareKey(), openedEndpoints.destinationAddress,
                                             openedEndpoints.destinationPort)
                              : -1;
    st.socket.store(link >= 0 ? link : udp);
    role.store(LinkRole::Owner);
    publishLinkEvent(RoleChanged{LinkRole::Owner, {}});
    share::dropClaim();
    handingOver = false;
    nextClaimLookMs = msSinceProgramStart() + kClaimLookMs;
}

void becomeAttached(int fd) {
    udpSocket.store(-1);
    socketGeneration.fetch_add(1);
    linkState().socket.store(fd);
    role.store(LinkRole::Attached);
    publishLinkEvent(RoleChanged{LinkRole::Attached, linkOwnerName()});
}

void consoleLine(const std::string& text) {
    if (LinkPeer* peer = linkPeer())
        peer->addConsoleMessage(MessageKind::Application, text.c_str(), true);
    publishLinkEvent(LinkNotice{text});
}

// The owner has gone: from now on the link thread takes over or attaches again.
// Link thread only: recovery attempts since the owner went, and whether the user was told why
// none works.
int recoveryAttempts = 0;
// Why the port, found taken, gave this program no link: "held by H, which offers no link to
// attach to", or whose link was refused, is for another interface choice or for a group.
std::string portHeldText(std::uint16_t port) {
    uid_t holderUid = 0;
    const std::string holder = share::portHolder(port, &holderUid);
    std::string choice, folder, group;
    const std::string refused = share::attachRefusal();
    if (!refused.empty())
        // Someone else's socket where ours would be: never attached to, and said so.
        return "held by " + (holder.empty() ? std::string("a program") : holder) +
               "; the link offered for it was refused: " + refused;
    if (holder.empty())
        return "in use by a program that offers no link to attach to";
    if (share::offeredForOtherChoice(shareKey(), choice))
        return "held by " + holder + ", which offers its link only to programs " +
               (choice.empty() ? std::string("that name no interface")
                               : "on interface " + choice.substr(0, 40));
    if (share::closedServiceFolder(holderUid, folder, group))
        return "held by " + holder + "; the link it offers in " + folder.substr(0, 48) +
               " is for the members of group " + group.substr(0, 24);
    // Another user's program may offer its link in a folder only its user can see.
    if (holderUid != ::geteuid() && holderUid != 0)
        return "held by " + holder +
               (holder.rfind("a program of uid", 0) == 0 ? "," : ", a program of another user,") +
               " whose link (if it offers one) is not for this user";
    return "held by " + holder + ", which offers no link to attach to";
}

bool toldStuck = false;
// After this many quick attempts (2 s), the port's holder is named and the tries slow down.
constexpr int kQuickRecoveries = 40;
constexpr std::int32_t kSlowRecoveryMs = 1000;

void loseOwner() {
    lostAtMs = msSinceProgramStart();
    linkState().socket.store(-1);
    share::close();
    role.store(LinkRole::Lost);
    publishLinkEvent(RoleChanged{LinkRole::Lost, {}});
    nextRecoveryMs = msSinceProgramStart();
    recoveryAttempts = 0;
    toldStuck = false;
}

// Attaches to the owner there is now (or, for a program that chose no interface, to the
// service's link) and says so; false when there is none to attach to.
bool attachAgain() {
    int fd = share::attach(shareKey());
    if (fd < 0 && openedInterface.empty())
        fd = share::attachToService(openedEndpoints.localPort);
    if (fd < 0)
        return false;
    becomeAttached(fd);
    // The owner is still there when it was this program that it let go.
    const std::string why = linkDroppedWhy();
    consoleLine(why.empty()
                    ? "The modem link's owner went away: attached again, to " + linkOwnerName()
                    : "The modem link's owner dropped this program (" + why +
                          "): attached again, to " + linkOwnerName());
    return true;
}

void recover() {
    const std::int32_t now = msSinceProgramStart();
    if (elapsedMs(now, nextRecoveryMs) < 0)
        return;
    ++recoveryAttempts;
    nextRecoveryMs =
        now + (recoveryAttempts > kQuickRecoveries ? kSlowRecoveryMs : kRecoveryStepMs);
    if (handingOver) {
        // The link went to the service: this program attaches to it, and takes the port only
        // when no service came for it.
        if (elapsedMs(now, handoverUntilMs) < 0) {
            const int fd = share::attachToService(openedEndpoints.localPort);
            if (fd >= 0) {
                handingOver = false;
                becomeAttached(fd);
                consoleLine("The modem link is the service's now: attached to " + linkOwnerName());
            }
            return;
        }
        handingOver = false;
    }
    if (asService)
        (void)share::claimLink(openedEndpoints.localPort);  // kept up until the port is ours
    // A program that records no history lets one that does take over first (the window, a
    // recorder), so that the time until the service is back is recorded: it only attaches at
    // first.
    if (!recordsHistory.load() && elapsedMs(now, lostAtMs) < kDeferToRecorderMs) {
        (void)attachAgain();
        return;
    }
    BindFailure failure;
    const int udp = bindUdp(openedEndpoints, openedInterface, failure);
    if (udp >= 0) {
        becomeOwner(udp);
        consoleLine("The modem link's owner went away: this program owns the link now");
        return;
    }
    if (failure.failure != LinkSocketFailure::PortInUse)
        return;
    if (attachAgain())
        return;
    // Someone holds the port and offers nothing this program may attach to: said once, with
    // who and why, rather than tried in silence ten times a second.
    if (recoveryAttempts == kQuickRecoveries && !toldStuck) {
        toldStuck = true;
        consoleLine("The modem link's port " + std::to_string(openedEndpoints.localPort) + " is " +
                    portHeldText(openedEndpoints.localPort) + "; trying again every second");
    }
}

// The service claims the link: the port and the offer are given up, the attached programs told,
// and this program attaches to the service as they do (one Console line, when it has).
void handOverLink() {
    const int fd = linkState().socket.exchange(-1);
    const int udp = udpSocket.exchange(-1);
    socketGeneration.fetch_add(1);
    role.store(LinkRole::Lost);
    share::handOver();
    if (fd >= 0 && fd != udp)
        ::close(fd);
    if (udp >= 0)
        ::close(udp);
    publishLinkEvent(RoleChanged{LinkRole::Lost, {}});
    const std::int32_t now = msSinceProgramStart();
    handingOver = true;
    handoverUntilMs = now + kHandoverMs;
    nextRecoveryMs = now + kRecoveryStepMs;
    recoveryAttempts = 0;
    toldStuck = false;
}

// The owner this program is attached to hands the link to the service: when its connection
// ends, this program attaches to the service rather than take the port.
void noteHandover() {
    if (asService)
        return;
    handingOver = true;
    handoverUntilMs = msSinceProgramStart() + kHandoverMs;
}

// An owner that is no service looks for the service's claim now and then.
void lookForClaim() {
    const std::int32_t now = msSinceProgramStart();
    if (asService || !shared() || elapsedMs(now, nextClaimLookMs) < 0)
        return;
    nextClaimLookMs = now + kClaimLookMs;
    if (!share::serviceClaim(openedEndpoints.localPort).empty())
        handOverLink();
}

}  // namespace

LinkRole linkRole() {
    return role.load();
}

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
    lastFailure = LinkSocketFailure::None;
    failureText[0] = '\0';
    openedEndpoints = endpoints;
    openedInterface = interfaceName;

    handingOver = false;
    asService = share::runsAsService();
    BindFailure failure;
    int udp = bindUdp(endpoints, interfaceName, failure);
    if (udp < 0 && failure.failure == LinkSocketFailure::PortInUse && shared() && asService &&
        share::claimLink(endpoints.localPort) >= 0) {
        // The service's by right: the owner hands it over once it sees the claim.
        const std::int32_t giveUp = msSinceProgramStart() + kClaimWaitMs;
        while (udp < 0 && failure.failure == LinkSocketFailure::PortInUse &&
               elapsedMs(msSinceProgramStart(), giveUp) < 0) {
            ::usleep(kRecoveryStepMs * 1000);
            udp = bindUdp(endpoints, interfaceName, failure);
        }
    }
    if (udp < 0 && failure.failure == LinkSocketFailure::PortInUse && shared()) {
        const std::int32_t giveUp = msSinceProgramStart() + kAttachPatienceMs;
        for (;;) {
            int fd = share::attach(shareKey());
            // A program that chose no interface takes the service's link, whichever interface
            // the service was started for: it is the link of this PC's modem.
            if (fd < 0 && interfaceName.empty())
                fd = share::attachToService(endpoints.localPort);
            if (fd >= 0) {
                becomeAttached(fd);
                return true;
            }
            if (elapsedMs(msSinceProgramStart(), giveUp) >= 0)
                break;
            ::usleep(kRecoveryStepMs * 1000);
            udp = bindUdp(endpoints, interfaceName, failure);
            if (udp >= 0 || failure.failure != LinkSocketFailure::PortInUse)
                break;
        }
        if (udp < 0 && failure.failure == LinkSocketFailure::PortInUse)
            std::snprintf(failure.text, sizeof failure.text, "port %u is %.360s",
                          unsigned{endpoints.localPort}, portHeldText(endpoints.localPort).c_str());
        // The service does not give up its link to a program that will not hand it over (of
        // a user outside its group): it says so and waits, claim up, for the port to be free.
        if (udp < 0 && failure.failure == LinkSocketFailure::PortInUse && asService) {
            consoleLine("The modem link's " + std::string(failure.text) +
                        "; the service waits for it");
            loseOwner();
            toldStuck = true;
            return true;
        }
    }
    if (udp < 0)
        share::dropClaim();
    if (udp < 0) {
        lastFailure = failure.failure;
        std::memcpy(failureText, failure.text, sizeof failureText);
        return false;
    }
    becomeOwner(udp);
    return true;
}

int linkSocketPort() {
    const LinkRole now = role.load();
    if (now == LinkRole::Attached)
        return openedEndpoints.localPort;
    int fd = udpSocket.load();
    if (now != LinkRole::Owner || fd < 0)
        return -1;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return -1;
    return ntohs(local.sin_port);
}

void closeLinkSocket() {
    const int fd = linkState().socket.exchange(-1);
    const int udp = udpSocket.exchange(-1);
    const LinkRole was = role.exchange(LinkRole::Closed);
    socketGeneration.fetch_add(1);
    share::dropClaim();
    if (was != LinkRole::Closed)
        publishLinkEvent(RoleChanged{LinkRole::Closed, {}});
    // The relay ends before the socket it reads is closed; an attached socket is the share's.
    share::close();
    if (was == LinkRole::Owner) {
        if (fd >= 0 && fd != udp)
            ::close(fd);
        if (udp >= 0)
            ::close(udp);
    }
}

void sendFrame(const std::uint8_t* frame, std::uint16_t length) {
    LinkState& st = linkState();
    const LinkRole now = role.load();
    if (now == LinkRole::Attached) {
        // The owner sends it on; a frame it cannot take now is lost like a datagram.
        if (::send(st.socket.load(), frame, length, MSG_DONTWAIT | MSG_NOSIGNAL) ==
            static_cast<ssize_t>(length))
            st.framesSent.fetch_add(1, std::memory_order_relaxed);
    }
    int fd = now == LinkRole::Owner ? udpSocket.load() : -1;
    if (fd >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(st.destinationAddress.load());
        to.sin_port = htons(st.destinationPort.load());
        // A lost frame is repaired by the periodic queries and the retries.
        if (::sendto(fd, frame, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(length))
            st.framesSent.fetch_add(1, std::memory_order_relaxed);
        // The owner's history tells who asked what; an attached program's owner notes its.
        static const std::string self = share::selfName();
        share::noteRequest(frame, length, self);
    }
    setLinkActivity(0);
}

namespace {

// Hands out the next datagram read ahead from the socket of `generation`, cut to `room`.
bool takeReadAhead(std::uint8_t* buffer, std::size_t room, std::int16_t& count,
                   unsigned generation) {
    ReadAhead& r = readAhead;
    if (r.generation != generation)
        r.at = r.end = 0;
    std::uint16_t length = 0;
    if (r.end - r.at < sizeof length)
        return false;
    std::memcpy(&length, r.bytes + r.at, sizeof length);
    r.at += sizeof length;
    if (length > r.end - r.at) {  // not as the relay packs: nothing more is taken from it
        r.at = r.end = 0;
        return false;
    }
    const std::size_t n = std::min<std::size_t>(length, room);
    std::memcpy(buffer, r.bytes + r.at, n);
    r.at += length;
    count = static_cast<std::int16_t>(n);
    return true;
}

// Reads the relay's packed message from the own link's socket, `fd`, into the read-ahead. The
// bytes read, 0 or -1 with errno as recv gives them.
ssize_t readPacked(int fd, unsigned generation) {
    ReadAhead& r = readAhead;
    r.generation = generation;
    r.at = r.end = 0;
    const ssize_t n = ::recv(fd, r.bytes, sizeof r.bytes, MSG_DONTWAIT);
    if (n > 0)
        r.end = static_cast<std::size_t>(n);
    return n;
}

// Reads what waits on `fd`, a socket of datagrams, into the read-ahead: at most kReadAhead of
// them. The byte count of the first, as recv gives it: 0 when nothing but empty messages came
// (an empty datagram, or the end of an attached link's stream, which recvmmsg gives in every
// slot), -1 with errno.
ssize_t readDatagrams(int fd, unsigned generation, const SenderRule* senders) {
    ReadAhead& r = readAhead;
    r.generation = generation;
    r.at = r.end = 0;
    constexpr std::size_t kSlot = 2 + kReceiveCapacity;
    static_assert(kReadAhead * kSlot <= sizeof r.bytes);
    iovec iov[kReadAhead];
    mmsghdr headers[kReadAhead] = {};
    sockaddr_in from[kReadAhead] = {};
    for (unsigned i = 0; i < kReadAhead; ++i) {
        iov[i] = iovec{r.bytes + i * kSlot + 2, kReceiveCapacity};
        headers[i].msg_hdr.msg_iov = &iov[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        if (senders != nullptr) {
            headers[i].msg_hdr.msg_name = &from[i];
            headers[i].msg_hdr.msg_namelen = sizeof from[i];
        }
    }
    const int n = ::recvmmsg(fd, headers, kReadAhead, MSG_DONTWAIT, nullptr);
    if (n <= 0)
        return n;
    // Packed towards the front, without the empty ones (the link has nothing to take from them)
    // and those of another sender than the modem.
    ssize_t first = 0;
    bool any = false;
    for (unsigned i = 0; i < static_cast<unsigned>(n); ++i) {
        const auto length = static_cast<std::uint16_t>(headers[i].msg_len);
        if (length == 0)
            continue;
        any = true;
        if (senders == nullptr && share::isHandoverNotice(r.bytes + i * kSlot + 2, length)) {
            noteHandover();
            continue;
        }
        if (senders != nullptr && !acceptedSender(from[i], *senders))
            continue;
        std::memcpy(r.bytes + r.end, &length, sizeof length);
        std::memmove(r.bytes + r.end + 2, r.bytes + i * kSlot + 2, length);
        r.end += 2 + length;
        if (first == 0)
            first = length;
    }
    // Only refused senders' datagrams: something came, nothing to take (not the end of a
    // stream); the caller reads on rather than waits.
    if (first == 0 && any) {
        errno = EINPROGRESS;
        return -1;
    }
    return first;
}

}  // namespace

// True when what the last read took holds a frame of the link (at least 8 bytes, the magic).
bool readAheadHoldsAFrame() {
    const ReadAhead& r = readAhead;
    for (std::size_t at = r.at; at + 2 <= r.end;) {
        std::uint16_t length = 0;
        std::memcpy(&length, r.bytes + at, sizeof length);
        if (length >= 8 && at + 2 + length <= r.end && readU16(r.bytes + at + 2 + 6) == kLinkMagic)
            return true;
        at += 2 + length;
    }
    return false;
}

bool receiveFrame(std::uint8_t* buffer, std::uint16_t capacity, std::int16_t& count,
                  LinkClock& clock) {
    std::string notice;
    while (share::takeNotice(notice))
        consoleLine(notice);
    if (role.load() == LinkRole::Lost)
        recover();
    else if (role.load() == LinkRole::Owner)
        lookForClaim();
    // The count is 16-bit signed; no larger capacity can be reported.
    const std::size_t room = capacity > 32767 ? 32767 : capacity;
    const unsigned generation = socketGeneration.load();
    if (takeReadAhead(buffer, room, count, generation))
        return true;
    int fd = linkState().socket.load();
    if (fd >= 0) {
        const bool packed = role.load() == LinkRole::Owner && fd != udpSocket.load();
        // A datagram longer than the read-ahead keeps is read alone, cut only where `room` says.
        const bool alone = !packed && room > kReceiveCapacity;
        // Read from the port itself: only the modem's datagrams are taken.
        const SenderRule senders{openedEndpoints.destinationPort, !openedInterface.empty()};
        const bool direct = fd == udpSocket.load();
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = -1;
        // A few reads more when only strangers' datagrams came: under their flood the modem's
        // must not wait behind them in the socket.
        for (int tries = 0; tries < 8; ++tries) {
            fromLength = sizeof from;
            n = packed  ? readPacked(fd, generation)  // the relay's
                : alone ? ::recvfrom(fd, buffer, room, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength)
                        : readDatagrams(fd, generation, direct ? &senders : nullptr);
            if (n > 0 && alone && direct && !acceptedSender(from, senders)) {
                n = -1;
                errno = EINPROGRESS;
            }
            if (n > 0 && alone && !direct &&
                share::isHandoverNotice(buffer, static_cast<std::size_t>(n))) {
                noteHandover();
                n = -1;
                errno = EINPROGRESS;
            }
            if (n >= 0 || errno != EINPROGRESS)
                break;
        }
        if (n < 0 && errno == EINPROGRESS)
            errno = EAGAIN;
        // The modem is heard when a frame of the link comes (not any datagram: a stranger's
        // junk is no sign of the modem). The relay tells it for an owner that has one; else
        // the link itself, from what it just read.
        const bool frame =
            n > 0 && !packed &&
            (alone ? n >= 8 && readU16(buffer + 6) == kLinkMagic : readAheadHoldsAFrame());
        if (frame)
            noteLinkHeard();  // read here: no relay, or attached (the owner hands on what it hears)
        if (n > 0 && alone) {
            count = static_cast<std::int16_t>(n);
            return true;
        }
        if (n > 0 && takeReadAhead(buffer, room, count, generation))
            return true;
        // An attached socket reads nothing only when the owner has closed it.
        if (role.load() == LinkRole::Attached &&
            (n == 0 || !(errno == EAGAIN || errno == EWOULDBLOCK))) {
            loseOwner();
            recover();  // at once: the port is free from the moment the owner is gone
        }
    }
    clock.idleSleep();
    return false;
}

bool receiveFrame(std::uint8_t* buffer, std::uint16_t capacity, std::int16_t& count) {
    return receiveFrame(buffer, capacity, count, steadyLinkClock());
}

void setLinkRecordsHistory(bool records) {
    recordsHistory.store(records);
}

std::int32_t msUntilLinkDue() {
    const std::int32_t now = msSinceProgramStart();
    const LinkRole current = role.load();
    if (current == LinkRole::Lost)
        return std::max(0, -elapsedMs(now, nextRecoveryMs));
    if (current == LinkRole::Owner && !asService && shared())
        return std::max(0, -elapsedMs(now, nextClaimLookMs));
    return -1;
}

bool linkReadAheadWaiting() {
    const ReadAhead& r = readAhead;
    return r.generation == socketGeneration.load() && r.end - r.at >= 2;
}

}  // namespace brix
