// What root touches on the user's behalf: files of the working folder and the program copies it runs.
#include "helper/ProgramCopies.h"
#include "helper/WorkingFolder.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace helper;

namespace {

struct Scratch {
    fs::path dir;
    Scratch() {
        char tmpl[] = "/tmp/tv-workfiles-XXXXXX";
        dir = mkdtemp(tmpl);
        chmod(dir.c_str(), 0755);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void write(const fs::path& p, const std::string& text, mode_t mode = 0644) const {
        std::ofstream(dir / p) << text;
        chmod((dir / p).c_str(), mode);
    }
};

std::string contents(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

constexpr uid_t kUser = 65534;

Credentials user() {
    Credentials c;
    c.uid = kUser;
    c.gid = kUser;
    return c;
}

} // namespace

TEST(WorkingFolder, FilesAreTheUsersOwnPlainFilesAndFreshFilesAreTheUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act for another user";
    struct Case {
        const char* what;
        std::function<void(const Scratch&)> plant;
        bool readable, fresh;
    } cases[] = {
        {"plain file", [](const Scratch& s) { s.write("w/f", "mine"); }, true, true},
        {"absent", [](const Scratch&) {}, false, true},
        {"link to a root-only file",
         [](const Scratch& s) {
             s.write("secret", "root only", 0600);
             fs::create_symlink(s.dir / "secret", s.dir / "w/f");
         },
         false, true},
        {"hard link",
         [](const Scratch& s) {
             s.write("w/own", "mine");
             fs::create_hard_link(s.dir / "w/own", s.dir / "w/f");
         },
         false, true},
        {"fifo", [](const Scratch& s) { mkfifo((s.dir / "w/f").c_str(), 0644); }, false, true},
        {"device", [](const Scratch& s) { mknod((s.dir / "w/f").c_str(), S_IFCHR | 0666, makedev(1, 3)); },
         false, true},
        {"folder", [](const Scratch& s) { fs::create_directory(s.dir / "w/f"); }, false, false},
        {"root's file", [](const Scratch& s) { s.write("w/f", "root's"); }, false, true},
    };
    for (const Case& k : cases) {
        Scratch s;
        fs::create_directory(s.dir / "w");
        k.plant(s);
        for (const char* name : {"w", "w/f", "w/own"})
            if (fs::exists(fs::symlink_status(s.dir / name)) && std::string(k.what) != "root's file")
                lchown((s.dir / name).c_str(), kUser, kUser);
        chown((s.dir / "w").c_str(), kUser, kUser);
        WorkingFolder folder;
        std::string reason;
        ASSERT_TRUE(folder.open(s.dir, "w", user(), reason)) << reason;
        EXPECT_EQ(folder.openOwnedForReading("f", reason).valid(), k.readable) << k.what << ": " << reason;
        // A fresh file takes the place of whatever was there, links included, never through it,
        // and belongs to the user: it was made with the user's rights.
        UniqueFd fresh = folder.createFresh("f", 0644, reason);
        EXPECT_EQ(fresh.valid(), k.fresh) << k.what << ": " << reason;
        if (fresh.valid()) {
            EXPECT_TRUE(writeAll(fresh.get(), "new"));
            struct stat st {};
            EXPECT_TRUE(fstat(fresh.get(), &st) == 0 && st.st_uid == kUser) << k.what;
        }
        if (fs::exists(s.dir / "secret")) {
            EXPECT_EQ(contents(s.dir / "secret"), "root only") << k.what;
        }
    }
}

TEST(WorkingFolder, TheFolderIsTheUsersOwnReachedWithoutMagicLinks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act for another user";
    Scratch s;
    fs::create_directories(s.dir / "r/w");
    fs::create_directories(s.dir / "root-only/w");
    chmod((s.dir / "root-only").c_str(), 0700);
    fs::create_directory_symlink(s.dir / "r/w", s.dir / "r/linked");
    for (const char* p : {"r", "r/w", "root-only/w"})
        chown((s.dir / p).c_str(), kUser, kUser);
    const std::string self = "/proc/" + std::to_string(getpid()) + "/root";
    struct Row {
        std::string root, sub;
        bool opened;
    } rows[] = {
        {(s.dir / "r").string(), "w", true},
        {(s.dir / "r").string(), "linked", false},    // a link below the root path
        {(s.dir / "root-only").string(), "w", false}, // not the user's to reach
        {self + (s.dir / "r").string(), "w", false},  // through another root
        {"/proc/self/cwd", "w", false},
        {"//./proc/self/cwd", "w", false},
        {(s.dir / "r/w/..").string(), "w", true},
        {(s.dir).string(), "r", true},
    };
    for (const Row& r : rows) {
        WorkingFolder folder;
        std::string reason;
        EXPECT_EQ(folder.open(r.root, r.sub.c_str(), user(), reason), r.opened)
            << r.root << " " << r.sub << ": " << reason;
    }
}

TEST(ProgramCopies, OnlyCopiesNobodyButRootCanChangeAreRun) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    struct Case {
        const char* what;
        std::function<void(const Scratch&)> plant;
        bool accepted;
    } cases[] = {
        {"root's, mode 755 in a root folder", [](const Scratch&) {}, true},
        {"group-writable file", [](const Scratch& s) { chmod((s.dir / "bin/p").c_str(), 0775); }, false},
        {"world-writable folder", [](const Scratch& s) { chmod((s.dir / "bin").c_str(), 0777); }, false},
        {"sticky world-writable folder", [](const Scratch& s) { chmod((s.dir / "bin").c_str(), 01777); },
         true},
        {"file of another user", [](const Scratch& s) { chown((s.dir / "bin/p").c_str(), 65534, 0); }, false},
        {"folder of another user", [](const Scratch& s) { chown((s.dir / "bin").c_str(), 65534, 0); }, false},
        {"not executable", [](const Scratch& s) { chmod((s.dir / "bin/p").c_str(), 0644); }, false},
        {"missing", [](const Scratch& s) { fs::remove(s.dir / "bin/p"); }, false},
    };
    for (const Case& k : cases) {
        Scratch s;
        fs::create_directory(s.dir / "bin");
        chmod((s.dir / "bin").c_str(), 0755);
        s.write("bin/p", "#!/bin/sh\n", 0755);
        k.plant(s);
        std::string resolved, reason;
        EXPECT_EQ(isRootOnlyProgram((s.dir / "bin/p").string(), resolved, reason), k.accepted)
            << k.what << ": " << reason;
    }
    // A link to an accepted copy runs the copy itself.
    Scratch s;
    s.write("p", "#!/bin/sh\n", 0755);
    fs::create_symlink(s.dir / "p", s.dir / "link");
    std::string resolved, reason;
    ASSERT_TRUE(isRootOnlyProgram((s.dir / "link").string(), resolved, reason)) << reason;
    EXPECT_EQ(resolved, (s.dir / "p").string());
}
