// The link's sharing as the rest of the program sees it: who holds the link, the counters, the
// notices the relay leaves for the link thread, and closing whatever offer or attach made.
#include "link/link_share.h"

#include <unistd.h>

#include <cstring>
#include <deque>
#include <utility>

#include "link/share_internal.h"

namespace brix {

namespace share {

std::mutex infoMutex;
std::string ownerName;       // guarded by infoMutex
std::string sharePath;       // guarded by infoMutex
std::string ownerHistory;    // guarded by infoMutex: the attached-to owner's store
std::string droppedWhy;      // guarded by infoMutex
std::string offeredHistory;  // guarded by infoMutex: this owner's store
std::atomic<std::size_t> attachedCount{0};

int attachedFd = -1;

namespace {

constexpr std::size_t kMaxNotices = 32;

std::mutex noticeMutex;
std::deque<std::string> notices;  // guarded by noticeMutex
std::atomic<bool> noticesWaiting{false};

}  // namespace

bool makeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace share

std::string linkOwnerName() {
    std::lock_guard<std::mutex> lock(share::infoMutex);
    return share::ownerName;
}

std::string linkSharePath() {
    std::lock_guard<std::mutex> lock(share::infoMutex);
    return share::sharePath;
}

std::size_t linkAttachedCount() {
    return share::attachedCount.load();
}

std::string linkOwnerHistory() {
    std::lock_guard<std::mutex> lock(share::infoMutex);
    return share::ownerHistory;
}

std::string linkDroppedWhy() {
    std::lock_guard<std::mutex> lock(share::infoMutex);
    return std::exchange(share::droppedWhy, {});
}

namespace share {

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

void offerHistory(std::string path) {
    std::lock_guard<std::mutex> lock(infoMutex);
    offeredHistory = std::move(path);
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
