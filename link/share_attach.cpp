// Attaching to the link another program of this PC owns: finding its socket, connecting, and
// reading its greeting.
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_share.h"
#include "link/share_internal.h"

namespace brix::share {

namespace {

// The owner's greeting: "BRIXLINK1 PID NAME", then perhaps "\ndropped WHY" and "\nhistory PATH".
// Anything else is no link of ours; "BRIXFULL WHY" an owner that takes no more programs (`full`
// says why).
std::string printable(std::string text, std::size_t most) {
    text.resize(std::min(text.size(), most));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    return text;
}

bool readGreeting(int fd, std::string& owner, std::string& history, std::string& dropped,
                  std::string& full) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0)
        return false;
    char text[kGreetingMax + 1];
    ssize_t n = ::recv(fd, text, kGreetingMax, MSG_DONTWAIT);
    const std::size_t fullPrefix = sizeof kFullGreeting - 1;
    if (n > static_cast<ssize_t>(fullPrefix) && std::memcmp(text, kFullGreeting, fullPrefix) == 0) {
        full =
            printable(std::string(text + fullPrefix, static_cast<std::size_t>(n) - fullPrefix), 80);
        return false;
    }
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
    dropped.clear();
    if (const std::size_t line = name.find(kDroppedLine); line != std::string::npos) {
        dropped = printable(name.substr(line + sizeof kDroppedLine - 1), 80);
        name.resize(line);
    }
    owner = describe(printable(name, 32), static_cast<int>(pid));
    return true;
}

}  // namespace

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

// Beside the overload above, so both are found: an unnamed namespace would hide that one.
static std::vector<std::string> attachCandidates(const Key& key) {
    return attachCandidates(socketName(key));
}

namespace {

std::mutex refusalMutex;
std::string refusal;  // guarded by refusalMutex

// The program listening on `fd` runs as `owner`: anyone else (another user who made a folder
// in a shared /tmp, a member of a service's group) could show made-up values as the modem's,
// swallow this program's requests and name a store of its choice.
bool trustedPeer(int fd, uid_t owner, const std::string& path, std::string& why) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        why = "the program at " + path + " cannot be told";
        return false;
    }
    if (cred.uid == owner)
        return true;
    why = "the program at " + path + " (pid " + std::to_string(cred.pid) + ", uid " +
          std::to_string(cred.uid) + ") runs as another user than its folder's";
    return false;
}

}  // namespace

std::string attachRefusal() {
    std::lock_guard<std::mutex> lock(refusalMutex);
    return refusal;
}

int attach(const Key& key) {
    close();
    {
        std::lock_guard<std::mutex> lock(refusalMutex);
        refusal.clear();
    }
    for (const std::string& path : attachCandidates(key)) {
        sockaddr_un address{};
        if (!makeAddress(path, address))
            continue;
        uid_t expected = 0;
        std::string why;
        if (!trustedFolder(path.substr(0, path.find_last_of('/')), expected, why)) {
            std::lock_guard<std::mutex> lock(refusalMutex);
            refusal = why;
            continue;
        }
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        std::string owner, history, dropped;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            continue;
        }
        // Not a word is believed before the peer is known.
        if (!trustedPeer(fd, expected, path, why)) {
            ::close(fd);
            std::lock_guard<std::mutex> lock(refusalMutex);
            refusal = why;
            continue;
        }
        std::string full;
        if (!readGreeting(fd, owner, history, dropped, full)) {
            ::close(fd);
            if (!full.empty()) {
                std::lock_guard<std::mutex> lock(refusalMutex);
                refusal = "the link at " + path + " is full: " + full;
            }
            continue;
        }
        (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
        attachedFd = fd;
        std::lock_guard<std::mutex> lock(infoMutex);
        sharePath = path;
        ownerName = owner;
        ownerHistory = history;
        droppedWhy = dropped;
        return fd;
    }
    return -1;
}

}  // namespace brix::share
