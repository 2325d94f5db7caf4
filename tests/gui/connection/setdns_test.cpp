// set-dns.sh against a scratch resolver file and state folder: the switch and the exact restore,
// a symlinked resolver (systemd-resolved's stub), and hostile arguments, which change nothing and
// run nothing.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SetDnsScript : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tavro-setdns-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "etc");
        resolv = dir / "etc/resolv.conf";
        setenv("TAVROVPN_RESOLV_CONF", resolv.c_str(), 1);
        setenv("TAVROVPN_DNS_STATE_DIR", (dir / "state").c_str(), 1);
        script = fs::path(std::getenv("TAVROVPN_SOURCE_DIR")) / "app/resources/OpenVPN/set-dns.sh";
    }
    void TearDown() override {
        unsetenv("TAVROVPN_RESOLV_CONF");
        unsetenv("TAVROVPN_DNS_STATE_DIR");
        fs::remove_all(dir);
    }

    // Runs the script with exactly these arguments (no shell in between); the exit status.
    int run(const std::vector<std::string>& args) {
        const pid_t pid = fork();
        if (pid == 0) {
            chdir(dir.c_str()); // a command that slipped through would leave its file here
            std::vector<char*> argv{const_cast<char*>("/bin/sh"), const_cast<char*>(script.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv("/bin/sh", argv.data());
            _exit(127);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    std::string nameservers() const {
        std::string out;
        std::istringstream in(readFile(resolv));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("nameserver", 0) == 0) out += line + ";";
        return out;
    }

    fs::path dir, resolv, script;
};

const char* kOriginal = "# from the DHCP client\nsearch corp.example\nnameserver 192.0.2.1\nnameserver "
                        "192.0.2.2\noptions edns0\n";

TEST_F(SetDnsScript, SwitchThenRestoreGivesBackTheSameBytesAndMode) {
    std::ofstream(resolv) << kOriginal;
    fs::permissions(resolv, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    EXPECT_EQ(nameservers(), "nameserver 10.213.8.53;");
    ASSERT_EQ(run({"localhost", "192.0.2.1", "192.0.2.2"}), 0);
    EXPECT_EQ(readFile(resolv), kOriginal);
    EXPECT_EQ(fs::status(resolv).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(SetDnsScript, SecondSwitchKeepsTheFirstOriginal) {
    std::ofstream(resolv) << kOriginal;
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    ASSERT_EQ(run({"openvpn", "2001:db8::53"}), 0); // a tunnel that never restored, then a new one
    EXPECT_EQ(nameservers(), "nameserver 2001:db8::53;");
    ASSERT_EQ(run({"localhost", "10.213.8.53"}), 0);
    EXPECT_EQ(readFile(resolv), kOriginal);
}

TEST_F(SetDnsScript, SymlinkedResolverIsReplacedNeverWrittenThroughAndComesBack) {
    fs::create_directories(dir / "run/resolve");
    const fs::path target = dir / "run/resolve/stub-resolv.conf";
    std::ofstream(target) << "nameserver 127.0.0.53\noptions edns0 trust-ad\n";
    fs::create_symlink("../run/resolve/stub-resolv.conf", resolv);
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    EXPECT_FALSE(fs::is_symlink(resolv));
    EXPECT_EQ(nameservers(), "nameserver 10.213.8.53;");
    EXPECT_EQ(readFile(target), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    ASSERT_EQ(run({"localhost", "127.0.0.53"}), 0);
    ASSERT_TRUE(fs::is_symlink(resolv));
    EXPECT_EQ(fs::read_symlink(resolv), "../run/resolve/stub-resolv.conf");
    EXPECT_EQ(readFile(target), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
}

TEST_F(SetDnsScript, HostileArgumentsChangeNothingAndRunNothing) {
    std::ofstream(resolv) << kOriginal;
    const std::vector<std::vector<std::string>> cases = {
        {"openvpn", "1.2.3.4;touch pwned"},
        {"openvpn", "$(touch pwned)"},
        {"openvpn", "`touch pwned`"},
        {"openvpn", "1.2.3.4\nnameserver 6.6.6.6"},
        {"openvpn", std::string(5000, '1')},
        {"openvpn", "-n"},
        {"openvpn"},
        {"openvpn", "1.2.3.4", "5.6.7.8"},
        {"reboot"},
        {},
    };
    for (const auto& args : cases) {
        EXPECT_NE(run(args), 0);
        EXPECT_EQ(readFile(resolv), kOriginal);
    }
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

TEST_F(SetDnsScript, RestoreLeavesAResolverItDidNotWrite) {
    std::ofstream(resolv) << kOriginal;
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    std::ofstream(resolv, std::ios::trunc) << "nameserver 198.51.100.1\n"; // the network changed meanwhile
    ASSERT_EQ(run({"localhost", "192.0.2.1"}), 0);
    EXPECT_EQ(readFile(resolv), "nameserver 198.51.100.1\n");
    // And a restore with nothing switched at all is harmless.
    ASSERT_EQ(run({"localhost", "192.0.2.9"}), 0);
    EXPECT_EQ(readFile(resolv), "nameserver 198.51.100.1\n");
}

TEST_F(SetDnsScript, WithoutTheRecordTheValidListedAddressesComeBack) {
    std::ofstream(resolv) << kOriginal;
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    fs::remove_all(dir / "state");
    ASSERT_EQ(run({"localhost", "192.0.2.1", "$(touch pwned)", "2001:db8::1"}), 0);
    EXPECT_EQ(readFile(resolv), "nameserver 192.0.2.1\nnameserver 2001:db8::1\n");
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

TEST_F(SetDnsScript, MissingResolverIsRemovedAgainOnRestore) {
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    EXPECT_EQ(nameservers(), "nameserver 10.213.8.53;");
    ASSERT_EQ(run({"localhost"}), 0);
    EXPECT_FALSE(fs::exists(resolv));
}

} // namespace
