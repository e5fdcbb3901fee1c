#include "link/link_senders.h"

#include <ifaddrs.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

namespace brix {

namespace {

std::atomic<std::uint64_t> refused{0};

// This host's IPv4 addresses, looked up again at most every few seconds (an address may be
// added while the link runs); the relay and the link thread may both ask.
std::mutex addressesMutex;
std::vector<in_addr_t> addresses;                     // guarded by addressesMutex
std::chrono::steady_clock::time_point addressesRead;  // guarded by addressesMutex

bool fromThisHost(in_addr_t address) {
    if ((ntohl(address) >> 24) == 127)
        return true;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(addressesMutex);
    if (addressesRead == std::chrono::steady_clock::time_point{} ||
        now - addressesRead > std::chrono::seconds(5)) {
        addressesRead = now;
        addresses.clear();
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next)
                if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET)
                    addresses.push_back(
                        reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
            ::freeifaddrs(list);
        }
    }
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

}  // namespace

bool acceptedSender(const sockaddr_in& from, const SenderRule& rule) {
    const bool ok = from.sin_family == AF_INET &&
                    (rule.modemPort == 0 || ntohs(from.sin_port) == rule.modemPort) &&
                    (!rule.otherHostsOnly || !fromThisHost(from.sin_addr.s_addr));
    if (!ok)
        refused.fetch_add(1, std::memory_order_relaxed);
    return ok;
}

std::uint64_t linkSendersRefused() {
    return refused.load(std::memory_order_relaxed);
}

}  // namespace brix
