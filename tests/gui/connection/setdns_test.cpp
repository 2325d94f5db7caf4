// set-dns.sh against a scratch resolver file and state folder: the switch and the exact restore,
// a symlinked resolver (systemd-resolved's stub), the hand-over to systemd-resolved for the tunnel's
// link (resolvectl and ip replaced by recording stand-ins), and hostile arguments, which change
// nothing and run nothing.
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
        if (!savedPath.empty()) setenv("PATH", savedPath.c_str(), 1);
        fs::remove_all(dir);
    }

    // resolv.conf as systemd-resolved's stub link, with stand-ins for resolvectl (records its
    // arguments, fails when told) and ip (the route to any address goes through `dev`, a tun device
    // or not, with interface index `index`).
    void fakeResolved(const std::string& dev, bool tun, int index, bool resolvedAnswers = true) {
        fs::create_directories(dir / "run/systemd/resolve");
        std::ofstream(dir / "run/systemd/resolve/stub-resolv.conf") << kStub;
        fs::create_symlink("../run/systemd/resolve/stub-resolv.conf", resolv);
        fs::create_directories(dir / "bin");
        const std::string calls = (dir / "resolvectl.calls").string();
        writeProgram("resolvectl", "#!/bin/sh\n[ \"$1\" = dns ] && [ $# -eq 1 ] && exit " +
                                       std::string(resolvedAnswers ? "0" : "1") + "\necho \"$*\" >> " +
                                       calls + "\n");
        fakeIp(dev, tun, index);
        savedPath = std::getenv("PATH");
        setenv("PATH", ((dir / "bin").string() + ":" + savedPath).c_str(), 1);
    }
    void fakeIp(const std::string& dev, bool tun, int index) {
        const std::string details = tun ? " \\    tun type tun pi off vnet_hdr off persist off " : " ";
        writeProgram("ip", "#!/bin/sh\ncase \"$*\" in\n"
                           "'-o route get '*) echo \"$4 dev " + dev + " src 10.0.0.2 uid 0\" ;;\n"
                           "*'link show dev " + dev + "') echo \"" + std::to_string(index) + ": " + dev +
                               ": <POINTOPOINT,UP> mtu 1500" + details + "\" ;;\n"
                           "*) exit 1 ;;\nesac\n");
    }
    void writeProgram(const std::string& name, const std::string& text) {
        std::ofstream(dir / "bin" / name) << text;
        fs::permissions(dir / "bin" / name, fs::perms::owner_all);
    }
    std::string resolvectlCalls() const { return readFile(dir / "resolvectl.calls"); }

    static constexpr const char* kStub = "nameserver 127.0.0.53\noptions edns0 trust-ad\n";

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
    std::string savedPath;
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
    EXPECT_NE(fs::read_symlink(resolv), "../run/resolve/stub-resolv.conf");
    EXPECT_EQ(nameservers(), "nameserver 10.213.8.53;");
    EXPECT_EQ(readFile(target), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    ASSERT_EQ(run({"localhost", "127.0.0.53"}), 0);
    ASSERT_TRUE(fs::is_symlink(resolv));
    EXPECT_EQ(fs::read_symlink(resolv), "../run/resolve/stub-resolv.conf");
    EXPECT_EQ(readFile(target), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
}

// A network manager that rewrites the resolver on a lease renewal replaces a plain file, and leaves
// a link alone: while the tunnel is up resolv.conf links to a root-owned file with its server.
TEST_F(SetDnsScript, PlainFileBecomesALinkToOursWhileSwitched) {
    std::ofstream(resolv) << kOriginal;
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    ASSERT_TRUE(fs::is_symlink(resolv));
    const fs::path ours = fs::read_symlink(resolv);
    EXPECT_EQ(ours, dir / "tavrovpn-resolv.conf");
    EXPECT_EQ(fs::status(ours).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(run({"localhost"}), 0);
    EXPECT_FALSE(fs::is_symlink(resolv));
    EXPECT_EQ(readFile(resolv), kOriginal);
    EXPECT_FALSE(fs::exists(ours));
}

// Where resolv.conf is systemd-resolved's stub, the tunnel's server goes to resolved for the tun
// device that routes to it; otherwise (no tun device on the way, resolved not answering) the file
// way is taken. The stub link itself never changes in the first case.
TEST_F(SetDnsScript, ResolvedGetsTheServerForTheTunnelLinkAndRevertsIt) {
    struct Case {
        const char* name;
        const char* dev;
        bool tun;
        bool answers;
        const char* callsAfterSwitch;
    };
    const Case cases[] = {
        {"tun device", "tun3", true, true, "dns tun3 10.213.8.53\ndomain tun3 ~.\ndefault-route tun3 yes\n"},
        {"route through the uplink", "lan0", false, true, ""},
        {"resolved not answering", "tun3", true, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        fakeResolved(c.dev, c.tun, 7, c.answers);
        ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
        EXPECT_EQ(resolvectlCalls(), c.callsAfterSwitch);
        EXPECT_EQ(nameservers(), *c.callsAfterSwitch ? "nameserver 127.0.0.53;" : "nameserver 10.213.8.53;");
        ASSERT_EQ(run({"localhost", "127.0.0.53"}), 0);
        EXPECT_EQ(resolvectlCalls(), std::string(c.callsAfterSwitch) + (*c.callsAfterSwitch ? "revert tun3\n" : ""));
        ASSERT_TRUE(fs::is_symlink(resolv));
        EXPECT_EQ(fs::read_symlink(resolv), "../run/systemd/resolve/stub-resolv.conf");
        EXPECT_EQ(readFile(resolv), kStub);
        EXPECT_TRUE(fs::is_empty(dir / "state"));
    }
}

// The tunnel's device went away and its name now belongs to another device: nothing is reverted.
TEST_F(SetDnsScript, ResolvedRestoreLeavesAnotherDeviceOfTheSameNameAlone) {
    fakeResolved("tun3", true, 7);
    ASSERT_EQ(run({"openvpn", "10.213.8.53"}), 0);
    fakeIp("tun3", true, 9);
    ASSERT_EQ(run({"localhost"}), 0);
    EXPECT_EQ(resolvectlCalls(), "dns tun3 10.213.8.53\ndomain tun3 ~.\ndefault-route tun3 yes\n");
    EXPECT_TRUE(fs::is_empty(dir / "state"));
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
