#include "channels/shared_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

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
    // Every link on the way counts, a folder's as much as the file's: the kernel's rule holds
    // for each link a lookup follows, so a planted link to a folder is refused too. The path is
    // walked a name at a time; a link's target takes its place in what is left to walk.
    const uid_t user = ::geteuid();
    std::deque<std::string> left;
    const auto pushFront = [&](const std::string& text) {
        std::deque<std::string> names;
        std::size_t at = 0;
        while (at <= text.size()) {
            const std::size_t slash = std::min(text.find('/', at), text.size());
            if (slash > at)
                names.push_back(text.substr(at, slash - at));
            at = slash + 1;
        }
        left.insert(left.begin(), names.begin(), names.end());
    };
    const auto join = [](const std::string& folder, const std::string& name) {
        // A name in the current folder stays as given, for the messages that name it.
        return folder == "/" ? "/" + name : folder == "." ? name : folder + "/" + name;
    };
    pushFront(path);
    std::string at = !path.empty() && path.front() == '/' ? "/" : ".";
    int hops = 0;
    bool followed = false;
    while (!left.empty()) {
        const std::string name = left.front();
        left.pop_front();
        if (name == ".")
            continue;
        const std::string next = join(at, name);
        struct stat info {};
        if (name == ".." || ::lstat(next.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) ||
            ++hops > kMaxHops) {
            at = next;  // a folder, a file, a name not there yet, or a loop for open to tell
            continue;
        }
        if (std::string refused = linkRefusal(next, user); !refused.empty()) {
            why = std::move(refused);
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::readlink(next.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
            at = next;
            continue;
        }
        const std::string to(buffer, static_cast<std::size_t>(n));
        followed = true;
        if (to.front() == '/')
            at = "/";
        pushFront(to);
    }
    // A path without links is kept as it was given, for the messages that name it.
    target = followed ? std::move(at) : path;
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
