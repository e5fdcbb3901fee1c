#include "channels/channel_table.h"
#include "channels/shared_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using brix::ChannelTable;
using brix::ChannelTableBody;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "brix-ct-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    // Everything in the directory, to catch left-over temporary files.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_))
            out.push_back(e.path().filename());
        return out;
    }

private:
    std::string path_;
};

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void putLe(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(x >> (8 * i));
}

// A channel file built by hand: labels "CH<k>" with junk after the zero byte, frequency
// 4525 + 60k (entry 7 negative), bit-rate index k % 5 (entry 9 = 0x01020304).
std::vector<std::uint8_t> handBuiltFile() {
    std::vector<std::uint8_t> f(580, 0);
    for (std::size_t k = 0; k < 10; ++k) {
        const std::size_t base = k * 58;
        f[base] = 'C';
        f[base + 1] = 'H';
        f[base + 2] = static_cast<std::uint8_t>('0' + k);
        f[base + 3] = 0;
        f[base + 40] = 0xAB;  // bytes after the terminator survive a round trip
        const std::int32_t freq = k == 7 ? -5 : static_cast<std::int32_t>(4525 + 60 * k);
        putLe(f, base + 50, static_cast<std::uint32_t>(freq));
        putLe(f, base + 54, k == 9 ? 0x01020304u : static_cast<std::uint32_t>(k % 5));
    }
    return f;
}

ChannelTableBody bodyOf(const std::array<std::pair<std::uint16_t, std::uint8_t>, 10>& recs) {
    ChannelTableBody b;
    for (int k = 0; k < 10; ++k)
        b.setRecord(k, recs[static_cast<std::size_t>(k)].first,
                    recs[static_cast<std::size_t>(k)].second);
    return b;
}

}  // namespace

TEST(ChannelTableFile, LoadsHandBuiltFileAndSavesItByteForByte) {
    TempDir dir;
    const auto expected = handBuiltFile();
    writeFile(dir.file("in.lb"), expected);

    ChannelTable table;
    ASSERT_TRUE(table.load(dir.file("in.lb")));
    EXPECT_EQ(table.entry(0).label, "CH0");
    EXPECT_EQ(table.entry(3).frequency, 4525 + 180);
    EXPECT_EQ(table.entry(3).bitRateIndex, 3);
    EXPECT_EQ(table.entry(7).frequency, -5);
    EXPECT_EQ(table.entry(9).bitRateIndex, 0x01020304);

    ASSERT_TRUE(table.save(dir.file("out.lb")));
    EXPECT_EQ(readFile(dir.file("out.lb")), expected);
    // Only the saved files remain: no temporary left behind.
    EXPECT_EQ(dir.names().size(), 2u);
}

TEST(ChannelTableFile, SavedFromLabelsAndBodyHasLittleEndianFields) {
    TempDir dir;
    ChannelTable table;
    table.setLabel(2, "News");
    ChannelTableBody b;
    b.setRecord(2, 0xFFFF, 4);
    b.setRecord(5, 0x1234, 255);
    table.applyBody(b);
    ASSERT_TRUE(table.save(dir.file("ch.lb")));
    const auto f = readFile(dir.file("ch.lb"));
    ASSERT_EQ(f.size(), 580u);
    const std::size_t e2 = 2 * 58;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[e2])), "News");
    EXPECT_EQ((std::vector<std::uint8_t>(f.begin() + e2 + 50, f.begin() + e2 + 58)),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0, 0, 4, 0, 0, 0}));
    const std::size_t e5 = 5 * 58;
    EXPECT_EQ((std::vector<std::uint8_t>(f.begin() + e5 + 50, f.begin() + e5 + 58)),
              (std::vector<std::uint8_t>{0x34, 0x12, 0, 0, 0xFF, 0, 0, 0}));

    ChannelTable again;
    ASSERT_TRUE(again.load(dir.file("ch.lb")));
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(again.entry(k), table.entry(k)) << k;
}

TEST(ChannelTableFile, ShortLongMissingAndUnterminated) {
    TempDir dir;
    auto full = handBuiltFile();

    // Short: only the bytes it holds are filled, the rest stays as reset left it.
    std::vector<std::uint8_t> shortFile(full.begin(), full.begin() + 58 + 52);
    writeFile(dir.file("short.lb"), shortFile);
    ChannelTable table;
    ASSERT_TRUE(table.load(dir.file("short.lb")));
    EXPECT_EQ(table.entry(0).label, "CH0");
    EXPECT_EQ(table.entry(1).label, "CH1");
    EXPECT_EQ(table.entry(1).frequency, 4585);  // its two low bytes are in the file
    EXPECT_EQ(table.entry(1).bitRateIndex, 0);  // not in the file
    EXPECT_EQ(table.entry(2), brix::ChannelEntry{});

    // Long: bytes beyond 580 are ignored.
    auto longFile = full;
    longFile.resize(2000, 0x5A);
    writeFile(dir.file("long.lb"), longFile);
    ChannelTable longTable;
    ASSERT_TRUE(longTable.load(dir.file("long.lb")));
    const auto image = longTable.fileImage();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), full.begin()));

    // Missing: nothing happens.
    EXPECT_FALSE(longTable.load(dir.file("none.lb")));
    EXPECT_EQ(longTable.entry(0).label, "CH0");

    // A label with no zero byte in its 50 bytes shows its first 49 bytes, and nothing of the
    // frequency behind it.
    for (std::size_t i = 0; i < 50; ++i)
        full[58 * 4 + i] = static_cast<std::uint8_t>('a' + i % 26);
    writeFile(dir.file("unterminated.lb"), full);
    ChannelTable u;
    ASSERT_TRUE(u.load(dir.file("unterminated.lb")));
    EXPECT_EQ(u.entry(4).label.size(), 49u);
    EXPECT_EQ(u.labels()[4], u.entry(4).label);
    EXPECT_EQ(u.entry(4).label.substr(0, 3), "abc");
}

TEST(ChannelTableFile, FailedSaveKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("Brix Tool .lb");
    const auto old = handBuiltFile();
    writeFile(path, old);

    ChannelTable table;
    table.setLabel(0, "new label");

    // The device fills up after a partial write.
    int calls = 0;
    table.setWriteFunction([&](int fd, const void* buf, std::size_t size) -> ssize_t {
        if (++calls == 1)
            return ::write(fd, buf, size / 2);
        errno = ENOSPC;
        return -1;
    });
    EXPECT_FALSE(table.save(path));
    EXPECT_GE(calls, 2);
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"Brix Tool .lb"});

    // Partial writes that do make progress still save everything.
    table.setWriteFunction([](int fd, const void* buf, std::size_t size) -> ssize_t {
        return ::write(fd, buf, size < 7 ? size : 7);
    });
    EXPECT_TRUE(table.save(path));
    EXPECT_EQ(readFile(path).size(), 580u);
    ChannelTable check;
    ASSERT_TRUE(check.load(path));
    EXPECT_EQ(check.entry(0).label, "new label");
    table.setWriteFunction({});

    // A directory that does not exist, and a target that cannot be replaced.
    EXPECT_FALSE(table.save(dir.file("missing/ch.lb")));
    fs::create_directory(dir.file("adir"));
    EXPECT_FALSE(table.save(dir.file("adir")));
    EXPECT_TRUE(fs::is_directory(dir.file("adir")));
    EXPECT_EQ(dir.names().size(), 2u);
}

TEST(ChannelTableFile, SaveKeepsPermissionsOfTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("ch.lb");
    writeFile(path, handBuiltFile());
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ChannelTable table;
    ASSERT_TRUE(table.save(path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(ChannelTableFile, SaveWritesThroughSymbolicLinksAndClearsLeftovers) {
    TempDir dir;
    fs::create_directory(dir.file("store"));
    const std::string target = dir.file("store/labels.lb");
    writeFile(target, handBuiltFile());
    const std::string link = dir.file("ch.lb");
    fs::create_symlink("store/labels.lb", link);
    // What an interrupted save left: ours, of a process that is gone, and of a live one.
    const std::string gone = target + ".tmp.999999999.0";
    const std::string live = target + ".tmp." + std::to_string(::getppid()) + ".0";
    writeFile(gone, {1, 2, 3});
    writeFile(live, {4, 5, 6});

    ChannelTable table;
    table.setLabel(0, "through the link");
    ASSERT_TRUE(table.save(link));
    EXPECT_TRUE(fs::is_symlink(link));  // the link stays, its target gets the table
    ChannelTable check;
    ASSERT_TRUE(check.load(target));
    EXPECT_EQ(check.entry(0).label, "through the link");
    EXPECT_FALSE(fs::exists(gone));
    EXPECT_TRUE(fs::exists(live));  // a save that may still be running is left alone
    fs::remove(live);
    EXPECT_EQ(dir.names().size(), 2u);

    // A link to a file that does not exist yet makes that file.
    const std::string dangling = dir.file("new.lb");
    fs::create_symlink("store/new-target.lb", dangling);
    ASSERT_TRUE(table.save(dangling));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(readFile(dir.file("store/new-target.lb")).size(), 580u);
}

TEST(ChannelTableFile, LeftoversOfAnotherUserAreNotRemoved) {
    // Handing a file to another user needs root: CI runs the suite as root, so this runs there.
    if (::getuid() != 0)
        GTEST_SKIP() << "handing a file to another user needs root";
    TempDir dir;
    const std::string path = dir.file("ch.lb");
    // Leftovers of processes that are gone: ours goes, another user's (in a shared folder) stays.
    const std::string ours = path + ".tmp.999999998.0";
    const std::string theirs = path + ".tmp.999999999.0";
    writeFile(ours, {1});
    writeFile(theirs, {2});
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    ChannelTable table;
    ASSERT_TRUE(table.save(path));
    EXPECT_FALSE(fs::exists(ours));
    EXPECT_TRUE(fs::exists(theirs));
}

// The kernel's rule for links in folders that others write too (/tmp), for the links that the
// save and load follow on their own. The links get their owners with lchown, so this needs root
// (CI runs as root); the tool run by a second user is tested end to end (SharedFolderTest).
TEST(ChannelTableFile, LinksInASharedFolderFollowedOnlyAsTheKernelFollowsThem) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the links other owners; CI runs as root";
    TempDir dir;  // root's, like /tmp
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    const auto link = [&](const std::string& name, const std::string& to, uid_t owner) {
        fs::create_symlink(to, dir.file(name));
        EXPECT_EQ(::lchown(dir.file(name).c_str(), owner, owner), 0);
        return dir.file(name);
    };
    constexpr uid_t kUser = 1001, kOther = 1002;
    const std::string planted = link("planted", "target", kOther);
    EXPECT_EQ(brix::linkRefusal(link("own", "target", kUser), kUser), "");
    EXPECT_EQ(brix::linkRefusal(link("folder-owner's", "target", 0), kUser), "");
    EXPECT_EQ(brix::linkRefusal(dir.file("target"), kUser), "");  // no link at all
    EXPECT_NE(brix::linkRefusal(planted, kUser).find("of another user (uid 1002)"),
              std::string::npos);
    // Sticky alone, or writable by others alone, is no shared folder in the kernel's sense.
    for (const mode_t mode : {01775, 0777}) {
        ASSERT_EQ(::chmod(dir.path().c_str(), mode), 0);
        EXPECT_EQ(brix::linkRefusal(planted, kUser), "") << std::oct << mode;
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);

    // Root is held to the rule too: neither a save nor a load goes through the planted link,
    // also at the end of a chain that starts with a link of root's own elsewhere.
    writeFile(dir.file("target"), {1, 2, 3});
    TempDir home;
    fs::create_symlink(planted, home.file("ch.lb"));
    ChannelTable table;
    table.setLabel(0, "not written");
    for (const std::string& path : {planted, home.file("ch.lb")}) {
        std::string why;
        EXPECT_FALSE(table.save(path, &why));
        EXPECT_NE(why.find("\"" + planted + "\" is a symbolic link of another user"),
                  std::string::npos)
            << why;
        EXPECT_FALSE(table.load(path));
    }
    EXPECT_EQ(readFile(dir.file("target")), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(dir.names().size(), 4u);  // the three links and the target: no temporary file
    EXPECT_EQ(table.entry(0).label, "not written");

    // A planted link to a folder on the way is refused too: through a link of our own, or named.
    TempDir victim;
    writeFile(victim.file("precious.lb"), {9, 9});
    const std::string folderLink = link("folder", victim.path(), kOther);
    fs::create_symlink(folderLink + "/precious.lb", home.file("abs.lb"));
    for (const std::string& path : {home.file("abs.lb"), folderLink + "/precious.lb"}) {
        std::string why;
        EXPECT_FALSE(table.save(path, &why)) << path;
        EXPECT_NE(why.find("symbolic link of another user"), std::string::npos) << why;
    }
    EXPECT_EQ(readFile(victim.file("precious.lb")), (std::vector<std::uint8_t>{9, 9}));
}

TEST(ChannelTableLabels, CutToFortyNineAndOutOfRangeIgnored) {
    ChannelTable table;
    table.setLabel(1, std::string(60, 'x'));
    EXPECT_EQ(table.entry(1).label, std::string(49, 'x'));
    table.setLabel(1, "short");
    EXPECT_EQ(table.entry(1).label, "short");
    table.setLabel(1, std::string_view("ab\0cd", 5));
    EXPECT_EQ(table.entry(1).label, "ab");
    table.setLabel(-1, "bad");
    table.setLabel(10, "bad");
    EXPECT_EQ(table.entry(10), brix::ChannelEntry{});
    table.reset();
    EXPECT_EQ(table.entry(1).label, "");
}

TEST(ChannelTableBodyRules, MatchAndApply) {
    ChannelTable table;
    ChannelTableBody zero;
    EXPECT_TRUE(table.matchesBody(zero));  // a fresh table equals a modem whose table is zero

    ChannelTableBody b;
    b.setRecord(0, 65535, 255);
    b.setRecord(9, 5552, 4);
    EXPECT_FALSE(table.matchesBody(b));
    table.applyBody(b);
    EXPECT_EQ(table.entry(0).frequency, 65535);  // widened without sign, not -1
    EXPECT_EQ(table.entry(0).bitRateIndex, 255);
    EXPECT_TRUE(table.matchesBody(b));
    EXPECT_EQ(table.toBody(), b);

    // A stored negative frequency never compares equal, whatever its low 16 bits.
    TempDir dir;
    auto f = handBuiltFile();
    writeFile(dir.file("neg.lb"), f);
    ChannelTable neg;
    ASSERT_TRUE(neg.load(dir.file("neg.lb")));
    ChannelTableBody nb = neg.toBody();  // cut to 16 bits: entry 7 becomes 65531
    EXPECT_EQ(nb.frequency(7), 65531);
    EXPECT_FALSE(neg.matchesBody(nb));
}

TEST(ChannelTableBodyRules, MergeRuleFirstDifferingThenIdentical) {
    ChannelTable table;
    table.setLabel(3, "Sports");
    table.labelRefreshPending = 1;

    ChannelTableBody b = bodyOf({{{4525, 0},
                                  {4585, 1},
                                  {4645, 2},
                                  {4705, 3},
                                  {4765, 4},
                                  {4825, 0},
                                  {4885, 1},
                                  {4945, 2},
                                  {5005, 3},
                                  {5065, 4}}});
    EXPECT_FALSE(table.mergeReply(b));
    EXPECT_EQ(table.labelRefreshPending.load(), 0);
    EXPECT_EQ(table.entry(4).frequency, 4765);
    EXPECT_EQ(table.entry(3).label, "Sports");  // labels kept

    EXPECT_TRUE(table.mergeReply(b));
    EXPECT_EQ(table.labelRefreshPending.load(), 1);
    EXPECT_TRUE(table.takeLabelRefresh());
    EXPECT_FALSE(table.takeLabelRefresh());

    // Only one bit-rate index differs: unequal again, then equal.
    b.setRecord(6, 4885, 2);
    EXPECT_FALSE(table.mergeReply(b));
    EXPECT_EQ(table.entry(6).bitRateIndex, 2);
    EXPECT_TRUE(table.mergeReply(b));
}

TEST(ChannelTableBodyRules, BodyAccessorsUseLittleEndianRecords) {
    std::array<std::uint8_t, 30> raw{};
    raw[3] = 0xB0;
    raw[4] = 0x15;
    raw[5] = 0x04;
    const ChannelTableBody b = ChannelTableBody::fromBytes(raw.data());
    EXPECT_EQ(b.frequency(1), 5552);
    EXPECT_EQ(b.bitRateIndex(1), 4);
    EXPECT_EQ(b.frequency(10), 0);
}

// Run under ThreadSanitizer: the link thread merges while the user interface labels and saves.
// Every saved file must hold one whole reply, never half of one.
TEST(ChannelTableThreads, MergeRacesWithLabelsAndSave) {
    TempDir dir;
    ChannelTable table;
    ChannelTableBody a;
    ChannelTableBody b;
    for (int k = 0; k < 10; ++k) {
        a.setRecord(k, static_cast<std::uint16_t>(1 + k), static_cast<std::uint8_t>(k % 5));
        b.setRecord(k, static_cast<std::uint16_t>(100 + k), 4);
    }
    table.applyBody(a);

    std::atomic<bool> stop{false};
    std::atomic<int> merges{0};
    std::thread link([&] {
        int n = 0;
        while (!stop.load()) {
            table.mergeReply((n++ % 2) ? a : b);
            (void)table.entry(n % 10);
            merges.fetch_add(1);
        }
    });
    int torn = 0;
    for (int i = 0; i < 200 || merges.load() < 200; ++i) {
        table.setLabel(i % 10, "label " + std::to_string(i));
        table.labelRefreshPending = 1;
        if (table.takeLabelRefresh()) {
            (void)table.labels();
        }
        if (i % 20 == 0) {
            EXPECT_TRUE(table.save(dir.file("ch.lb")));
            ChannelTable loaded;
            EXPECT_TRUE(loaded.load(dir.file("ch.lb")));
            const ChannelTableBody got = loaded.toBody();
            if (got != a && got != b)
                ++torn;
        }
    }
    stop = true;
    link.join();
    EXPECT_EQ(torn, 0);
}
