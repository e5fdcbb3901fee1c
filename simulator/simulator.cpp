#include "simulator.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace brix::sim {

namespace {

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in ipv4(const std::string& address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

constexpr std::size_t kReceiveBytes = 65536;
constexpr int kMaxPollMs = 50;
constexpr int kMaxFloodBurst = 1000;

}  // namespace

std::uint32_t chooseSeed(const Options& options) {
    if (options.seed)
        return *options.seed;
    return static_cast<std::uint32_t>(steadyNs() ^ (static_cast<std::int64_t>(::getpid()) << 16));
}

Simulator::Simulator(const Options& options, ModemSettings modemSettings, std::FILE* out)
    : options_(options),
      modem_(std::move(modemSettings), chooseSeed(options)),
      faults_(options.faults, chooseSeed(options) + 1),
      timerRng_(chooseSeed(options) + 2),
      out_(out),
      startNs_(steadyNs()) {}

Simulator::~Simulator() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Simulator::open(std::string& error) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        error = std::string("cannot allow broadcasts: ") + std::strerror(errno);
        return false;
    }
    if (!options_.interfaceName.empty()) {
        const std::string& name = options_.interfaceName;
        if (name.size() >= IF_NAMESIZE || ::if_nametoindex(name.c_str()) == 0) {
            error = "no such interface: " + name;
            return false;
        }
        if (::setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                         static_cast<socklen_t>(name.size())) != 0) {
            error = "cannot bind to interface " + name + ": " + std::strerror(errno);
            return false;
        }
    }
    const sockaddr_in local = ipv4(options_.bindAddress, options_.localPort);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = "cannot bind " + options_.bindAddress + ":" + std::to_string(options_.localPort) +
                ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::int64_t Simulator::nowMs() const {
    return (steadyNs() - startNs_) / 1000000;
}

void Simulator::log(const char* what, const std::string& text) {
    if (options_.quiet)
        return;
    const double t = static_cast<double>(steadyNs() - startNs_) / 1e9;
    std::fprintf(out_, "%9.3f %-4s %s\n", t, what, text.c_str());
}

std::int64_t Simulator::nextInterval(double meanSeconds) {
    // Between half and one and a half times the mean, so messages do not come in lock-step.
    const double factor = 0.5 + static_cast<double>(timerRng_() % 1001) / 1000.0;
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(meanSeconds * 1000.0 * factor));
}

void Simulator::sendNow(const Bytes& datagram, const std::string& faults) {
    const sockaddr_in dest = ipv4(options_.destination, options_.peerPort);
    const ssize_t n = ::sendto(fd_, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
    std::string line = describeFrame(datagram.data(), datagram.size(), true);
    if (!faults.empty())
        line += " [" + faults + "]";
    if (n < 0) {
        ++counts_.sendFailed;
        log("fail", line + ": " + std::strerror(errno));
        return;
    }
    ++counts_.sent;
    log("send", line);
}

void Simulator::emit(const Bytes& frame, bool isReply) {
    const FaultInjector::Outcome o = faults_.apply(frame);
    std::string faults;
    for (const auto& f : o.faults)
        faults += (faults.empty() ? "" : ", ") + f;
    if (o.datagrams.empty()) {
        log("drop", describeFrame(frame.data(), frame.size(), true));
        return;
    }
    const std::int64_t delay = isReply ? options_.lateMs : 0;
    for (const Bytes& d : o.datagrams) {
        if (delay > 0) {
            ++counts_.delayed;
            queue_.emplace(nowMs() + delay, Queued{d, faults});
        } else {
            sendNow(d, faults);
        }
    }
}

void Simulator::receiveAll() {
    static thread_local std::vector<std::uint8_t> buffer(kReceiveBytes);
    for (int i = 0; i < 64; ++i) {
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_TRUNC);
        if (n < 0)
            return;  // EAGAIN: nothing more waiting; anything else: try again later
        ++counts_.received;
        const std::size_t size = std::min(static_cast<std::size_t>(n), buffer.size());
        std::string line = describeFrame(buffer.data(), size, false);
        if (static_cast<std::size_t>(n) > buffer.size())
            line += " (cut to 65536 bytes)";
        if (options_.silent) {
            log("recv", line + " (silent)");
            continue;
        }
        log("recv", line);
        const Answer a = modem_.handle(buffer.data(), size, nowMs());
        for (const auto& note : a.notes)
            log("note", note);
        if (options_.ackOther) {
            for (const auto& f : a.frames) {
                if (f.size() > 9 && getU16(f.data() + 8) == type::kSetData)
                    ++counts_.otherAcks;
            }
        }
        for (const auto& f : a.frames)
            emit(f, true);
    }
}

void Simulator::fireTimers(std::int64_t now) {
    if (options_.silent)
        return;
    if (nextLinkTest_ >= 0 && now >= nextLinkTest_) {
        if (modem_.awaitingLinkTestAnswer())
            log("note", "no answer to the last link test");
        emit(modem_.makeLinkTest(now), false);
        nextLinkTest_ = now + nextInterval(options_.linkTestSeconds);
    }
    if (nextDebug_ >= 0 && now >= nextDebug_) {
        emit(modem_.makeDebugMessage(), false);
        nextDebug_ = now + nextInterval(options_.debugSeconds);
    }
    if (options_.floodRate > 0) {
        floodCarry_ += options_.floodRate * static_cast<double>(now - lastFlood_) / 1000.0;
        lastFlood_ = now;
        int burst = 0;
        while (floodCarry_ >= 1.0 && burst < kMaxFloodBurst) {
            emit(modem_.makeFloodFrame(now), false);
            floodCarry_ -= 1.0;
            ++burst;
        }
        // A loop that fell behind does not try to catch up with a storm.
        if (floodCarry_ >= 1.0)
            floodCarry_ = 0;
    }
}

void Simulator::run(const volatile std::sig_atomic_t* stop) {
    const std::int64_t start = nowMs();
    const std::int64_t end =
        options_.durationSeconds > 0
            ? start + static_cast<std::int64_t>(options_.durationSeconds * 1000)
            : -1;
    if (options_.linkTestSeconds > 0)
        nextLinkTest_ = start + nextInterval(options_.linkTestSeconds);
    if (options_.debugSeconds > 0)
        nextDebug_ = start + nextInterval(options_.debugSeconds);
    lastFlood_ = start;

    while (*stop == 0) {
        std::int64_t now = nowMs();
        if (end >= 0 && now >= end)
            break;
        fireTimers(now);
        while (!queue_.empty() && queue_.begin()->first <= now) {
            sendNow(queue_.begin()->second.datagram, queue_.begin()->second.faults);
            queue_.erase(queue_.begin());
        }

        std::int64_t wait = kMaxPollMs;
        if (!queue_.empty())
            wait = std::min(wait, queue_.begin()->first - now);
        if (end >= 0)
            wait = std::min(wait, end - now);
        if (options_.floodRate > 0)
            wait = std::min<std::int64_t>(wait, 5);
        pollfd p{fd_, POLLIN, 0};
        // A signal interrupts the poll (EINTR); the flag is then seen at the top of the loop.
        if (::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, wait))) > 0)
            receiveAll();
    }
}

std::string Simulator::statsLine() const {
    const FaultCounts& f = faults_.counts();
    return "stats: received " + std::to_string(counts_.received) + " sent " +
           std::to_string(counts_.sent) + " send-failed " + std::to_string(counts_.sendFailed) +
           " dropped " + std::to_string(f.dropped) + " duplicated " + std::to_string(f.duplicated) +
           " delayed " + std::to_string(counts_.delayed) + " malformed " +
           std::to_string(f.malformed) + " other-acks " + std::to_string(counts_.otherAcks);
}

}  // namespace brix::sim
