#pragma once
// What the files of the link's sharing (link_share.cpp and share_*.cpp) hold in common: the
// greeting, the state that the getters of link_share.h read, and helpers used by more than one.

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_share.h"

namespace brix::share {

inline constexpr char kGreeting[] = "BRIXLINK1 ";
// "BRIXLINK1 PID NAME", then "\ndropped WHY" to a program it dropped a moment ago, and
// "\nhistory PATH" when the owner records.
inline constexpr char kDroppedLine[] = "\ndropped ";
inline constexpr char kHistoryLine[] = "\nhistory ";
inline constexpr std::size_t kGreetingMax = 96 + 4096;
// In place of the greeting when the owner takes no more programs: "BRIXFULL WHY".
inline constexpr char kFullGreeting[] = "BRIXFULL ";

// share_folders.cpp: whether `folder` is a service's: under /run/brix, which only root writes,
// so made by the service manager; `owner` gets its user.
bool serviceFolderOf(const std::string& folder, uid_t& owner);

// What an attaching program takes from an owner's first message, which it reads only once the
// owner is known to be trusted, and still as text from another program: printable, bounded.
struct Greeting {
    std::string owner;    // "brixctl (pid 42)"
    std::string history;  // an absolute path, or empty
    std::string dropped;  // why this program was dropped a moment ago, or empty
    std::string full;     // why an owner that takes no more programs refused, or empty
};
// False for anything but a greeting (a "BRIXFULL" refusal sets `full`).
bool parseGreeting(const char* text, std::size_t size, Greeting& greeting);

// link_share.cpp: who this program shares the link with, as the getters tell it.
extern std::mutex infoMutex;
extern std::string ownerName;       // guarded by infoMutex
extern std::string sharePath;       // guarded by infoMutex
extern std::string ownerHistory;    // guarded by infoMutex: the attached-to owner's store
extern std::string offeredHistory;  // guarded by infoMutex: this owner's store
extern std::string droppedWhy;      // guarded by infoMutex: why the owner dropped this program
extern std::atomic<std::size_t> attachedCount;
// Made by attach and ended by close, both on the thread that holds the link socket.
extern int attachedFd;

bool makeAddress(const std::string& path, sockaddr_un& address);

// share_relay.cpp: ends the relay that offer started and removes its socket file.
void closeRelay();

// share_folders.cpp: where links are offered, and who may attach to one.
bool ownFolder(const std::string& folder);
std::string userFolder();
std::string serviceFolder();
bool admittedGroup(const std::string& folder, gid_t& group);
bool peerAllowed(int fd, const ucred& cred, bool groupAdmitted, gid_t group);
// Whether a link offered in `folder` may be believed, and the user its owner must run as: the
// user's own folder (a real directory of this user's, closed to others) or a service's (a real
// directory that others cannot write, made by the service manager under a folder only root
// writes, or this program's own as a service). False with the reason in `why`.
bool trustedFolder(const std::string& folder, uid_t& owner, std::string& why);

// share_attach.cpp: the paths where a socket named `name` (a glob pattern) may be offered.
std::vector<std::string> attachCandidates(const std::string& name);

// share_holders.cpp: a process's name from /proc ("" when it cannot be read), and "NAME (pid
// N)"; with its user, "pid N, uid U" where the name cannot be read.
std::string programName(int pid);
std::string describe(const std::string& name, int pid);
std::string describe(const std::string& name, int pid, uid_t uid);

}  // namespace brix::share
