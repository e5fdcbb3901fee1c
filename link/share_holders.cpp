// Naming who holds what, for the messages that tell why the link could not be had: the program
// on the UDP port (from /proc), a link offered for another interface choice, a service's folder
// this user may not enter.
#include <dirent.h>
#include <glob.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "link/link_share.h"
#include "link/share_internal.h"

namespace brix::share {

std::string programName(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    if (name.size() > 32)
        name.resize(32);
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    return name;
}

std::string describe(const std::string& name, int pid) {
    return (name.empty() ? std::string("a program") : name) + " (pid " + std::to_string(pid) + ")";
}

std::string describe(const std::string& name, int pid, uid_t uid) {
    // Where the name cannot be read (another user's process, a sandboxed service), the process
    // and its user are what is known.
    if (name.empty())
        return "pid " + std::to_string(pid) + ", uid " + std::to_string(uid);
    // Another user's program may have any name it likes: its user is said beside it.
    if (uid != ::geteuid())
        return name + " (pid " + std::to_string(pid) + ", uid " + std::to_string(uid) + ")";
    return describe(name, pid);
}

std::string selfName() {
    const std::string name = programName(static_cast<int>(::getpid()));
    return name.empty() ? std::string("a program") : name;
}

namespace {

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

bool closedServiceFolder(uid_t holder, std::string& folder, std::string& group) {
    glob_t found{};
    bool closed = false;
    if (::glob("/run/brix/*/", GLOB_NOSORT | GLOB_MARK, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc && i < 64 && !closed; ++i) {
            struct stat info {};
            // Only the holder's own: a service of another network namespace has a folder here too.
            if (::access(found.gl_pathv[i], X_OK) == 0 || ::stat(found.gl_pathv[i], &info) != 0 ||
                info.st_uid != holder)
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

std::string portHolder(std::uint16_t port, uid_t* holderUid) {
    // The sockets bound to the port, by inode, from the namespace's socket tables, and the
    // users they belong to.
    std::vector<unsigned long> inodes;
    std::vector<uid_t> owners;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // heading
        while (std::getline(in, line) && inodes.size() < 64) {
            unsigned long inode = 0;
            unsigned long uid = 0;
            char local[64] = {};
            // sl local rem st tx:rx tr:when retr uid timeout inode
            if (std::sscanf(line.c_str(), " %*s %63s %*s %*s %*s %*s %*s %lu %*s %lu", local, &uid,
                            &inode) != 3)
                continue;
            const char* colon = std::strrchr(local, ':');
            if (colon != nullptr && std::strtoul(colon + 1, nullptr, 16) == port && inode != 0) {
                inodes.push_back(inode);
                owners.push_back(static_cast<uid_t>(uid));
            }
        }
    }
    if (inodes.empty())
        return {};
    if (holderUid != nullptr)
        *holderUid = owners.front();
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
            for (std::size_t i = 0; i < inodes.size(); ++i)
                if (inodes[i] == inode)
                    holder = describe(programName(static_cast<int>(pid)), static_cast<int>(pid),
                                      owners[i]);
            if (!holder.empty())
                break;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    // A process this program may not look into: its user is still known.
    if (holder.empty())
        holder = "a program of uid " + std::to_string(owners.front());
    return holder;
}

}  // namespace brix::share
