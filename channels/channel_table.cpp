#include "channels/channel_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channels/shared_folder.h"

namespace brix {

namespace {

constexpr std::size_t kFrequencyOffset = 50;
constexpr std::size_t kBitRateOffset = 54;

void putLe32(std::uint8_t* p, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::int32_t getLe32(const std::uint8_t* p) {
    const std::uint32_t v =
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return static_cast<std::int32_t>(v);
}

bool validIndex(int k) {
    return k >= 0 && k < kChannelCount;
}

// Writes everything or fails; partial writes are continued, EINTR retried.
bool writeAll(const ChannelTable::WriteFunction& fn, int fd, const std::uint8_t* data,
              std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            fn ? fn(fd, data + done, size - done) : ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;  // no progress: treat as a full device
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Opens a new, unique file next to `path` (same directory, so rename() stays on one file
// system). O_EXCL guarantees nobody else's file is reused.
int openTempBeside(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + ".tmp." + std::to_string(::getpid()) + "." +
                   std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Removes what interrupted saves of `path` left: our own regular temporary files whose process
// is gone.
void removeLeftoverTemps(const std::string& path) {
    const std::string dirName = folderOf(path);
    const auto slash = path.rfind('/');
    const std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
    DIR* dir = ::opendir(dirName.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string rest = name.substr(prefix.size());
        const auto dot = rest.find('.');
        const std::string pidText = rest.substr(0, dot);
        if (pidText.empty() || pidText.find_first_not_of("0123456789") != std::string::npos ||
            pidText.size() > 9)
            continue;
        const auto pid = static_cast<pid_t>(std::stol(pidText));
        if (pid != ::getpid() && !(::kill(pid, 0) != 0 && errno == ESRCH))
            continue;  // a save that may still be running
        const std::string full = dirName + "/" + name;
        struct stat info {};
        if (::lstat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid())
            ::unlink(full.c_str());
    }
    ::closedir(dir);
}

}  // namespace

// ---- ChannelTableBody ----

ChannelTableBody ChannelTableBody::fromBytes(const std::uint8_t* data) {
    ChannelTableBody body;
    std::memcpy(body.bytes.data(), data, kChannelTableBodyBytes);
    return body;
}

std::uint16_t ChannelTableBody::frequency(int k) const {
    if (!validIndex(k))
        return 0;
    const std::size_t at = static_cast<std::size_t>(k) * kChannelRecordBytes;
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint8_t ChannelTableBody::bitRateIndex(int k) const {
    if (!validIndex(k))
        return 0;
    return bytes[static_cast<std::size_t>(k) * kChannelRecordBytes + 2];
}

void ChannelTableBody::setRecord(int k, std::uint16_t frequency, std::uint8_t bitRateIndex) {
    if (!validIndex(k))
        return;
    const std::size_t at = static_cast<std::size_t>(k) * kChannelRecordBytes;
    bytes[at] = static_cast<std::uint8_t>(frequency);
    bytes[at + 1] = static_cast<std::uint8_t>(frequency >> 8);
    bytes[at + 2] = bitRateIndex;
}

// ---- ChannelTable ----

ChannelTable::ChannelTable() = default;

void ChannelTable::reset() {
    std::lock_guard lock(mutex_);
    records_ = {};
}

std::array<std::uint8_t, kChannelFileBytes> ChannelTable::imageLocked() const {
    std::array<std::uint8_t, kChannelFileBytes> image{};
    for (std::size_t k = 0; k < records_.size(); ++k) {
        std::uint8_t* p = image.data() + k * kChannelEntryBytes;
        std::memcpy(p, records_[k].label.data(), kLabelBytes);
        putLe32(p + kFrequencyOffset, records_[k].frequency);
        putLe32(p + kBitRateOffset, records_[k].bitRateIndex);
    }
    return image;
}

void ChannelTable::readImageLocked(const std::array<std::uint8_t, kChannelFileBytes>& image) {
    for (std::size_t k = 0; k < records_.size(); ++k) {
        const std::uint8_t* p = image.data() + k * kChannelEntryBytes;
        std::memcpy(records_[k].label.data(), p, kLabelBytes);
        records_[k].frequency = getLe32(p + kFrequencyOffset);
        records_[k].bitRateIndex = getLe32(p + kBitRateOffset);
    }
}

bool ChannelTable::load(const std::string& path, std::string* why) {
    std::lock_guard lock(mutex_);
    std::string reason;
    const int fd = openFollowingRule(path, O_RDONLY, 0, reason);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0)
            ::close(fd);
        if (why != nullptr)
            *why = std::move(reason);
        return false;
    }
    // The file lies over the start of the table: what it does not hold keeps its value.
    std::array<std::uint8_t, kChannelFileBytes> image = imageLocked();
    std::array<std::uint8_t, kChannelFileBytes> buffer{};
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        if (why != nullptr)
            *why = "cannot read \"" + path + "\": " + std::strerror(error);
        return false;
    }
    std::memcpy(image.data(), buffer.data(), got);
    readImageLocked(image);
    return true;
}

bool ChannelTable::save(const std::string& linkOrPath, std::string* why) const {
    std::lock_guard lock(mutex_);
    const auto fail = [why](std::string reason) {
        if (why != nullptr)
            *why = std::move(reason);
        return false;
    };
    // Where the links lead (so that they stay and their target gets the table), as far as the
    // rule for links in shared folders lets them be followed.
    std::string path;
    if (std::string refused; !followLinks(linkOrPath, path, refused))
        return fail(std::move(refused));
    const std::array<std::uint8_t, kChannelFileBytes> image = imageLocked();
    removeLeftoverTemps(path);
    const std::string quotedPath = "\"" + path + "\"";

    std::string tempPath;
    const int fd = openTempBeside(path, tempPath);
    if (fd < 0)
        return fail("cannot make a new file beside " + quotedPath + ": " + std::strerror(errno));

    // Keep the old file's permissions; a new file gets the ones the umask allows.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        (void)::fchmod(fd, old.st_mode & 07777);
    }

    std::string failure;  // the first step that failed
    const auto step = [&failure, &quotedPath](bool ok, const char* what) {
        if (!ok && failure.empty())
            failure = std::string(what) + quotedPath + ": " + std::strerror(errno);
        return ok;
    };
    bool ok = step(writeAll(write_, fd, image.data(), image.size()), "cannot write ");
    ok = ok && step(::fsync(fd) == 0, "cannot write ");
    ok = step(::close(fd) == 0, "cannot write ") && ok;
    ok = ok && step(::rename(tempPath.c_str(), path.c_str()) == 0, "cannot replace ");
    if (!ok) {
        ::unlink(tempPath.c_str());
        return fail(std::move(failure));
    }
    // Make the rename itself durable; the data are safe either way, so a failure here is not one.
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

void ChannelTable::setLabel(int k, std::string_view text) {
    if (!validIndex(k))
        return;
    std::lock_guard lock(mutex_);
    auto& label = records_[static_cast<std::size_t>(k)].label;
    std::size_t n = 0;
    while (n < text.size() && n < kMaxLabelChars && text[n] != '\0') {
        label[n] = text[n];
        ++n;
    }
    label[n] = '\0';
}

bool ChannelTable::matchesLocked(const ChannelTableBody& body) const {
    for (int k = 0; k < kChannelCount; ++k) {
        const Record& r = records_[static_cast<std::size_t>(k)];
        if (r.frequency != static_cast<std::int32_t>(body.frequency(k)))
            return false;
        if (r.bitRateIndex != static_cast<std::int32_t>(body.bitRateIndex(k)))
            return false;
    }
    return true;
}

void ChannelTable::applyLocked(const ChannelTableBody& body) {
    for (int k = 0; k < kChannelCount; ++k) {
        Record& r = records_[static_cast<std::size_t>(k)];
        r.frequency = static_cast<std::int32_t>(body.frequency(k));
        r.bitRateIndex = static_cast<std::int32_t>(body.bitRateIndex(k));
    }
}

bool ChannelTable::matchesBody(const ChannelTableBody& body) const {
    std::lock_guard lock(mutex_);
    return matchesLocked(body);
}

void ChannelTable::applyBody(const ChannelTableBody& body) {
    std::lock_guard lock(mutex_);
    applyLocked(body);
}

bool ChannelTable::mergeReply(const ChannelTableBody& body) {
    std::lock_guard lock(mutex_);
    const bool match = matchesLocked(body);
    labelRefreshPending.store(match ? 1 : 0);
    applyLocked(body);
    return match;
}

ChannelEntry ChannelTable::entry(int k) const {
    if (!validIndex(k))
        return {};
    std::lock_guard lock(mutex_);
    const Record& r = records_[static_cast<std::size_t>(k)];
    ChannelEntry e;
    // A label from a file may lack its zero byte: never look past the 49 characters it may hold.
    const std::size_t len = strnlen(r.label.data(), kMaxLabelChars);
    e.label.assign(r.label.data(), len);
    e.frequency = r.frequency;
    e.bitRateIndex = r.bitRateIndex;
    return e;
}

std::array<std::string, kChannelCount> ChannelTable::labels() const {
    std::lock_guard lock(mutex_);
    std::array<std::string, kChannelCount> out;
    for (std::size_t k = 0; k < out.size(); ++k) {
        out[k].assign(records_[k].label.data(), strnlen(records_[k].label.data(), kMaxLabelChars));
    }
    return out;
}

ChannelTableBody ChannelTable::toBody() const {
    std::lock_guard lock(mutex_);
    ChannelTableBody body;
    for (int k = 0; k < kChannelCount; ++k) {
        const Record& r = records_[static_cast<std::size_t>(k)];
        body.setRecord(k, static_cast<std::uint16_t>(r.frequency),
                       static_cast<std::uint8_t>(r.bitRateIndex));
    }
    return body;
}

std::array<std::uint8_t, kChannelFileBytes> ChannelTable::fileImage() const {
    std::lock_guard lock(mutex_);
    return imageLocked();
}

void ChannelTable::setWriteFunction(WriteFunction fn) {
    std::lock_guard lock(mutex_);
    write_ = std::move(fn);
}

ChannelTable& channelTable() {
    static ChannelTable table;
    return table;
}

}  // namespace brix
