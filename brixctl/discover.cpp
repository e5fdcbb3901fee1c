#include "brixctl/discover.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "brixctl/session.h"
#include "brixctl/values.h"
#include "domain/frequency.h"
#include "domain/rates.h"
#include "link/link_frame.h"
#include "link/link_share.h"
#include "link/link_transport.h"

namespace brixctl {

namespace {

using nlohmann::ordered_json;

// Interfaces that could lead to a modem: up, not loopback, each name once.
std::vector<std::string> candidateInterfaces() {
    std::vector<std::string> names;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return names;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_name == nullptr || (i->ifa_flags & IFF_UP) == 0 ||
            (i->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        const std::string name(i->ifa_name);
        if (name.size() < IF_NAMESIZE && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    ::freeifaddrs(list);
    std::sort(names.begin(), names.end());
    return names;
}

struct Probe {
    std::string name;
    int fd = -1;
    std::string failure;
    bool answered = false;
    std::uint16_t frequency = 0;  // 100 kHz
    std::uint16_t rateCode = 0;
};

// A socket on the link's port that hears and sends only on `p.name`. Every probe shares the
// port (SO_REUSEADDR), but a link that holds it shares it with none.
bool openProbe(Probe& p, int& bindError) {
    p.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (p.fd < 0) {
        p.failure = std::strerror(errno);
        return false;
    }
    int on = 1;
    if (::setsockopt(p.fd, SOL_SOCKET, SO_BINDTODEVICE, p.name.c_str(),
                     static_cast<socklen_t>(p.name.size())) != 0 ||
        ::setsockopt(p.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(p.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        p.failure = std::string("cannot bind to the interface: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(brix::kLocalPort);
    if (::bind(p.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        bindError = errno;
        p.failure = std::string("cannot bind port 30587: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void sendQuery(const Probe& p) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(brix::kModemPort);
    const brix::LinkFrame& f = brix::buildRequest(brix::MessageType::RfQuery);
    (void)::sendto(p.fd, f.bytes, brix::kFrameHeaderSize, 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
}

// Reads what waits; an RF report (magic, type 7, both channel words) is the modem's answer.
void readAnswers(Probe& p) {
    for (;;) {
        std::uint8_t d[brix::kReceiveCapacity];
        const ssize_t n = ::recv(p.fd, d, sizeof d, MSG_DONTWAIT);
        if (n < 0)
            return;
        if (n >= 16 && brix::readU16(d + 6) == brix::kLinkMagic &&
            brix::readU16(d + 8) == static_cast<std::uint16_t>(brix::MessageType::RfReport)) {
            p.answered = true;
            p.frequency = brix::readU16(d + 12);
            p.rateCode = brix::readU16(d + 14);
        }
    }
}

std::string rateText(std::optional<double> mbps) {
    if (!mbps)
        return "no bit rate";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f Mbit/s", *mbps);
    return text;
}

}  // namespace

int runDiscover(const Options& o) {
    std::vector<Probe> probes;
    for (const std::string& name : candidateInterfaces()) {
        Probe p;
        p.name = name;
        probes.push_back(std::move(p));
    }
    if (probes.empty()) {
        std::fprintf(stderr, "brixctl: no interface is up (other than loopback)\n");
        return kNoAnswer;
    }
    for (Probe& p : probes) {
        int bindError = 0;
        if (!openProbe(p, bindError) && bindError == EADDRINUSE) {
            // Its own probes closed first, so that the holder named is the other program.
            for (Probe& q : probes)
                if (q.fd >= 0) {
                    ::close(q.fd);
                    q.fd = -1;
                }
            const std::string holder = brix::share::portHolder(brix::kLocalPort);
            std::fprintf(stderr,
                         "brixctl: port %u is in use%s%s: discover hears the answers there; run "
                         "it while no other program has the modem link\n",
                         static_cast<unsigned>(brix::kLocalPort), holder.empty() ? "" : " by ",
                         holder.c_str());
            return kPortInUse;
        }
    }

    // A lost query or answer is asked for again twice a second while time is left.
    const auto deadline = after(o.timeout);
    auto nextSend = Session::Clock::now();
    while (Session::Clock::now() < deadline && !Session::interrupted()) {
        if (Session::Clock::now() >= nextSend) {
            for (const Probe& p : probes)
                if (p.fd >= 0 && !p.answered)
                    sendQuery(p);
            nextSend = after(0.5);
        }
        std::vector<pollfd> fds;
        for (const Probe& p : probes)
            fds.push_back({p.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 50) > 0)
            for (Probe& p : probes)
                if (p.fd >= 0)
                    readAnswers(p);
        if (std::all_of(probes.begin(), probes.end(),
                        [](const Probe& p) { return p.fd < 0 || p.answered; }))
            break;
    }

    bool any = false;
    ordered_json all = ordered_json::array();
    std::string text;
    for (Probe& p : probes) {
        if (p.fd >= 0)
            ::close(p.fd);
        any = any || p.answered;
        ordered_json j;
        j["interface"] = p.name;
        j["answered"] = p.answered;
        if (p.answered) {
            const std::optional<double> mbps = brix::codeRateMbps(p.rateCode);
            j["receive"] = {{"frequency_mhz", p.frequency / 10.0},
                            {"bit_rate_mbps", mbps ? ordered_json(*mbps) : ordered_json(nullptr)},
                            {"rate_code", p.rateCode}};
            char line[128];
            std::snprintf(line, sizeof line, "%-16s modem answers: receive %s  %s (code %u)\n",
                          p.name.c_str(), brix::mhzUnitText(p.frequency).c_str(),
                          rateText(mbps).c_str(), static_cast<unsigned>(p.rateCode));
            text += line;
        } else {
            if (!p.failure.empty())
                j["error"] = p.failure;
            char line[160];
            std::snprintf(line, sizeof line, "%-16s %s\n", p.name.c_str(),
                          p.failure.empty() ? "no answer" : p.failure.c_str());
            text += line;
        }
        all.push_back(std::move(j));
    }
    if (o.format == Format::Json) {
        std::printf("%s\n", all.dump(2).c_str());
    } else if (o.format == Format::Csv) {
        std::printf("interface,answered,frequency_mhz,bit_rate_mbps,rate_code\n");
        for (const ordered_json& j : all) {
            if (j["answered"].get<bool>())
                std::printf("%s,true,%s,%s,%s\n", j["interface"].get<std::string>().c_str(),
                            j["receive"]["frequency_mhz"].dump().c_str(),
                            j["receive"]["bit_rate_mbps"].is_null()
                                ? ""
                                : j["receive"]["bit_rate_mbps"].dump().c_str(),
                            j["receive"]["rate_code"].dump().c_str());
            else
                std::printf("%s,false,,,\n", j["interface"].get<std::string>().c_str());
        }
    } else {
        std::fputs(text.c_str(), stdout);
        if (any)
            std::puts("Pass the interface a modem answers on with --interface NAME.");
    }
    std::fflush(stdout);
    return any ? kDone : kNoAnswer;
}

}  // namespace brixctl
