#pragma once
// Files that the programs keep in the current folder (the channel file, the logs) may lie in a
// folder that other users write too: /tmp, a team share. A symbolic link planted there by another
// user would make the program write over one of the user's own files. The kernel refuses to
// follow such a link when it resolves a path itself (fs.protected_symlinks); the programs follow
// the channel file's links on their own, so they apply the same rule here, and open the last
// step without following a link at all.

#include <sys/types.h>

#include <string>

namespace brix {

// The folder part of `path`: "." for a bare name, "/" for a file at the root.
std::string folderOf(const std::string& path);

// The kernel's rule for following the symbolic link at `link` as user `uid`: allowed when the
// link's owner is `uid`, when its folder is not both sticky and writable by others, or when the
// folder's owner owns the link. Returns "" when allowed (also when `link` is no link), else why
// not, in words for the Console.
std::string linkRefusal(const std::string& link, uid_t uid);

// The file `path` names once its symbolic links are followed, each as linkRefusal allows for
// the effective user (the target may not exist yet). False, with the reason in `why`, when a
// link may not be followed: the caller leaves the file alone.
bool followLinks(const std::string& path, std::string& target, std::string& why);

// open(2) of `path` with `flags` (O_CLOEXEC and O_NOFOLLOW are added) after followLinks: a link
// that the rule refuses, or one put in place after the check, is not followed. -1, with errno
// and `why` set, on failure.
int openFollowingRule(const std::string& path, int flags, mode_t mode, std::string& why);

}  // namespace brix
