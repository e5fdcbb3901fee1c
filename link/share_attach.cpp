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

std::string printable(std::string text, std::size_t most) {
    text.resize(std::min(text.size(), most));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    return text;
}

bool readGreeting(int fd, Greeting& greeting) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0)
        return false;
    char text[kGreetingMax];
    const ssize_t n = ::recv(fd, text, sizeof text, MSG_DONTWAIT);
    return n > 0 && parseGreeting(text, static_cast<std::size_t>(n), greeting);
}

}  // namespace

bool parseGreeting(const char* bytes, std::size_t n, Greeting& greeting) {
    greeting = Greeting{};
    const std::string text(bytes, std::min(n, kGreetingMax));
    const std::size_t fullPrefix = sizeof kFullGreeting - 1;
    if (text.size() > fullPrefix && text.compare(0, fullPrefix, kFullGreeting) == 0) {
        greeting.full = printable(text.substr(fullPrefix), 80);
        return false;
    }
    const std::size_t prefix = sizeof kGreeting - 1;
    if (text.size() <= prefix || text.compare(0, prefix, kGreeting) != 0)
        return false;
    // The pid: digits, then a space.
    std::size_t at = prefix;
    long pid = 0;
    while (at < text.size() && at < prefix + 9 && text[at] >= '0' && text[at] <= '9')
        pid = pid * 10 + (text[at++] - '0');
    if (at == prefix || pid <= 0 || at >= text.size() || text[at] != ' ')
        return false;
    std::string name = text.substr(at + 1);
    if (const std::size_t line = name.find(kHistoryLine); line != std::string::npos) {
        greeting.history = name.substr(line + sizeof kHistoryLine - 1);
        name.resize(line);
        // A path, nothing else: no other line, no zero byte.
        if (greeting.history.empty() || greeting.history[0] != '/' ||
            greeting.history.find('\n') != std::string::npos ||
            greeting.history.find('\0') != std::string::npos)
            greeting.history.clear();
    }
    if (const std::size_t line = name.find(kDroppedLine); line != std::string::npos) {
        greeting.dropped = printable(name.substr(line + sizeof kDroppedLine - 1), 80);
        name.resize(line);
    }
    greeting.owner = describe(printable(name, 32), static_cast<int>(pid));
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

namespace {

int attachTo(const std::vector<std::string>& paths) {
    close();
    for (const std::string& path : paths) {
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
        Greeting greeting;
        if (!readGreeting(fd, greeting)) {
            ::close(fd);
            if (!greeting.full.empty()) {
                std::lock_guard<std::mutex> lock(refusalMutex);
                refusal = "the link at " + path + " is full: " + greeting.full;
            }
            continue;
        }
        (void)::fcntl(fd, F_SETFL, O_NONBLOCK);
        attachedFd = fd;
        std::lock_guard<std::mutex> lock(infoMutex);
        sharePath = path;
        ownerName = greeting.owner;
        ownerHistory = greeting.history;
        droppedWhy = greeting.dropped;
        return fd;
    }
    return -1;
}

}  // namespace

int attach(const Key& key) {
    {
        std::lock_guard<std::mutex> lock(refusalMutex);
        refusal.clear();
    }
    return attachTo(attachCandidates(key));
}

int attachToService(std::uint16_t port) {
    // Whatever interface it was started for: "link-netN-PORT" or "link-netN-PORT-IFACE".
    const std::string stem = socketName(Key{port, {}});
    std::vector<std::string> paths;
    glob_t found{};
    if (::glob(("/run/brix/*/" + stem + "*").c_str(), GLOB_NOSORT, nullptr, &found) == 0)
        for (std::size_t i = 0; i < found.gl_pathc && i < 64; ++i) {
            const std::string path = found.gl_pathv[i];
            const std::string name = path.substr(path.rfind('/') + 1);
            if (name == stem || name.compare(stem.size(), 1, "-") == 0)
                paths.push_back(path);
        }
    ::globfree(&found);
    return attachTo(paths);
}

}  // namespace brix::share
