// The service's claim on the link: while another program of this PC holds the port, the service
// listens on a socket in its folder; an owner that finds it there (made by the service manager,
// listened on by the folder's user) hands the link over.
#include <glob.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "link/link_share.h"
#include "link/share_internal.h"

namespace brix::share {

namespace {

int claimFd = -1;  // the link thread's
std::string claimPath;

std::string claimName(std::uint16_t port) {
    // The network namespace and port of the link's name: an owner of another namespace's port
    // is not asked.
    const std::string link = socketName(Key{port, {}});
    return "claim-" + link.substr(sizeof "link-" - 1);
}

}  // namespace

int claimLink(std::uint16_t port) {
    if (claimFd >= 0) {
        // Owners that looked: their connections are not kept.
        for (int fd; (fd = ::accept4(claimFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            ::close(fd);
        return claimFd;
    }
    const std::string folder = serviceFolder();
    if (folder.empty() || !runsAsService())
        return -1;
    const std::string path = folder + "/" + claimName(port);
    sockaddr_un address{};
    if (!makeAddress(path, address))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    ::unlink(path.c_str());  // our own folder: a file left by a service that died
    // The members of the folder's group are the owners that look for it: whatever the umask,
    // they may connect.
    gid_t group = 0;
    const bool groupAdmitted = admittedGroup(folder, group);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), groupAdmitted ? 0660 : 0600) != 0 || ::listen(fd, 16) != 0) {
        ::unlink(path.c_str());
        ::close(fd);
        return -1;
    }
    claimFd = fd;
    claimPath = path;
    return fd;
}

void dropClaim() {
    if (claimFd < 0)
        return;
    ::unlink(claimPath.c_str());
    ::close(claimFd);
    claimFd = -1;
    claimPath.clear();
}

std::string serviceClaim(std::uint16_t port) {
    glob_t found{};
    std::string who;
    if (::glob(("/run/brix/*/" + claimName(port)).c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc && i < 16 && who.empty(); ++i) {
            const std::string path = found.gl_pathv[i];
            uid_t owner = 0;
            sockaddr_un address{};
            if (!serviceFolderOf(path.substr(0, path.rfind('/')), owner) ||
                !makeAddress(path, address))
                continue;
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                break;
            ucred cred{};
            socklen_t length = sizeof cred;
            // Only a claim that the folder's user listens on: nobody else could have made it.
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0 && cred.uid == owner)
                who = describe(programName(cred.pid), cred.pid, cred.uid);
            ::close(fd);
        }
    }
    ::globfree(&found);
    return who;
}

}  // namespace brix::share
