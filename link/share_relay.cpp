// The owner's relay: the one reader of the link's UDP port, which hands every datagram to the
// own link and to every attached program, and sends on what they send; and offer, which starts it.
#include <arpa/inet.h>
#include <fcntl.h>
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
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "link/link_frame.h"
#include "link/link_presence.h"
#include "link/link_senders.h"
#include "link/link_share.h"
#include "link/share_internal.h"

namespace brix::share {

namespace {

// Room in the kernel for bursts, before a client's own queue fills. With the queue's bound, a
// client that stops reading costs the owner well under a megabyte and a half, however many
// attach (the kernel doubles the figure it is given).
constexpr int kSocketBuffer = 256 << 10;
constexpr std::size_t kQueueBytes = 512 << 10;
constexpr int kPortBuffer = 4 << 20;

struct Client {
    int fd = -1;
    int pid = 0;
    uid_t uid = 0;
    std::string name;
    std::deque<std::vector<std::uint8_t>> queue;
    std::size_t queuedBytes = 0;                      // of `queue`
    std::chrono::steady_clock::time_point lastFrame;  // the last frame it sent (or its start)
};

// A link sends a query every few seconds; a connection that sends nothing for this long holds
// a place and is no link.
constexpr auto kClientIdle = std::chrono::seconds(30);

struct Relay {
    int udp = -1;
    int listener = -1;
    int wake = -1;
    int toLink = -1;            // the relay's end of the own link's pair
    sockaddr_in destination{};  // the modem's
    SenderRule senders;         // whom datagrams are taken from
    std::string path;
    std::thread thread;
    std::vector<Client> clients;           // relay thread only
    std::atomic<bool> handingOver{false};  // the clients are told as the relay ends
};

// Made by offer and ended by close, both on the thread that holds the link socket.
Relay relay;

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
            inHeaders_[i].msg_hdr.msg_name = &from_[i];
        }
    }

    // Reads what waits on `fd`, at most a batch; false when nothing did. A datagram longer than
    // the link reads is cut, as recv cuts it.
    bool receive(int fd, const SenderRule& senders) {
        for (unsigned i = 0; i < kBatch; ++i)
            inHeaders_[i].msg_hdr.msg_namelen = sizeof from_[i];
        const int n = ::recvmmsg(fd, inHeaders_, kBatch, MSG_DONTWAIT, nullptr);
        received_ = n > 0 ? static_cast<unsigned>(n) : 0;
        // An empty datagram is not handed on: on a client's socket it would read as the end
        // of the owner's stream, and the link has nothing to take from it. Nor is one from
        // another sender than the modem.
        count_ = 0;
        for (unsigned i = 0; i < received_; ++i) {
            if (inHeaders_[i].msg_len == 0 || !acceptedSender(from_[i], senders) ||
                isHandoverNotice(data_[i], inHeaders_[i].msg_len))
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
    sockaddr_in from_[kBatch];
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
            // Asleep while nothing comes, but for a look at idle clients now and then.
            if (::poll(fds.data(), fds.size(), r_.clients.empty() ? -1 : 5000) < 0) {
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
            const auto now = std::chrono::steady_clock::now();
            for (Client& c : r_.clients)
                if (c.fd >= 0 && now - c.lastFrame > kClientIdle)
                    drop(c, "it sent nothing for 30 s");
            std::erase_if(r_.clients, [](const Client& c) { return c.fd < 0; });
            if ((fds[2].revents & POLLIN) != 0)
                accept();
            attachedCount.store(r_.clients.size());
        }
    }

    ~RelayLoop() {
        const bool handingOver = r_.handingOver.load();
        for (Client& c : r_.clients)
            if (c.fd >= 0) {
                // After what waits for it, so that it reads every datagram before the notice.
                if (handingOver) {
                    flush(c);
                    if (c.fd >= 0)
                        (void)::send(c.fd, kHandoverNotice, sizeof kHandoverNotice - 1,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
                }
                if (c.fd >= 0)
                    ::close(c.fd);
            }
        r_.clients.clear();
        attachedCount.store(0);
    }

private:
    void fromModem() {
        Batch& b = *batch_;
        for (int pass = 0; pass < kBatchesPerPass && b.receive(r_.udp, r_.senders); ++pass) {
            // The modem is heard when a frame of the link comes, not any datagram.
            unsigned frames = 0;
            for (unsigned i = 0; i < b.size(); ++i)
                frames += b.length(i) >= 8 && readU16(b.data(i) + 6) == kLinkMagic ? 1 : 0;
            if (frames > 0)
                noteLinkHeard();
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
            if (c.queue.size() >= kShareQueueFrames || c.queuedBytes >= kQueueBytes) {
                drop(c, "it did not read its datagrams");
                return;
            }
            c.queue.emplace_back(b.data(i), b.data(i) + b.length(i));
            c.queuedBytes += b.length(i);
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
            for (int i = 0; i < n; ++i)
                c.queuedBytes -= c.queue[static_cast<std::size_t>(i)].size();
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
            c.lastFrame = std::chrono::steady_clock::now();
            // Another user's program is told by its user too: its name is its own choice.
            share::noteRequest(frame, static_cast<std::size_t>(n),
                               c.name.empty() ? describe(c.name, c.pid, c.uid)
                               : c.uid != ::geteuid()
                                   ? c.name + " (uid " + std::to_string(c.uid) + ")"
                                   : c.name);
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
            !peerAllowed(fd, cred, groupAdmitted_, group_)) {
            ::close(fd);
            return;
        }
        // Places for everyone: one user's programs take at most a share of them.
        const auto same = std::count_if(r_.clients.begin(), r_.clients.end(),
                                        [&](const Client& c) { return c.uid == cred.uid; });
        if (r_.clients.size() >= kShareMaxClients ||
            static_cast<std::size_t>(same) >= kShareMaxClientsPerUser) {
            const std::string full =
                std::string(kFullGreeting) +
                (r_.clients.size() >= kShareMaxClients
                     ? std::to_string(kShareMaxClients) + " programs are attached"
                     : std::to_string(kShareMaxClientsPerUser) +
                           " programs of this user are attached");
            (void)::send(fd, full.data(), full.size(), MSG_NOSIGNAL);
            ::close(fd);
            return;
        }
        int size = kSocketBuffer;
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        std::string greeting = kGreeting + std::to_string(::getpid()) + " " + self_;
        // A program dropped a moment ago that comes back is told why, which its closed
        // connection could not say (its socket was full, or it was deaf).
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(dropped_, [&](const Dropped& d) { return now - d.at > kDropTold; });
        if (auto it = std::find_if(dropped_.begin(), dropped_.end(),
                                   [&](const Dropped& d) { return d.pid == cred.pid; });
            it != dropped_.end()) {
            greeting += kDroppedLine + it->why;
            dropped_.erase(it);
        }
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
        c.uid = cred.uid;
        c.name = programName(cred.pid);
        c.lastFrame = std::chrono::steady_clock::now();
        r_.clients.push_back(std::move(c));
    }

    void drop(Client& c, const char* why) {
        if (why != nullptr) {
            share::addNotice("Dropped the attached " + describe(c.name, c.pid, c.uid) + ": " + why);
            if (dropped_.size() >= kShareMaxClients)
                dropped_.erase(dropped_.begin());
            dropped_.push_back(Dropped{c.pid, why, std::chrono::steady_clock::now()});
        }
        ::close(c.fd);
        c.fd = -1;
        c.queue.clear();
        c.queuedBytes = 0;
    }

    // Programs dropped for a reason, told it when they attach again soon after.
    struct Dropped {
        int pid = 0;
        std::string why;
        std::chrono::steady_clock::time_point at;
    };
    static constexpr auto kDropTold = std::chrono::minutes(5);

    Relay& r_;
    std::vector<Dropped> dropped_;
    bool groupAdmitted_ = false;
    gid_t group_ = 0;
    std::string self_ = selfName();
    std::unique_ptr<Batch> batch_;  // large: on the heap, not the thread's stack
};

}  // namespace

void handOver() {
    relay.handingOver.store(true);
    close();
}

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
    relay.udp = relay.listener = relay.wake = relay.toLink = -1;
    relay.destination = sockaddr_in{};
    relay.senders = SenderRule{};
    relay.path.clear();
    relay.clients.clear();
    relay.handingOver.store(false);
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
    relay.senders = SenderRule{modemPort, !key.interfaceName.empty()};
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

}  // namespace brix::share
