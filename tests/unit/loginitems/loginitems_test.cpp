#include "app/shell/LoginItems.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tavro-login-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        config_ = root_ + "/config";
        fs::create_directories(config_);
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        dir_ = config_ + "/autostart";
        exe_ = platform::executablePath();
        ASSERT_FALSE(exe_.empty());
    }
    void TearDown() override {
        ::unsetenv("TAVROVPN_BUNDLE");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void writeEntry(const std::string& name, const std::string& body) {
        fs::create_directories(dir_);
        std::ofstream(dir_ + "/" + name, std::ios::binary) << body;
    }
    void writeApp(const std::string& name, const std::string& exec) {
        writeEntry(name, "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n");
    }
    static std::string readAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> filesUnder(const std::string& top) {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(top))
            if (!e.is_directory()) out.push_back(fs::relative(e.path(), top).string());
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string root_, config_, dir_, exe_;
};

TEST_F(AutostartTest, ApplicationAmongFiveEntriesIsFoundInFileNameOrder) {
    // Written out of order: the list is the file-name order, not the creation order.
    writeApp("e.desktop", "/usr/bin/e");
    writeApp("a.desktop", "/usr/bin/a --flag");
    writeApp("c.desktop", desktopExecValueForProgram(exe_) + " --hidden %U");
    writeApp("b.desktop", "b");
    writeApp("d.desktop", exe_); // a later entry for the application is not the one reported
    const auto refs = itemReferencesInLoginItems();
    ASSERT_TRUE(refs.existingReference);
    ASSERT_TRUE(refs.lastReference);
    EXPECT_EQ(refs.existingReference->path, dir_ + "/c.desktop");
    EXPECT_EQ(refs.lastReference->path, dir_ + "/e.desktop");
}

TEST_F(AutostartTest, AbsentApplicationAndEmptyList) {
    // No folder at all, then an empty folder, then entries that do not start the application.
    auto refs = itemReferencesInLoginItems();
    EXPECT_FALSE(refs.existingReference);
    EXPECT_FALSE(refs.lastReference);
    fs::create_directories(dir_);
    writeEntry("notes.txt", "[Desktop Entry]\nExec=" + exe_ + "\n"); // not a .desktop file
    refs = itemReferencesInLoginItems();
    EXPECT_FALSE(refs.existingReference);
    EXPECT_FALSE(refs.lastReference);

    for (const char* n : {"1.desktop", "2.desktop", "3.desktop", "4.desktop", "5.desktop"})
        writeApp(n, std::string("/usr/bin/other") + n);
    refs = itemReferencesInLoginItems();
    EXPECT_FALSE(refs.existingReference);
    ASSERT_TRUE(refs.lastReference);
    EXPECT_EQ(refs.lastReference->path, dir_ + "/5.desktop");
}

TEST_F(AutostartTest, EnableFindRemoveRoundTripTouchesOnlyTheEntry) {
    writeApp("zz.desktop", "/usr/bin/zz");
    enableLoginItem();
    enableLoginItem(); // idempotent: still one entry
    EXPECT_EQ(filesUnder(config_),
              (std::vector<std::string>{"autostart/tavrovpn.desktop", "autostart/zz.desktop"}));
    const std::string text = readAll(dir_ + "/tavrovpn.desktop");
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"" + loginItemProgram() + "\"\n"), std::string::npos) << text;
    EXPECT_EQ(fs::status(dir_ + "/tavrovpn.desktop").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);

    auto refs = itemReferencesInLoginItems();
    ASSERT_TRUE(refs.existingReference);
    EXPECT_EQ(refs.existingReference->path, dir_ + "/tavrovpn.desktop");
    EXPECT_EQ(refs.lastReference->path, dir_ + "/zz.desktop");

    EXPECT_TRUE(removeLoginItem(*refs.existingReference));
    refs = itemReferencesInLoginItems();
    EXPECT_FALSE(refs.existingReference);
    EXPECT_EQ(filesUnder(config_), (std::vector<std::string>{"autostart/zz.desktop"}));
}

// The entry names the installed program, never the running one (after a package upgrade that reads
// "… (deleted)"); switching off finds every entry of ours, one written that way included.
TEST_F(AutostartTest, EntryNamesTheInstalledProgramAndSwitchingOffRemovesEveryEntryOfOurs) {
    const std::string bundle = root_ + "/TavroVPN.app", program = bundle + "/Contents/MacOS/TavroVPN";
    fs::create_directories(bundle + "/Contents/MacOS");
    std::ofstream(program) << "#!/bin/sh\n";
    ::setenv("TAVROVPN_BUNDLE", bundle.c_str(), 1);
    enableLoginItem();
    EXPECT_NE(readAll(dir_ + "/tavrovpn.desktop").find("\nExec=\"" + program + "\"\n"), std::string::npos);
    // Installed by the package, the bundle's program is reached through its link in /usr/bin.
    fs::create_symlink(program, root_ + "/tavrovpn");
    EXPECT_EQ(loginItemProgramFor(bundle, root_ + "/tavrovpn"), root_ + "/tavrovpn");
    EXPECT_EQ(loginItemProgramFor(bundle, root_ + "/no-link"), program);

    writeApp("tavrovpn.desktop", desktopExecValueForProgram(program + " (deleted)"));
    writeApp("copy.desktop", root_ + "/tavrovpn");
    writeApp("other.desktop", "/usr/bin/other");
    for (int i = 0; i < 8; ++i) {
        const auto refs = itemReferencesInLoginItems();
        if (!refs.existingReference) break;
        ASSERT_TRUE(removeLoginItem(*refs.existingReference));
    }
    EXPECT_EQ(filesUnder(dir_), (std::vector<std::string>{"other.desktop"}));
}

TEST_F(AutostartTest, RemovalRefusesAnythingOutsideTheFolder) {
    writeApp("x.desktop", exe_);
    const std::string outside = config_ + "/x.desktop";
    std::ofstream(outside) << "keep";
    EXPECT_FALSE(removeLoginItem({outside}));
    EXPECT_FALSE(removeLoginItem({dir_ + "/../x.desktop"}));
    EXPECT_FALSE(removeLoginItem({dir_ + "/sub/x.desktop"}));
    EXPECT_FALSE(removeLoginItem({dir_ + "/x.txt"}));
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(removeLoginItem({dir_ + "/x.desktop"}));
    EXPECT_FALSE(fs::exists(dir_ + "/x.desktop"));
}

TEST_F(AutostartTest, OddExecutablePathsSurviveTheEntryFormat) {
    const std::vector<std::string> paths = {
        root_ + "/My Apps/TavroVPN",         root_ + "/q\"uo`te$HOME/TavroVPN",
        root_ + "/back\\slash\\\\/TavroVPN", root_ + "/100%/%U/TavroVPN",
        root_ + "/new\nline\ttab/TavroVPN",  root_ + "/'single' ;|&<>()*?#~/TavroVPN",
    };
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        ASSERT_TRUE(enableLoginItemIn(dir_, p));
        // Under another name, only the program tells the entry is ours.
        fs::rename(dir_ + "/tavrovpn.desktop", dir_ + "/copy.desktop");
        const auto refs = itemReferencesInLoginItemsIn(dir_, {p});
        ASSERT_TRUE(refs.existingReference);
        EXPECT_EQ(refs.existingReference->path, dir_ + "/copy.desktop");
        // The written value stays on one line.
        const std::string text = readAll(dir_ + "/copy.desktop");
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);
        // A prefix of the path is not the application.
        EXPECT_FALSE(itemReferencesInLoginItemsIn(dir_, {p.substr(0, p.size() - 1)}).existingReference);
    }
}

TEST_F(AutostartTest, ExecParsing) {
    EXPECT_EQ(programOfDesktopExec("/usr/bin/app --x %U"), "/usr/bin/app");
    EXPECT_EQ(programOfDesktopExec("  \"/opt/a b/app\" arg"), "/opt/a b/app");
    EXPECT_EQ(programOfDesktopExec("\"/opt/\\\"q\\\"/\\$x\\`\\\\\"").value_or("?"), "/opt/\"q\"/$x`\\");
    EXPECT_EQ(programOfDesktopExec("/opt/100%%/app"), "/opt/100%/app");
    EXPECT_FALSE(programOfDesktopExec("\"/opt/unterminated"));
    EXPECT_FALSE(programOfDesktopExec(""));
    EXPECT_FALSE(programOfDesktopExec("   "));
    EXPECT_FALSE(programOfDesktopExec("\"\""));
}

TEST_F(AutostartTest, HostileEntriesAreNotTheApplication) {
    writeEntry("a.desktop", "[Other Group]\nExec=" + exe_ + "\n");                // wrong group
    writeEntry("b.desktop", "[Desktop Entry]\nExec[ja]=" + exe_ + "\n");          // localised key only
    writeEntry("c.desktop", "[Desktop Entry]\nExec=\"" + exe_ + "\n");            // unterminated quote
    writeEntry("d.desktop", "[Desktop Entry]\nHidden=true\nExec=" + exe_ + "\n"); // deleted by the user
    writeEntry("e.desktop", std::string(100 * 1024, 'x') + "\n[Desktop Entry]\nExec=" + exe_ + "\n");
    writeEntry("f.desktop", std::string("\0\0\0[Desktop Entry]\n", 20) + "Exec=\n");
    writeEntry("g.desktop", "");
    fs::create_directories(dir_ + "/h.desktop"); // a folder is not an entry
    auto refs = itemReferencesInLoginItems();
    EXPECT_FALSE(refs.existingReference);
    ASSERT_TRUE(refs.lastReference);
    EXPECT_EQ(refs.lastReference->path, dir_ + "/g.desktop");

    // A symbolic link to the executable names the application; so does an entry written with CRLF.
    fs::create_symlink(exe_, root_ + "/link");
    writeEntry("i.desktop", "[Desktop Entry]\r\nExec=" + root_ + "/link\r\n");
    refs = itemReferencesInLoginItems();
    ASSERT_TRUE(refs.existingReference);
    EXPECT_EQ(refs.existingReference->path, dir_ + "/i.desktop");

    // Enabling replaces a hidden entry of the same name with a live one.
    writeEntry("tavrovpn.desktop", "[Desktop Entry]\nHidden=true\nExec=" + exe_ + "\n");
    fs::remove(dir_ + "/i.desktop");
    EXPECT_FALSE(itemReferencesInLoginItems().existingReference);
    enableLoginItem();
    refs = itemReferencesInLoginItems();
    ASSERT_TRUE(refs.existingReference);
    EXPECT_EQ(refs.existingReference->path, dir_ + "/tavrovpn.desktop");
}

} // namespace
