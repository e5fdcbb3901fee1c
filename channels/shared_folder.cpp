#include "channels/shared_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brix {

namespace {

constexpr int kMaxHops = 40;  // as many links as the system follows in one path

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

}  // namespace

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string linkRefusal(const std::string& link, uid_t uid) {
    struct stat info {};
    if (::lstat(link.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) || info.st_uid == uid)
        return {};
    struct stat folder {};
    if (::stat(folderOf(link).c_str(), &folder) != 0)
        return quoted(link) + " is a symbolic link in a folder that cannot be read (" +
               std::strerror(errno) + "): not followed";
    constexpr mode_t kShared = S_ISVTX | S_IWOTH;
    if ((folder.st_mode & kShared) != kShared || folder.st_uid == info.st_uid)
        return {};
    return quoted(link) + " is a symbolic link of another user (uid " +
           std::to_string(info.st_uid) +
           ") in a folder that others may write (sticky): not followed";
}

bool followLinks(const std::string& path, std::string& target, std::string& why) {
    const uid_t user = ::geteuid();
    std::string at = path;
    for (int hop = 0; hop < kMaxHops; ++hop) {
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            break;
        if (std::string refused = linkRefusal(at, user); !refused.empty()) {
            why = std::move(refused);
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::readlink(at.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
            break;
        std::string next(buffer, static_cast<std::size_t>(n));
        if (next.front() != '/')
            next = folderOf(at) + "/" + next;
        at = std::move(next);
    }
    target = std::move(at);  // after a loop, the last link itself
    return true;
}

int openFollowingRule(const std::string& path, int flags, mode_t mode, std::string& why) {
    std::string target;
    if (!followLinks(path, target, why)) {
        errno = EACCES;  // what the kernel answers for such a link
        return -1;
    }
    const int fd = ::open(target.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        const int error = errno;
        why = "cannot open " + quoted(target) + ": " + std::strerror(error);
        errno = error;
    }
    return fd;
}

}  // namespace brix
