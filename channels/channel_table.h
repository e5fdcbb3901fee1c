#pragma once
// The ten stored downstream channels: the modem's frequencies and bit rates plus a label that only
// this computer knows. Shared by the user-interface thread (Tuner and Advanced pages) and the link
// thread (merging channel-table replies); every operation holds one mutex for its whole length.

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace brix {

inline constexpr int kChannelCount = 10;
inline constexpr const char* kChannelFileSuffix = ".lb";  // appended to the program's name
inline constexpr std::size_t kLabelBytes = 50;            // label field, zero byte included
inline constexpr std::size_t kMaxLabelChars = 49;         // characters a label keeps
inline constexpr std::size_t kChannelEntryBytes = 58;     // label + frequency + bitRateIndex
inline constexpr std::size_t kChannelFileBytes = kChannelEntryBytes * kChannelCount;  // 580
inline constexpr std::size_t kChannelRecordBytes = 3;  // body record: u16 frequency, u8 rate
inline constexpr std::size_t kChannelTableBodyBytes = kChannelRecordBytes * kChannelCount;  // 30

// One stored channel as the pages see it (a copy, never a view into the table).
struct ChannelEntry {
    std::string label;
    std::int32_t frequency = 0;     // tenths of a MHz
    std::int32_t bitRateIndex = 0;  // 0..4 name a bit rate; other values are kept as received

    bool operator==(const ChannelEntry&) const = default;
};

// The 30-byte payload of the channel-table Get reply, Set request and Set acknowledgement:
// record k at offset 3k, frequency little-endian then the bit-rate byte.
struct ChannelTableBody {
    std::array<std::uint8_t, kChannelTableBodyBytes> bytes{};

    // Copies exactly 30 bytes from `data`.
    static ChannelTableBody fromBytes(const std::uint8_t* data);

    std::uint16_t frequency(int k) const;
    std::uint8_t bitRateIndex(int k) const;
    void setRecord(int k, std::uint16_t frequency, std::uint8_t bitRateIndex);

    const std::uint8_t* data() const { return bytes.data(); }
    bool operator==(const ChannelTableBody&) const = default;
};

class ChannelTable {
public:
    // Writes `size` bytes to `fd` like ::write(2); replaceable through setWriteFunction.
    using WriteFunction = std::function<ssize_t(int fd, const void* buf, std::size_t size)>;

    ChannelTable();
    ChannelTable(const ChannelTable&) = delete;
    ChannelTable& operator=(const ChannelTable&) = delete;

    // All 580 bytes of the ten entries become zero.
    void reset();

    // Reads up to 580 bytes of the channel file over the start of the table; a short file fills
    // only what it holds, bytes beyond 580 are ignored. Returns false (table untouched, the
    // reason in `why` when given) when the file cannot be opened or read. Symbolic links are
    // followed as the rule for shared folders allows (channels/shared_folder.h).
    bool load(const std::string& path, std::string* why = nullptr);

    // Writes all 580 bytes to a new file beside `path` and renames it over the old one, so that
    // a failure at any point leaves the previous file as it was. A symbolic link at `path` stays
    // and its target gets the table, when the rule for shared folders lets the link be followed.
    // Returns false on any failure, with the reason in `why` when given.
    bool save(const std::string& path, std::string* why = nullptr) const;

    // Stores the first 49 bytes of `text` (up to an embedded zero byte) and a zero byte.
    // Out-of-range k is ignored.
    void setLabel(int k, std::string_view text);

    // True when every entry's frequency and bit-rate index equal the body's records.
    bool matchesBody(const ChannelTableBody& body) const;

    // Takes the body's frequencies and bit-rate indexes; labels are kept.
    void applyBody(const ChannelTableBody& body);

    // The reply path in one step: labelRefreshPending := matchesBody, then applyBody, with no
    // other operation in between. Returns the match.
    bool mergeReply(const ChannelTableBody& body);

    // A copy of entry k (an empty entry for out-of-range k).
    ChannelEntry entry(int k) const;

    // The ten labels, taken together.
    std::array<std::string, kChannelCount> labels() const;

    // The table's frequencies and bit rates as a body (values cut to 16 and 8 bits).
    ChannelTableBody toBody() const;

    // The 580 bytes the channel file would hold.
    std::array<std::uint8_t, kChannelFileBytes> fileImage() const;

    // The write used by save (empty: ::write); a caller may route it elsewhere.
    void setWriteFunction(WriteFunction fn);

    // 1 while the Tuner page must show the labels again; set by a Set or an equal reply, cleared
    // by the Tuner's refresh or an unequal reply.
    std::atomic<std::int32_t> labelRefreshPending{0};

    // Reads and clears labelRefreshPending in one step; true when it was set.
    bool takeLabelRefresh() { return labelRefreshPending.exchange(0) != 0; }

private:
    struct Record {
        std::array<char, kLabelBytes> label{};
        std::int32_t frequency = 0;
        std::int32_t bitRateIndex = 0;
    };

    bool matchesLocked(const ChannelTableBody& body) const;
    void applyLocked(const ChannelTableBody& body);
    std::array<std::uint8_t, kChannelFileBytes> imageLocked() const;
    void readImageLocked(const std::array<std::uint8_t, kChannelFileBytes>& image);

    mutable std::mutex mutex_;
    std::array<Record, kChannelCount> records_{};
    WriteFunction write_;
};

// The one table of the running program.
ChannelTable& channelTable();

}  // namespace brix
