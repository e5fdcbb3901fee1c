#include "link/link_share.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "domain/clock.h"
#include "domain/frequency.h"
#include "link/link_frame.h"

namespace brix {

namespace {

constexpr char kGreeting[] = "BRIXLINK1 ";
// "BRIXLINK1 PID NAME", then "\nhistory PATH" when the owner records.
constexpr char kHistoryLine[] = "\nhistory ";
constexpr std::size_t kGreetingMax = 96 + 4096;
constexpr std::size_t kMaxRequests = 64;
// A Set resent by the retry rule (every 2 s) is the same request; so is a Tune repeated at once.
constexpr std::int64_t kSameRequestMs = 5000;
constexpr std::size_t kMaxNotices = 32;
// Room in the kernel for bursts, before a client's own queue fills.
constexpr int kSocketBuffer = 1 << 20;
constexpr int kPortBuffer = 4 << 20;

struct Client {
    int fd = -1;
    int pid = 0;
    std::string name;
    std::deque<std::vector<std::uint8_t>> queue;
};

struct Relay {
    int udp = -1;
    int listener = -1;
    int wake = -1;
    int toLink = -1;            // the relay's end of the own link's pair
    sockaddr_in destination{};  // the modem's
    std::string path;
    std::thread thread;
    std::vector<Client> clients;  // relay thread only
};

std::mutex infoMutex;
std::string ownerName;       // guarded by infoMutex
std::string sharePath;       // guarded by infoMutex
std::string ownerHistory;    // guarded by infoMutex: the attached-to owner's store
std::string offeredHistory;  // guarded by infoMutex: this owner's store
std::atomic<std::size_t> attachedCount{0};
std::atomic<std::uint64_t> heard{0};

std::mutex noticeMutex;
std::deque<std::string> notices;  // guarded by noticeMutex
std::atomic<bool> noticesWaiting{false};

// Made by offer and ended by close, both on the thread that holds the link socket.
Relay relay;
int attachedFd = -1;

std::string programName(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    if (name.size() > 32)
        name.resize(32);
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    return name.empty() ? std::string("a program") : name;
}

std::string describe(const std::string& name, int pid) {
    return name + " (pid " + std::to_string(pid) + ")";
}

bool makeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Our own folder for the socket: a directory, no link, owned by us, reachable by nobody else.
bool ownFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    if ((info.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)
        return false;
    return true;
}

std::string userFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/brix";
    return "/tmp/brix-" + std::to_string(::geteuid());
}

std::string serviceFolder() {
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (runtime == nullptr || runtime[0] != '/')
        return {};
    std::string folder(runtime);
    // systemd lists several folders with colons; the first is the unit's own.
    folder = folder.substr(0, folder.find(':'));
    return folder;
}

// The group admitted to a service's link: that of its folder, when the folder lets a group in.
bool admittedGroup(const std::string& folder, gid_t& group) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || (info.st_mode & 0010) == 0)
        return false;
    group = info.st_gid;
    return true;
}

bool peerAllowed(int fd, const ucred& cred, bool groupAdmitted, gid_t group) {
    if (cred.uid == ::geteuid() || cred.uid == 0)
        return true;
    if (!groupAdmitted)
        return false;
    if (cred.gid == group)
        return true;
    gid_t groups[256];
    socklen_t length = sizeof groups;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &length) != 0)
        return false;
    for (std::size_t i = 0; i < length / sizeof(gid_t); ++i)
        if (groups[i] == group)
            return true;
    return false;
}

// An attached program may send what the link itself sends: the header with the magic and a type
// the modem knows, no more than the largest Set request.
bool wellFormed(const std::uint8_t* frame, ssize_t n) {
    if (n < static_cast<ssize_t>(kFrameHeaderSize) || n > static_cast<ssize_t>(kOutboundFrameSize))
        return false;
    if (readU16(frame + 6) != kLinkMagic)
        return false;
    return readU16(frame + 8) < kMessageTypeCount;
}

// Datagrams moved with one recvmmsg, sendmmsg or packed message: under a flood the relay's cost
// per datagram is a copy, not a system call for each reader.
constexpr unsigned kBatch = kShareBatchFrames;
// Batches read from the modem in one pass before the clients' own sockets get a turn.
constexpr int kBatchesPerPass = 4;

// One batch of datagrams and the headers that read or send them.
class Batch {
public:
    Batch() {
        for (unsigned i = 0; i < kBatch; ++i) {
            in_[i] = iovec{data_[i], kReceiveCapacity};
            inHeaders_[i].msg_hdr = msghdr{};
            inHeaders_[i].msg_hdr.msg_iov = &in_[i];
            inHeaders_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Reads what waits on `fd`, at most a batch; false when nothing did. A datagram longer than
    // the link reads is cut, as recv cuts it.
    bool receive(int fd) {
        const int n = ::recvmmsg(fd, inHeaders_, kBatch, MSG_DONTWAIT, nullptr);
        received_ = n > 0 ? static_cast<unsigned>(n) : 0;
        // An empty datagram is not handed on: on a client's socket it would read as the end
        // of the owner's stream, and the link has nothing to take from it.
        count_ = 0;
        for (unsigned i = 0; i < received_; ++i) {
            if (inHeaders_[i].msg_len == 0)
                continue;
            if (count_ != i)
                std::memcpy(data_[count_], data_[i], inHeaders_[i].msg_len);
            length_[count_++] = inHeaders_[i].msg_len;
        }
        return received_ > 0;
    }
    unsigned size() const { return count_; }
    bool full() const { return received_ == kBatch; }
    const std::uint8_t* data(unsigned i) const { return data_[i]; }
    std::size_t length(unsigned i) const { return length_[i]; }

    // Sends the batch on `fd`, a datagram a message, without waiting: how many went, or -1 with
    // errno.
    int send(int fd) {
        for (unsigned i = 0; i < count_; ++i)
            setOut(i, data_[i], length_[i]);
        return sendOut(fd, count_);
    }

    // Sends the batch on `fd` as one message, packed for the own link. False when it did not go.
    bool sendPacked(int fd) {
        if (count_ == 0)
            return true;
        iovec parts[2 * kBatch];
        for (unsigned i = 0; i < count_; ++i) {
            words_[i] = static_cast<std::uint16_t>(length_[i]);
            parts[2 * i] = iovec{&words_[i], sizeof words_[i]};
            parts[2 * i + 1] = iovec{data_[i], length_[i]};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2 * count_;
        return ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
    }

    // Sends the front of `queue` (a batch at most) the same way.
    int send(int fd, const std::deque<std::vector<std::uint8_t>>& queue) {
        unsigned n = 0;
        for (; n < queue.size() && n < kBatch; ++n)
            setOut(n, queue[n].data(), queue[n].size());
        return sendOut(fd, n);
    }

private:
    std::uint8_t data_[kBatch][kReceiveCapacity];
    std::size_t length_[kBatch] = {};
    std::uint16_t words_[kBatch] = {};  // the lengths as a packed message gives them
    unsigned count_ = 0;                // datagrams kept
    unsigned received_ = 0;             // datagrams read
    iovec in_[kBatch];
    mmsghdr inHeaders_[kBatch];
    iovec out_[kBatch];
    mmsghdr outHeaders_[kBatch];

    void setOut(unsigned i, const std::uint8_t* frame, std::size_t length) {
        out_[i] = iovec{const_cast<std::uint8_t*>(frame), length};
        outHeaders_[i].msg_hdr = msghdr{};
        outHeaders_[i].msg_hdr.msg_iov = &out_[i];
        outHeaders_[i].msg_hdr.msg_iovlen = 1;
    }
    int sendOut(int fd, unsigned n) {
        return n == 0 ? 0 : ::sendmmsg(fd, outHeaders_, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
};

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

class RelayLoop {
public:
    explicit RelayLoop(Relay& r) : r_(r), batch_(std::make_unique<Batch>()) {
        groupAdmitted_ = admittedGroup(r.path.substr(0, r.path.rfind('/')), group_);
    }

    void run() {
        std::vector<pollfd> fds;
        for (;;) {
            fds.clear();
            fds.push_back({r_.wake, POLLIN, 0});
            fds.push_back({r_.udp, POLLIN, 0});
            fds.push_back({r_.listener, POLLIN, 0});
            for (const Client& c : r_.clients)
                fds.push_back(
                    {c.fd, static_cast<short>(POLLIN | (c.queue.empty() ? 0 : POLLOUT)), 0});
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents != 0)
                return;
            if ((fds[1].revents & POLLIN) != 0)
                fromModem();
            // Clients are served by their place in this pass; accepting comes last, so that
            // the places stay the poll's.
            for (std::size_t i = 0; i < r_.clients.size(); ++i)
                serve(r_.clients[i], fds[3 + i].revents);
            std::erase_if(r_.clients, [](const Client& c) { return c.fd < 0; });
            if ((fds[2].revents & POLLIN) != 0)
                accept();
            attachedCount.store(r_.clients.size());
        }
    }

    ~RelayLoop() {
        for (Client& c : r_.clients)
            if (c.fd >= 0)
                ::close(c.fd);
        r_.clients.clear();
        attachedCount.store(0);
    }

private:
    void fromModem() {
        Batch& b = *batch_;
        for (int pass = 0; pass < kBatchesPerPass && b.receive(r_.udp); ++pass) {
            heard.fetch_add(b.size(), std::memory_order_relaxed);
            // The own link is not a client: when it is slow it loses datagrams as a socket does.
            (void)b.sendPacked(r_.toLink);
            for (Client& c : r_.clients)
                deliver(c);
            if (!b.full())
                return;
        }
    }

    // Hands the batch to `c`: straight to its socket while nothing waits before it, the rest
    // into its queue, in order.
    void deliver(Client& c) {
        if (c.fd < 0)
            return;
        Batch& b = *batch_;
        unsigned sent = 0;
        if (c.queue.empty()) {
            const int n = b.send(c.fd);
            if (n < 0 && !wouldBlock()) {
                drop(c, nullptr);
                return;
            }
            sent = n > 0 ? static_cast<unsigned>(n) : 0;
        }
        for (unsigned i = sent; i < b.size(); ++i) {
            if (c.queue.size() >= kShareQueueFrames) {
                drop(c, "it did not read its datagrams");
                return;
            }
            c.queue.emplace_back(b.data(i), b.data(i) + b.length(i));
        }
    }

    void serve(Client& c, short revents) {
        if (c.fd < 0)
            return;
        if ((revents & POLLOUT) != 0)
            flush(c);
        if (c.fd >= 0 && (revents & POLLIN) != 0)
            fromClient(c);
        if (c.fd >= 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (revents & POLLIN) == 0)
            drop(c, nullptr);
    }

    void flush(Client& c) {
        while (!c.queue.empty()) {
            const std::size_t offered = std::min<std::size_t>(c.queue.size(), kBatch);
            const int n = batch_->send(c.fd, c.queue);
            if (n < 0) {
                if (!wouldBlock())
                    drop(c, nullptr);
                return;
            }
            c.queue.erase(c.queue.begin(), c.queue.begin() + n);
            if (static_cast<std::size_t>(n) < offered)
                return;
        }
    }

    void fromClient(Client& c) {
        // Only a few frames a pass: a client that sends without pause cannot hold up the rest.
        for (int i = 0; i < 16; ++i) {
            std::uint8_t frame[kOutboundFrameSize + 1];
            // MSG_TRUNC: the real length of a message too long for the buffer.
            ssize_t n = ::recv(c.fd, frame, sizeof frame, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    drop(c, nullptr);
                return;
            }
            if (n == 0) {
                drop(c, nullptr);  // it went away
                return;
            }
            if (!wellFormed(frame, n)) {
                drop(c, "it sent what is no frame of the link");
                return;
            }
            share::noteRequest(frame, static_cast<std::size_t>(n), c.name);
            (void)::sendto(r_.udp, frame, static_cast<std::size_t>(n), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&r_.destination),
                           sizeof r_.destination);
        }
    }

    void accept() {
        int fd = ::accept4(r_.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        ucred cred{};
        socklen_t length = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 ||
            !peerAllowed(fd, cred, groupAdmitted_, group_) ||
            r_.clients.size() >= kShareMaxClients) {
            ::close(fd);
            return;
        }
        int size = kSocketBuffer;
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        std::string greeting = kGreeting + std::to_string(::getpid()) + " " + self_;
        {
            std::lock_guard<std::mutex> lock(infoMutex);
            if (!offeredHistory.empty() && offeredHistory.size() < 4000)
                greeting += kHistoryLine + offeredHistory;
        }
        if (::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(greeting.size())) {
            ::close(fd);
            return;
        }
        Client c;
        c.fd = fd;
        c.pid = cred.pid;
        c.name = programName(cred.pid);
        r_.clients.push_back(std::move(c));
    }

    void drop(Client& c, const char* why) {
        if (why != nullptr)
            share::addNotice("Dropped the attached " + describe(c.name, c.pid) + ": " + why);
        ::close(c.fd);
        c.fd = -1;
        c.queue.clear();
    }

    Relay& r_;
    bool groupAdmitted_ = false;
    gid_t group_ = 0;
    std::string self_ = programName(static_cast<int>(::getpid()));
    std::unique_ptr<Batch> batch_;  // large: on the heap, not the thread's stack
};

void closeRelay() {
    if (relay.thread.joinable()) {
        const std::uint64_t one = 1;
        (void)::write(relay.wake, &one, sizeof one);
        relay.thread.join();
    }
    if (relay.listener >= 0) {
        // The port is still ours, so the file is still ours too.
        ::unlink(relay.path.c_str());
        ::close(relay.listener);
    }
    if (relay.wake >= 0)
        ::close(relay.wake);
    if (relay.toLink >= 0)
        ::close(relay.toLink);
    relay = Relay{};
}

}  // namespace

std::string linkOwnerName() {
    std::lock_guard<std::mutex> lock(infoMutex);
    return ownerName;
}

std::string linkSharePath() {
    std::lock_guard<std::mutex> lock(infoMutex);
    return sharePath;
}

std::size_t linkAttachedCount() {
    return attachedCount.load();
}

std::uint64_t linkDatagramsHeard() {
    return heard.load(std::memory_order_relaxed);
}

std::string linkOwnerHistory() {
    std::lock_guard<std::mutex> lock(infoMutex);
    return ownerHistory;
}

namespace {

struct Sighting {
    std::string program;
    std::vector<std::uint8_t> frame;
    std::int64_t lastMs = 0;
};

std::mutex requestMutex;
std::deque<Request> requests;     // guarded by requestMutex
std::vector<Sighting> sightings;  // guarded by requestMutex: the latest few, for resends

// What a frame asks of the modem, or false when it asks nothing a user would (a query, a Get).
bool describeRequest(const std::uint8_t* f, std::size_t n, RequestKind& kind, std::string& text) {
    const auto type = static_cast<MessageType>(readU16(f + 8));
    if (type == MessageType::TuneFrequency && n >= 14) {
        kind = RequestKind::Tune;
        text = "Tune to " + mhzUnitText(readU16(f + 12));
        return true;
    }
    if (type == MessageType::TuneChannel && n >= 16) {
        kind = RequestKind::Tune;
        text = "Tune to " + mhzUnitText(readU16(f + 12)) + ", rate code " +
               std::to_string(readU16(f + 14));
        return true;
    }
    if (type != MessageType::SetData || n < 16 || 16u + f[15] > n)
        return false;
    if (f[14] == static_cast<std::uint8_t>(DataItem::ChannelTable)) {
        kind = RequestKind::ChannelTableSet;
        text = "Set the channel table";
        return true;
    }
    if (f[14] == static_cast<std::uint8_t>(DataItem::ScannerParams)) {
        kind = RequestKind::ScannerSet;
        text = "Set the scanner parameters:";
        char hex[4];
        for (std::size_t i = 0; i < f[15]; ++i) {
            std::snprintf(hex, sizeof hex, " %02x", f[16 + i]);
            text += hex;
        }
        return true;
    }
    return false;
}

}  // namespace

bool takeLinkRequest(Request& request) {
    std::lock_guard<std::mutex> lock(requestMutex);
    if (requests.empty())
        return false;
    request = std::move(requests.front());
    requests.pop_front();
    return true;
}

namespace share {

std::string socketName(const Key& key) {
    struct stat ns {};
    const unsigned long long net =
        ::stat("/proc/self/ns/net", &ns) == 0 ? static_cast<unsigned long long>(ns.st_ino) : 0;
    std::string name = "link-net" + std::to_string(net) + "-" + std::to_string(key.port);
    if (!key.interfaceName.empty())
        name += "-" + key.interfaceName;
    return name;
}

std::string offerFolder() {
    std::string folder = serviceFolder();
    if (!folder.empty())
        return folder;  // made by the service manager, with the mode and group it chose
    folder = userFolder();
    return ownFolder(folder) ? folder : std::string();
}

int offer(int udp, const Key& key, std::uint32_t modemAddress, std::uint16_t modemPort) {
    close();
    const std::string folder = offerFolder();
    if (folder.empty())
        return -1;
    const std::string path = folder + "/" + socketName(key);
    sockaddr_un address{};
    if (!makeAddress(path, address))
        return -1;

    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    // The relay is a thread that must be given a processor before it reads: the port keeps a
    // flood's datagrams meanwhile (as far as net.core.rmem_max lets an ordinary program).
    int size = kPortBuffer;
    (void)::setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    size = kSocketBuffer;
    (void)::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    (void)::fcntl(pair[1], F_SETFL, O_NONBLOCK);

    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A file left by an owner that died is in the way; while we hold the port, no one else owns.
    ::unlink(path.c_str());
    gid_t group = 0;
    const bool groupAdmitted = admittedGroup(folder, group);
    if (listener < 0 || wake < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), groupAdmitted ? 0660 : 0600) != 0 ||
        ::listen(listener, static_cast<int>(kShareMaxClients)) != 0) {
        if (listener >= 0) {
            ::unlink(path.c_str());
            ::close(listener);
        }
        if (wake >= 0)
            ::close(wake);
        ::close(pair[0]);
        ::close(pair[1]);
        return -1;
    }
    if (groupAdmitted)
        (void)::chown(path.c_str(), static_cast<uid_t>(-1), group);

    relay.udp = udp;
    relay.destination.sin_family = AF_INET;
    relay.destination.sin_addr.s_addr = htonl(modemAddress);
    relay.destination.sin_port = htons(modemPort);
    relay.listener = listener;
    relay.wake = wake;
    relay.toLink = pair[0];
    relay.path = path;
    try {
        relay.thread = std::thread([] {
            RelayLoop loop(relay);
            loop.run();
        });
    } catch (const std::system_error&) {
        ::close(pair[1]);
        closeRelay();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        sharePath = path;
        ownerName.clear();
    }
    return pair[1];
}

namespace {

// The owner's greeting: "BRIXLINK1 PID NAME", then perhaps "\nhistory PATH". Anything else is
// no link of ours.
bool readGreeting(int fd, std::string& owner, std::string& history) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0)
        return false;
    char text[kGreetingMax + 1];
    ssize_t n = ::recv(fd, text, kGreetingMax, MSG_DONTWAIT);
    const std::size_t prefix = sizeof kGreeting - 1;
    if (n <= static_cast<ssize_t>(prefix) || std::memcmp(text, kGreeting, prefix) != 0)
        return false;
    text[n] = '\0';
    char* end = nullptr;
    const long pid = std::strtol(text + prefix, &end, 10);
    if (end == text + prefix || pid <= 0 || *end != ' ')
        return false;
    std::string name(end + 1, static_cast<std::size_t>(text + n - (end + 1)));
    history.clear();
    if (const std::size_t line = name.find(kHistoryLine); line != std::string::npos) {
        history = name.substr(line + sizeof kHistoryLine - 1);
        name.resize(line);
        // A path, nothing else: no other line, no zero byte.
        if (history.empty() || history[0] != '/' || history.find('\n') != std::string::npos ||
            history.find('\0') != std::string::npos)
            history.clear();
    }
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    owner = describe(name.substr(0, 32), static_cast<int>(pid));
    return true;
}

// The paths where a socket named `name` (a glob pattern) may be offered.
std::vector<std::string> attachCandidates(const std::string& name) {
    std::vector<std::string> patterns;
    patterns.push_back(userFolder() + "/" + name);
    const std::string service = serviceFolder();
    if (!service.empty())
        patterns.push_back(service + "/" + name);
    // The services' folders (brixctl-serve@IFACE): /run/brix/INSTANCE/.
    patterns.push_back("/run/brix/*/" + name);
    std::vector<std::string> paths;
    for (const std::string& pattern : patterns) {
        glob_t found{};
        if (::glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
            for (std::size_t i = 0; i < found.gl_pathc && i < 64; ++i)
                paths.emplace_back(found.gl_pathv[i]);
        }
        ::globfree(&found);
    }
    return paths;
}

std::vector<std::string> attachCandidates(const Key& key) {
    return attachCandidates(socketName(key));
}

// True when a program listens on the local socket at `path` (a file left by one that died
// refuses the connection).
bool listening(const std::string& path) {
    sockaddr_un address{};
    if (!makeAddress(path, address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int attach(const Key& key) {
    close();
    for (const std::string& path : attachCandidates(key)) {
        sockaddr_un address{};
        if (!makeAddress(path, address))
            continue;
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        std::string owner, history;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            !readGreeting(fd, owner, history)) {
            ::close(fd);
            continue;
        }
        (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
        attachedFd = fd;
        std::lock_guard<std::mutex> lock(infoMutex);
        sharePath = path;
        ownerName = owner;
        ownerHistory = history;
        return fd;
    }
    return -1;
}

void close() {
    closeRelay();
    if (attachedFd >= 0) {
        ::close(attachedFd);
        attachedFd = -1;
    }
    std::lock_guard<std::mutex> lock(infoMutex);
    sharePath.clear();
    ownerName.clear();
    ownerHistory.clear();
}

bool offeredForOtherChoice(const Key& key, std::string& choice) {
    // A name without an interface is the stem of every other one: "link-netN-PORT[-IFACE]".
    const std::string stem = socketName(Key{key.port, {}});
    const std::string own = socketName(key);
    for (const std::string& path : attachCandidates(stem + "*")) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (name == own || (name != stem && name.compare(stem.size(), 1, "-") != 0))
            continue;  // ours, or another port whose number begins with this one's
        if (listening(path)) {
            choice = name.size() > stem.size() ? name.substr(stem.size() + 1) : std::string();
            for (char& c : choice)  // a file name, for a message: nothing that drives a terminal
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
                    c = '?';
            return true;
        }
    }
    return false;
}

bool closedServiceFolder(std::string& folder, std::string& group) {
    glob_t found{};
    bool closed = false;
    if (::glob("/run/brix/*/", GLOB_NOSORT | GLOB_MARK, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc && i < 64 && !closed; ++i) {
            struct stat info {};
            if (::access(found.gl_pathv[i], X_OK) == 0 || ::stat(found.gl_pathv[i], &info) != 0)
                continue;
            closed = true;
            folder = found.gl_pathv[i];
            const struct group* g = ::getgrgid(info.st_gid);
            group = g != nullptr ? g->gr_name : std::to_string(info.st_gid);
        }
    }
    ::globfree(&found);
    return closed;
}

std::string portHolder(std::uint16_t port) {
    // The sockets bound to the port, by inode, from the namespace's socket tables.
    std::vector<unsigned long> inodes;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // heading
        while (std::getline(in, line) && inodes.size() < 64) {
            unsigned long inode = 0;
            char local[64] = {};
            // sl local rem st tx:rx tr:when retr uid timeout inode
            if (std::sscanf(line.c_str(), " %*s %63s %*s %*s %*s %*s %*s %*s %*s %lu", local,
                            &inode) != 2)
                continue;
            const char* colon = std::strrchr(local, ':');
            if (colon != nullptr && std::strtoul(colon + 1, nullptr, 16) == port && inode != 0)
                inodes.push_back(inode);
        }
    }
    if (inodes.empty())
        return {};
    // The process with one of them open, where we may look into its descriptors.
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return {};
    std::string holder;
    while (holder.empty()) {
        dirent* entry = ::readdir(proc);
        if (entry == nullptr)
            break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr)
            continue;
        while (dirent* f = ::readdir(fds)) {
            char target[64];
            const std::string link = fdDir + "/" + f->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = '\0';
            unsigned long inode = 0;
            if (std::sscanf(target, "socket:[%lu]", &inode) != 1)
                continue;
            for (unsigned long i : inodes)
                if (i == inode)
                    holder = describe(programName(static_cast<int>(pid)), static_cast<int>(pid));
            if (!holder.empty())
                break;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return holder;
}

void offerHistory(std::string path) {
    std::lock_guard<std::mutex> lock(infoMutex);
    offeredHistory = std::move(path);
}

void countHeard() {
    heard.fetch_add(1, std::memory_order_relaxed);
}

std::string selfName() {
    return programName(static_cast<int>(::getpid()));
}

void noteRequest(const std::uint8_t* frame, std::size_t length, const std::string& program) {
    if (length < kFrameHeaderSize)
        return;
    Request r;
    if (!describeRequest(frame, length, r.kind, r.text))
        return;
    r.program = program;
    r.unixMs = unixMsNow();
    std::lock_guard<std::mutex> lock(requestMutex);
    // A channel's tune is a TuneChannel and a TuneFrequency of the same frequency, in either
    // order (the Tuner sends the frequency first, brixctl the channel): one request of the
    // user's, told with the rate code when there is one.
    const auto type = static_cast<MessageType>(readU16(frame + 8));
    if ((type == MessageType::TuneFrequency || type == MessageType::TuneChannel) && length >= 14) {
        const auto other = static_cast<std::uint16_t>(type == MessageType::TuneFrequency
                                                          ? MessageType::TuneChannel
                                                          : MessageType::TuneFrequency);
        for (const Sighting& s : sightings) {
            if (s.program != program || s.frame.size() < 14 ||
                readU16(s.frame.data() + 8) != other ||
                readU16(s.frame.data() + 12) != readU16(frame + 12) ||
                r.unixMs - s.lastMs >= kSameRequestMs || r.unixMs < s.lastMs)
                continue;
            if (type == MessageType::TuneChannel) {
                // The frequency's request, when not yet taken, gets the channel's words.
                for (auto q = requests.rbegin(); q != requests.rend(); ++q)
                    if (q->program == program && q->kind == RequestKind::Tune) {
                        q->text = r.text;
                        break;
                    }
            }
            return;
        }
    }
    const auto seen = std::find_if(sightings.begin(), sightings.end(), [&](const Sighting& s) {
        return s.program == program && s.frame.size() == length &&
               std::equal(s.frame.begin(), s.frame.end(), frame);
    });
    if (seen != sightings.end()) {
        if (r.unixMs - seen->lastMs < kSameRequestMs && r.unixMs >= seen->lastMs) {
            seen->lastMs = r.unixMs;  // sent again: the same request
            return;
        }
        sightings.erase(seen);  // asked anew, after a while
    }
    if (sightings.size() >= 8)
        sightings.erase(sightings.begin());
    sightings.push_back({program, std::vector<std::uint8_t>(frame, frame + length), r.unixMs});
    if (requests.size() >= kMaxRequests)
        requests.pop_front();
    requests.push_back(std::move(r));
}

bool takeNotice(std::string& text) {
    if (!noticesWaiting.load(std::memory_order_relaxed))
        return false;
    std::lock_guard<std::mutex> lock(noticeMutex);
    if (notices.empty()) {
        noticesWaiting.store(false);
        return false;
    }
    text = std::move(notices.front());
    notices.pop_front();
    noticesWaiting.store(!notices.empty());
    return true;
}

void addNotice(std::string text) {
    std::lock_guard<std::mutex> lock(noticeMutex);
    if (notices.size() < kMaxNotices)
        notices.push_back(std::move(text));
    noticesWaiting.store(true);
}

}  // namespace share
}  // namespace brix
