// `cmake --install` into a fresh prefix: the programs, the help document, the manual pages, the
// desktop entry, the metainfo and the icons land where a Linux desktop looks for them, and the
// installed tool finds its help.

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "private_netns.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Width and height from a PNG's header chunk; {0, 0} when it is no PNG.
std::pair<std::uint32_t, std::uint32_t> pngSize(const std::string& path) {
    const std::string data = readFile(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        data.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto be32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i)
            v = (v << 8) | static_cast<unsigned char>(data[at + i]);
        return v;
    };
    return {be32(16), be32(20)};
}

// The value of `key` in the [Desktop Entry] group.
std::string desktopValue(const std::string& entry, const std::string& key) {
    const std::string needle = "\n" + key + "=";
    const auto at = ("\n" + entry).find(needle);
    if (at == std::string::npos)
        return {};
    const auto start = at + needle.size() - 1;
    return entry.substr(start, entry.find('\n', start) - start);
}

TEST(InstallTest, PutsFilesWhereTheDesktopFindsThem) {
    const std::string work = freshWorkDir();
    const fs::path prefix = fs::path(work) / "prefix";
    const std::string command = std::string("\"") + BRIX_CMAKE_COMMAND + "\" --install \"" +
                                BRIX_BINARY_DIR + "\" --prefix \"" + prefix.string() + "\" >\"" +
                                work + "/install.log\" 2>&1";
    const int rc = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << readFile(work + "/install.log");

    EXPECT_TRUE(fs::exists(prefix / "bin/brixtool"));
    EXPECT_TRUE(fs::exists(prefix / "bin/brix-modem-sim"));
    EXPECT_TRUE(fs::exists(prefix / "bin/brixctl"));
    EXPECT_TRUE(fs::exists(prefix / "share/brixtool/help/brixtool.html"));
    // Help on a tab opens that tab's topic page, which leads to the topic in the document.
    for (int topic = 1; topic <= 4; ++topic) {
        const std::string name = "context-" + std::to_string(topic);
        const std::string page =
            readFile((prefix / "share/brixtool/help" / (name + ".html")).string());
        EXPECT_NE(page.find("brixtool.html#" + name + "\""), std::string::npos) << name;
    }
    for (const char* page : {"brixtool", "brixctl", "brix-modem-sim"})
        EXPECT_TRUE(fs::exists(prefix / "share/man/man1" / (std::string(page) + ".1.gz"))) << page;
    // The Debian documentation goes only into the packages.
    EXPECT_FALSE(fs::exists(prefix / "share/doc"));

    const std::string entry =
        readFile((prefix / "share/applications/org.example.BrixTool.desktop").string());
    ASSERT_FALSE(entry.empty());
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(desktopValue(entry, "Type"), "Application");
    EXPECT_EQ(desktopValue(entry, "Name"), "Brix Tool");
    EXPECT_EQ(desktopValue(entry, "Exec"), "brixtool");
    EXPECT_EQ(desktopValue(entry, "Icon"), "brixtool");
    EXPECT_EQ(desktopValue(entry, "Terminal"), "false");
    EXPECT_NE(desktopValue(entry, "Categories").find("Network;"), std::string::npos);

    for (const std::uint32_t side : {16u, 32u, 48u, 256u}) {
        const std::string size = std::to_string(side) + "x" + std::to_string(side);
        const fs::path icon = prefix / "share/icons/hicolor" / size / "apps/brixtool.png";
        EXPECT_EQ(pngSize(icon.string()), std::make_pair(side, side)) << icon;
    }
    const std::string svg =
        readFile((prefix / "share/icons/hicolor/scalable/apps/brixtool.svg").string());
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    const std::string metainfo =
        readFile((prefix / "share/metainfo/org.example.BrixTool.metainfo.xml").string());
    EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">org.example.BrixTool.desktop<"),
              std::string::npos);
    // That the installed tool opens the installed document is shown by the user-interface
    // suite, which presses Help in it.
}

}  // namespace
}  // namespace e2e
