#include "helper/PeerCheck.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct AllowFile {
    std::string dir, path;
    AllowFile() {
        char tmpl[] = "/tmp/tv-allow-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/allow";
    }
    ~AllowFile() { std::filesystem::remove_all(dir); }
    void write(const std::string& text, mode_t mode) {
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
    }
};

} // namespace

TEST(PeerCheck, ReadsUidsAndNamesFromARootOwnedFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the allow file must be owned by root";
    AllowFile f;
    f.write("# users allowed at install time\n1000\n  nobody  \nno-such-user-xyz\n4294967295\n\n12x\n", 0644);
    auto uids = helper::loadAllowedUids(f.path);
    EXPECT_EQ(uids, (std::set<uid_t>{1000, 65534}));
}

TEST(PeerCheck, IgnoresAFileOthersCouldHaveWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the allow file must be owned by root";
    AllowFile f;
    f.write("1000\n", 0664);
    EXPECT_TRUE(helper::loadAllowedUids(f.path).empty());
    f.write("1000\n", 0646);
    EXPECT_TRUE(helper::loadAllowedUids(f.path).empty());
    f.write("1000\n", 0644);
    ASSERT_EQ(chown(f.path.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(helper::loadAllowedUids(f.path).empty());
    EXPECT_TRUE(helper::loadAllowedUids(f.dir + "/missing").empty());
    EXPECT_TRUE(helper::loadAllowedUids(f.dir).empty()); // a directory
}

TEST(PeerCheck, ReadsThePeersCredentials) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    uid_t uid = 12345;
    EXPECT_TRUE(helper::peerUid(sv[0], uid));
    EXPECT_EQ(uid, geteuid());
    // Root is always served, whatever the file says.
    if (geteuid() == 0) {
        EXPECT_TRUE(helper::peerAllowed(sv[0], "/nonexistent/allow"));
    }
    close(sv[0]);
    close(sv[1]);
}
