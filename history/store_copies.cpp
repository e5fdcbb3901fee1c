// Whole copies of a store while it is written, and the checkpoints that keep its main file near
// what its write-ahead log holds (a plain cp of the main file alone then loses minutes, not all).
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "history/history_store.h"

namespace brix::history {

bool Store::checkpoint() {
    // PASSIVE: never waits for a reader; what a reader holds is moved the next time.
    return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) ==
           SQLITE_OK;
}

bool Store::backup(const std::string& file, std::string& error) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) == 0) {
        error = file + " exists: name a new file";
        return false;
    }
    // Written beside its place under a name of its own (made here, never someone else's file
    // that was waiting there) and moved to its name when whole: never half a copy under it.
    std::string part = file + ".part-XXXXXX";
    const int made = ::mkstemp(part.data());
    if (made < 0) {
        error = file + ": " + std::strerror(errno);
        return false;
    }
    ::close(made);
    sqlite3* copy = nullptr;
    if (sqlite3_open_v2(part.c_str(), &copy,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE,
                        nullptr) != SQLITE_OK) {
        error = part + ": " + (copy != nullptr ? sqlite3_errmsg(copy) : "cannot be made");
        sqlite3_close(copy);
        ::unlink(part.c_str());
        return false;
    }
    // Of one moment, however the writer goes on: the pages are read in one read transaction of
    // the store, a few at a time so that an interrupt is heard between them.
    const bool reading = sqlite3_exec(db_, "BEGIN; SELECT count(*) FROM sqlite_master", nullptr,
                                      nullptr, nullptr) == SQLITE_OK;
    sqlite3_backup* b = sqlite3_backup_init(copy, "main", db_, "main");
    int code = b != nullptr ? SQLITE_OK : sqlite3_errcode(copy);
    bool interrupted = false;
    while (b != nullptr && code == SQLITE_OK) {
        interrupted = interrupt_ != nullptr && interrupt_->load(std::memory_order_relaxed);
        if (interrupted)
            break;
        code = sqlite3_backup_step(b, 1024);
    }
    if (b != nullptr)
        (void)sqlite3_backup_finish(b);
    if (reading)
        (void)sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (interrupted) {
        sqlite3_close(copy);
        ::unlink(part.c_str());
        error = "interrupted; nothing written";
        return false;
    }
    // One file, no side files: a copy is carried and read as it is.
    if (code == SQLITE_DONE)
        code = sqlite3_exec(copy, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    const std::string why = code == SQLITE_OK ? std::string() : sqlite3_errmsg(copy);
    sqlite3_close(copy);
    if (code != SQLITE_OK) {
        ::unlink(part.c_str());
        error = file + ": " + why;
        return false;
    }
    const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced ||
        ::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) != 0) {
        error = file + ": " + std::strerror(errno);
        ::unlink(part.c_str());
        return false;
    }
    return true;
}

}  // namespace brix::history
