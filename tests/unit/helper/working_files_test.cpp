// What root touches on the user's behalf: files of the working folder and the program copies it runs.
#include "helper/ProgramCopies.h"
#include "helper/WorkingFolder.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

} // namespace

TEST(WorkingFolder, OnlyPlainFilesAreReadOrWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    struct Case {
        const char* what;
        std::function<void(const Scratch&)> plant;
        bool readable, writable;
    } cases[] = {
        {"plain file", [](const Scratch& s) { s.write("f", "mine"); }, true, true},
        {"absent", [](const Scratch&) {}, false, true},
        {"link to a root-only file",
         [](const Scratch& s) {
             s.write("secret", "root only", 0600);
             fs::create_symlink(s.dir / "secret", s.dir / "f");
         },
         false, false},
        {"hard link",
         [](const Scratch& s) {
             s.write("secret", "root only", 0600);
             fs::create_hard_link(s.dir / "secret", s.dir / "f");
         },
         false, false},
        {"fifo", [](const Scratch& s) { mkfifo((s.dir / "f").c_str(), 0644); }, false, false},
        {"folder", [](const Scratch& s) { fs::create_directory(s.dir / "f"); }, false, false},
        {"another user's file",
         [](const Scratch& s) {
             s.write("f", "theirs");
             chown((s.dir / "f").c_str(), 65534, 65534);
         },
         false, true},
    };
    for (const Case& k : cases) {
        Scratch s;
        k.plant(s);
        WorkingFolder folder;
        std::string reason;
        ASSERT_TRUE(folder.open(s.dir, 0, reason)) << reason;
        EXPECT_EQ(folder.openOwnedForReading("f", reason).valid(), k.readable) << k.what;
        UniqueFd w = folder.openForWriting("f", 0644, true, reason);
        EXPECT_EQ(w.valid(), k.writable) << k.what;
        if (w.valid()) {
            EXPECT_TRUE(writeAll(w.get(), "new"));
        }
        EXPECT_NE(contents(s.dir / "secret"), "new") << k.what;
        // A fresh file takes the place of whatever was there, links included, never through it.
        UniqueFd fresh = folder.createFresh("f", 0644, reason);
        EXPECT_EQ(fresh.valid(), std::string(k.what) != "folder") << k.what;
        if (fresh.valid()) {
            EXPECT_TRUE(writeAll(fresh.get(), "new"));
        }
        EXPECT_NE(contents(s.dir / "secret"), "new") << k.what;
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
