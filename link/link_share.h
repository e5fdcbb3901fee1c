#pragma once
// One modem link for every program on the PC. The program that binds the link's port owns it and
// offers it on a local SOCK_SEQPACKET socket; a program that finds the port taken attaches there
// and goes on as if it had bound the port. The owner's relay thread is the only reader of the UDP
// socket: it hands every datagram to its own link and to every attached program, and sends what
// an attached program sends once it is a well-formed frame. The transport (link_transport.cpp)
// decides between the two forms; nothing above it needs to know which one it has.
//
// The code: share_relay.cpp (the relay and offer), share_attach.cpp, share_folders.cpp (where a
// link is offered, who may attach), share_holders.cpp (naming who holds the port or a link),
// share_requests.cpp (the request log), and link_share.cpp (the state the getters read, close).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "link/link_frame.h"

namespace brix {

// How this program holds the link now.
enum class LinkRole {
    Closed,    // no link socket
    Owner,     // bound the port (and offers it, when a local socket could be made)
    Attached,  // talks through the owner's local socket
    Lost,      // the owner went away; taking over or attaching again
};
LinkRole linkRole();

// The program an attached link talks through, "brixctl (pid 42)"; empty unless attached.
std::string linkOwnerName();
// The local socket offered (owner) or attached to; empty when there is none.
std::string linkSharePath();
// Programs attached to this owner now.
std::size_t linkAttachedCount();
// The history store the owner records into, as its greeting told; empty when it records none
// or this program is not attached. An attached window shows it instead of keeping its own.
std::string linkOwnerHistory();
// Why the owner this program attached to last had dropped it a moment before ("it did not read
// its datagrams"), once; empty when it had not.
std::string linkDroppedWhy();

// What a user of this PC asked of the modem: a Tune or a Set, and the program that asked. The
// owner notes every such frame it sends, its own and its attached programs' alike, so that its
// history tells who asked what; a frame sent again by the retry rule is one request.
enum class RequestKind { Tune, ChannelTableSet, ScannerSet };
struct Request {
    RequestKind kind = RequestKind::Tune;
    std::string text;     // "Tune to 603.5 MHz", "Set the scanner parameters: 03 00"
    std::string program;  // "brixctl", "brixtool"
    std::int64_t unixMs = 0;
};
// Takes the oldest request noted and not yet taken (at most 64 wait; older ones are lost).
bool takeLinkRequest(Request& request);

// Frames a program may queue for one slow attached program before it is dropped.
inline constexpr std::size_t kShareQueueFrames = 2048;
// Attached programs one owner serves at most, and of them the programs of one user.
inline constexpr std::size_t kShareMaxClients = 32;
inline constexpr std::size_t kShareMaxClientsPerUser = 8;
// Datagrams the relay reads from the port at once and hands on together.
inline constexpr std::size_t kShareBatchFrames = 64;
// The relay gives the owner's own link a batch in one message of their socket pair, each
// datagram as its 16-bit length (host order) and its bytes: one message a batch rather than one
// a datagram. The largest such message.
inline constexpr std::size_t kSharePackBytes = kShareBatchFrames * (2 + kReceiveCapacity);

namespace share {

// Which link: the port and the interface choice (empty for none).
struct Key {
    std::uint16_t port = 0;
    std::string interfaceName;
};

// The local socket's name, one per network namespace, port and interface choice (the port is
// per namespace, so programs in two namespaces never meet through the file system).
std::string socketName(const Key& key);
// Where this program offers a link: $RUNTIME_DIRECTORY (a service), else $XDG_RUNTIME_DIR/brix,
// else /tmp/brix-UID. The folder is made 0700 when it is ours to make.
std::string offerFolder();

// Offers the bound UDP socket `udp` on the local socket and starts the relay, which sends the
// attached programs' frames to `address`:`port` (host order). Returns the socket
// the own link reads (the relay's datagrams, packed as kSharePackBytes says), or -1 when no local
// socket could be offered: the link then reads `udp` itself, alone, as before. `udp` stays the
// caller's.
int offer(int udp, const Key& key, std::uint32_t address, std::uint16_t port);
// Connects to the owner of `key` and reads its greeting. The connected socket, or -1.
int attach(const Key& key);
// Why the last attach refused a link it found, a folder or a program it could not trust ("" when
// it refused none).
std::string attachRefusal();
// Stops the relay and closes what offer or attach made.
void close();

// The interface choice of a link offered now on `key`'s port and network namespace for another
// choice than `key`'s ("eth1", or "" for none), found where attach looks; false when there is
// none.
bool offeredForOtherChoice(const Key& key, std::string& choice);

// A service's folder under /run/brix of user `holder` that this user may not enter, where a link
// may be offered that attach cannot see ("/run/brix/eth1/"), and the group that may ("brix");
// false when there is none.
bool closedServiceFolder(uid_t holder, std::string& folder, std::string& group);

// The program that holds UDP `port` in this network namespace, "python3 (pid 812)" where /proc
// shows it, else "a program of uid U"; empty when none does. `holderUid` gets its user.
std::string portHolder(std::uint16_t port, uid_t* holderUid = nullptr);

// Whether this program runs as the link's service (its folder made under /run/brix): it claims
// the link from any other owner, and hands it to nobody.
bool runsAsService();
// The service's claim, made while another program holds the port: a socket in its folder
// that owners look for ("claim-netN-PORT"). Kept until dropClaim; -1 when none could be made.
int claimLink(std::uint16_t port);
void dropClaim();
// The service that claims the link of `port` in this network namespace, "brixctl (pid 9)", or
// empty: a claim in a service's folder made by the program of the folder's user.
std::string serviceClaim(std::uint16_t port);
// An owner that hands the link to the service tells its attached programs with this notice (no
// frame of the link), last before it closes their connection. The relay never hands on a
// datagram of the port that reads as the notice.
inline constexpr char kHandoverNotice[] = "BRIXHANDOVER";
inline bool isHandoverNotice(const void* data, std::size_t size) {
    return size == sizeof kHandoverNotice - 1 &&
           std::memcmp(data, kHandoverNotice, sizeof kHandoverNotice - 1) == 0;
}

// Attaches to the link a service offers for `port`, whatever interface it was started for;
// the socket, or -1.
int attachToService(std::uint16_t port);
// Ends the offer as close does, telling each attached program that the link goes to the
// service, so that it attaches to the service rather than take the port.
void handOver();

// Tells attached programs, from now on, which store this owner records into ("" for none).
void offerHistory(std::string path);

// Notes `frame` as a request of `program` when it is a Tune or a Set (see takeLinkRequest).
void noteRequest(const std::uint8_t* frame, std::size_t length, const std::string& program);
// This program's name as others see it ("brixtool").
std::string selfName();

// Takes one line for the Console that the relay has left for the link thread.
bool takeNotice(std::string& text);
// Leaves a Console line for the link thread (bounded; the surplus is lost).
void addNotice(std::string text);

}  // namespace share
}  // namespace brix
