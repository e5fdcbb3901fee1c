// Where a link is offered (the socket's folder and name) and who may attach to it: this user,
// root, and for a service's link the group its folder lets in.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "link/link_share.h"
#include "link/share_internal.h"

namespace brix::share {

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

bool trustedFolder(const std::string& folder, uid_t& owner, std::string& why) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        why = folder + " is no folder";
        return false;
    }
    if ((info.st_mode & 0002) != 0) {
        why = folder + " may be written by anyone";
        return false;
    }
    owner = info.st_uid;
    const bool mine = info.st_uid == ::geteuid();
    // The user's own: reachable by nobody else, so nobody else can have put a socket there.
    if (mine && (info.st_mode & 0077) == 0)
        return true;
    // This program's own folder as a service, made by the service manager.
    if (mine && folder == serviceFolder())
        return true;
    // A service's: /run/brix/IFACE/, made by the service manager for its user, in a folder that
    // only root may write, so that nobody else can have made it or put a socket in it.
    const std::string parent = folder.substr(0, folder.find_last_of('/'));
    struct stat above {};
    if (!parent.empty() && ::lstat(parent.c_str(), &above) == 0 && S_ISDIR(above.st_mode) &&
        above.st_uid == 0 && (above.st_mode & 0022) == 0 && (info.st_mode & 0020) == 0)
        return true;
    why = mine ? folder + " may be entered by others" : folder + " is not this user's";
    return false;
}

bool runsAsService() {
    uid_t owner = 0;
    return serviceFolderOf(serviceFolder(), owner) && owner == ::geteuid();
}

bool serviceFolderOf(const std::string& folder, uid_t& owner) {
    if (folder.rfind("/run/brix/", 0) != 0 || folder.find('/', 10) != std::string::npos)
        return false;
    struct stat above {};
    struct stat info {};
    if (::lstat("/run/brix", &above) != 0 || !S_ISDIR(above.st_mode) || above.st_uid != 0 ||
        (above.st_mode & 0022) != 0 || ::lstat(folder.c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode) || (info.st_mode & 0022) != 0)
        return false;
    owner = info.st_uid;
    return true;
}

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

}  // namespace brix::share
