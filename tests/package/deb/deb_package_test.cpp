// The Debian package, built the way ./run package builds it, installed with dpkg into a throwaway
// root: a private mount namespace with /usr, /etc, /var, /opt and /run overlaid, so this machine
// is never changed. No systemd runs here, so the maintainer scripts start the helper's supervisor,
// as they do on any machine without systemd. Root only.
#include "AsUser.h"
#include "PrivateEtc.h"
#include "ProcessUtil.h"
#include "app/channels/helpersocket.h"
#include "platform/Task.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::waitFor;

constexpr uid_t kRecordedUser = 65534; // nobody, standing for the desktop user behind "sudo apt install"
constexpr uid_t kOtherUser = 65533;    // a user the package did not record
const std::string kBundle = "/usr/lib/tavrovpn/TavroVPN.app";
const std::string kInstallerScript = kBundle + "/Contents/Resources/install/install-helper.sh";
const std::string kLibexec = "/usr/libexec/tavrovpn";
const std::string kUnits = "/usr/lib/systemd/system";
const std::string kAllowFile = "/etc/com.norvell.tvapphelper.allow";
const std::string kPidFile = "/run/com.norvell.tvapphelper.supervise.pid";
const std::string kSocket = "/run/com.norvell.tvapphelper.ipc";

using testsupport::env;

// Runs argv with a clean environment (plus vars), standard error with standard output; the exit
// status, -1 when it did not run or finish in time.
int run(const std::vector<std::string>& argv, std::string& out, const std::vector<std::string>& vars = {}) {
    platform::Task t;
    t.launchPath = "/usr/bin/env";
    t.arguments = {"-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};
    t.arguments.insert(t.arguments.end(), vars.begin(), vars.end());
    t.arguments.insert(t.arguments.end(), {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"});
    t.arguments.insert(t.arguments.end(), argv.begin(), argv.end());
    t.standardOutput = platform::Task::Stdio::Pipe;
    if (!t.launch()) return -1;
    return t.readStandardOutputToEnd(out, 300s) ? t.terminationStatus() : -1;
}

std::string dpkg(const std::string& action, const std::string& target) {
    std::string out;
    const int rc = run({"dpkg", action, target}, out, {"SUDO_USER=nobody", "DEBIAN_FRONTEND=noninteractive"});
    return rc == 0 ? std::string() : "dpkg " + action + " failed (" + std::to_string(rc) + "):\n" + out;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The supervisor the package started (from its pid file), or 0.
pid_t supervisor() {
    const std::string text = readFile(kPidFile);
    const pid_t pid = static_cast<pid_t>(std::atoi(text.c_str()));
    if (pid <= 0 || !platform::processAlive(pid)) return 0;
    std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.c_str() == kLibexec + "/tvapphelper-supervise" ? pid : 0;
}

// Live processes running one of the package's programs (replaced ones included).
std::vector<pid_t> processesOfThePackage() {
    std::vector<pid_t> out;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ec;
        const std::string exe = fs::read_symlink(e.path() / "exe", ec).string();
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (!ec && exe.rfind(kLibexec + "/", 0) == 0 && platform::processAlive(pid)) out.push_back(pid);
    }
    return out;
}

// A helper connection with the system-service command answered: the helper instance then waits
// for its sub-command. -1 when the helper did not answer "1".
int openHelperChannel() {
    std::string reply;
    const int fd = requestDaemonBySocket("CMD_SCNETWORK", sizeof "CMD_SCNETWORK", &reply);
    if (fd >= 0 && reply == "1") return fd;
    if (fd >= 0) close(fd);
    return -1;
}

std::string receive(int fd, std::chrono::milliseconds limit = 15s) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return "(nothing)";
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "(error)" : n == 0 ? "(eof)" : std::string(buf, static_cast<size_t>(n));
}

// "GET_VER" on an open channel: the version, then the helper closes.
std::string askVersion(int fd) {
    (void)send(fd, "GET_VER", 7, MSG_NOSIGNAL);
    const std::string version = receive(fd);
    return version + "|" + receive(fd);
}

// Starts the installed application offscreen as the current user (a child that has dropped root)
// and returns what it printed until its helper check was over; the application is then stopped.
// Every service address points at a closed loopback port.
std::string runApplication(const fs::path& home, const fs::path& pkexec) {
    platform::Task app;
    app.launchPath = "/usr/bin/env";
    app.arguments = {"-i",
                     "PATH=/usr/bin:/bin",
                     "LANG=C.UTF-8",
                     "HOME=" + home.string(),
                     "XDG_RUNTIME_DIR=" + (home / "run").string(),
                     "QT_QPA_PLATFORM=offscreen",
                     "TAVROVPN_PKEXEC=" + pkexec.string(),
                     "TAVROVPN_WEB_HOST=127.0.0.1:9",
                     "TAVROVPN_AUTH_HOST=127.0.0.1:9",
                     "TAVROVPN_FAQ_HOST=127.0.0.1:9",
                     "/usr/bin/tavrovpn"};
    app.standardOutput = platform::Task::Stdio::Pipe;
    app.standardError = platform::Task::Stdio::Null;
    if (!app.launch()) return "(not started)";
    std::string out;
    const auto end = std::chrono::steady_clock::now() + 30s;
    auto settled = end;
    while (std::chrono::steady_clock::now() < std::min(end, settled)) {
        pollfd p{app.standardOutputFd(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[512];
        const ssize_t n = read(app.standardOutputFd(), buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        // The check is over; a little longer shows whether anything still reaches for pkexec.
        if (settled == end &&
            (out.find("FILE AVAILABLE\n") != std::string::npos || out.find("error\n") != std::string::npos))
            settled = std::chrono::steady_clock::now() + 2s;
    }
    app.kill();
    app.waitUntilExit(5s);
    return out;
}

// A home of uid's own in the scratch folder.
fs::path makeHome(const fs::path& scratch, uid_t uid) {
    const fs::path home = scratch / ("home-" + std::to_string(uid));
    fs::create_directories(home / "run");
    for (const fs::path& p : {home, home / "run"}) {
        chown(p.c_str(), uid, uid);
        fs::permissions(p, fs::perms::owner_all);
    }
    return home;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// Width and height from a PNG's header.
std::pair<unsigned, unsigned> pngSize(const std::string& png) {
    auto be32 = [&](size_t at) {
        unsigned v = 0;
        for (size_t i = 0; i < 4 && at + i < png.size(); ++i)
            v = v << 8 | static_cast<unsigned char>(png[at + i]);
        return v;
    };
    return {be32(16), be32(20)};
}

// The scratch folder, and whatever a failed step leaves running (the supervisor stops its helpers).
struct Cleanup {
    fs::path scratch;
    ~Cleanup() {
        if (const pid_t pid = supervisor()) {
            kill(pid, SIGTERM);
            if (!waitFor([pid] { return !platform::processAlive(pid); }, 15s)) kill(pid, SIGKILL);
        }
        for (pid_t pid : processesOfThePackage())
            kill(pid, SIGKILL);
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }
};

// --- The installed package -------------------------------------------------------------------

void checkInstalledFiles() {
    std::string listing;
    ASSERT_EQ(run({"dpkg-query", "-L", "tavrovpn"}, listing), 0) << listing;
    // Everything the package installed is root's and writable by root alone: the helper refuses
    // programs that anyone else could change.
    for (const std::string& path : lines(listing)) {
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_uid, 0u) << path;
        EXPECT_EQ(st.st_gid, 0u) << path;
        EXPECT_TRUE(S_ISLNK(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) << path;
    }
    struct Expected {
        std::string path;
        mode_t mode;
    };
    const std::vector<Expected> table = {
        {kBundle + "/Contents/MacOS/TavroVPN", 0755},
        {kBundle + "/Contents/Resources/Config/serverlist.xml", 0644},
        {kBundle + "/Contents/Resources/OpenVPN/set-dns.sh", 0755},
        {kBundle + "/Contents/Resources/openconnect/libs.tar.enc", 0644},
        {kInstallerScript, 0755},
        {kLibexec + "/tvapphelper", 0755},
        {kLibexec + "/tvapphelper-supervise", 0755},
        {kLibexec + "/OpenVPN/openvpn", 0755},
        {kLibexec + "/OpenVPN/set-dns.sh", 0755},
        {kLibexec + "/openconnect/openconnect", 0755},
        {kLibexec + "/openconnect/vpnc-script-wrapper", 0755},
        {kUnits + "/com.norvell.tvapphelper.socket", 0644},
        {kUnits + "/com.norvell.tvapphelper@.service", 0644},
        {"/usr/lib/NetworkManager/dispatcher.d/90-tavrovpn-leak-block", 0755},
        {"/usr/share/polkit-1/actions/com.norvell.tavrovpn.policy", 0644},
        {"/usr/share/applications/com.norvell.tavrovpn.desktop", 0644},
        {"/usr/share/metainfo/com.norvell.tavrovpn.metainfo.xml", 0644},
        {"/usr/share/icons/hicolor/scalable/apps/com.norvell.tavrovpn.svg", 0644},
        {"/usr/share/doc/tavrovpn/copyright", 0644},
        {kAllowFile, 0644},
    };
    for (const Expected& e : table) {
        struct stat st {};
        ASSERT_EQ(lstat(e.path.c_str(), &st), 0) << e.path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << e.path;
        EXPECT_EQ(st.st_mode & 07777, e.mode) << e.path;
        EXPECT_EQ(st.st_uid, 0u) << e.path;
    }
    EXPECT_EQ(fs::read_symlink("/usr/bin/tavrovpn"), "../lib/tavrovpn/TavroVPN.app/Contents/MacOS/TavroVPN");
    EXPECT_EQ(fs::canonical("/usr/bin/tavrovpn"), kBundle + "/Contents/MacOS/TavroVPN");
    // Root runs only the copies under libexec; the bundle carries none.
    EXPECT_FALSE(fs::exists(kBundle + "/Contents/MacOS/tvapphelper"));
    EXPECT_FALSE(fs::exists(kBundle + "/Contents/MacOS/OpenVPN"));
    EXPECT_NE(readFile(kUnits + "/com.norvell.tvapphelper@.service")
                  .find("ExecStart=" + kLibexec + "/tvapphelper\n"),
              std::string::npos);
    // The socket unit is enabled for the next boot with systemd.
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent("/etc/systemd/system/sockets.target.wants/com.norvell.tvapphelper.socket",
                               kUnits + "/com.norvell.tvapphelper.socket", ec));
    // The installing user is the one the helper serves.
    EXPECT_EQ(readFile(kAllowFile), std::to_string(kRecordedUser) + "\n");

    for (unsigned size : {16u, 22u, 24u, 32u, 48u, 64u, 128u, 256u, 512u}) {
        const std::string n = std::to_string(size);
        const std::string png =
            readFile("/usr/share/icons/hicolor/" + n + "x" + n + "/apps/com.norvell.tavrovpn.png");
        ASSERT_GT(png.size(), 24u) << n;
        EXPECT_EQ(png.substr(1, 3), "PNG") << n;
        EXPECT_EQ(pngSize(png), std::make_pair(size, size)) << n;
    }
}

void checkWithTheSystemsTools() {
    struct Check {
        std::vector<std::string> argv;
        bool quiet; // no output at all, not even a notice
    };
    const std::vector<Check> checks = {
        {{"systemd-analyze", "verify", kUnits + "/com.norvell.tvapphelper.socket",
          kUnits + "/com.norvell.tvapphelper@.service"},
         true},
        {{"desktop-file-validate", "/usr/share/applications/com.norvell.tavrovpn.desktop"}, false},
        {{"appstreamcli", "validate", "--no-net", "/usr/share/metainfo/com.norvell.tavrovpn.metainfo.xml"},
         false},
    };
    for (const Check& c : checks) {
        std::string out;
        EXPECT_EQ(run(c.argv, out), 0) << c.argv[0] << ":\n" << out;
        EXPECT_TRUE(!c.quiet || out.empty()) << c.argv[0] << ":\n" << out;
    }
    // The helper's sandbox as systemd scores it: below Debian's own openvpn-client@.service (7.4).
    std::string score;
    run({"systemd-analyze", "security", "--offline=true", kUnits + "/com.norvell.tvapphelper@.service"}, score);
    const std::string overall = lines(score).empty() ? "" : lines(score).back();
    std::printf("systemd-analyze security: %s\n", overall.c_str());
    const size_t at = overall.rfind(": ");
    EXPECT_LT(at == std::string::npos ? 10.0 : std::atof(overall.c_str() + at + 2), 7.4) << score;
    // pkexec finds the action by the program it is asked to run: the installer in this bundle. Every
    // approval is asked for.
    const std::string policy = readFile("/usr/share/polkit-1/actions/com.norvell.tavrovpn.policy");
    EXPECT_NE(policy.find("<annotate key=\"org.freedesktop.policykit.exec.path\">" + kInstallerScript +
                          "</annotate>"),
              std::string::npos);
    for (const char* which : {"allow_any", "allow_inactive", "allow_active"})
        EXPECT_NE(policy.find("<" + std::string(which) + ">auth_admin</"), std::string::npos) << which;
}

// --- The test ----------------------------------------------------------------------------------

TEST(DebianPackage, InstallsServesUpgradesAndLeavesNothingBehind) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: dpkg installs into overlays of the system folders";
    if (!privateetc::inside()) {
        // Built here as ./run package builds it, into a build folder of this tree's own.
        const fs::path out = fs::path(env("TAVROVPN_BINARY_DIR")) / "package-build";
        const fs::path log = out.string() + ".log";
        platform::Task build;
        build.launchPath = "/bin/sh";
        build.arguments = {"-c", "exec \"$0\" \"$1\" >\"$2\" 2>&1",
                           env("TAVROVPN_SOURCE_DIR") + "/tools/package/build-deb.sh", out.string(),
                           log.string()};
        ASSERT_TRUE(build.launch());
        ASSERT_TRUE(build.waitUntilExit(1500s)) << "the package build did not finish";
        const std::string built = readFile(log);
        ASSERT_EQ(build.terminationStatus(), 0)
            << built.substr(built.size() > 4000 ? built.size() - 4000 : 0);
        std::vector<fs::path> debs;
        for (const auto& e : fs::directory_iterator(out))
            if (e.path().extension() == ".deb") debs.push_back(e.path());
        ASSERT_EQ(debs.size(), 1u);
        setenv("TAVROVPN_TEST_DEB", debs[0].c_str(), 1);
        ASSERT_EQ(
            privateetc::runSelf({"--gtest_filter=DebianPackage.*"}, {"usr", "etc", "var", "opt", "run"}), 0)
            << "the test failed inside the private mount namespace";
        return;
    }

    const fs::path deb = env("TAVROVPN_TEST_DEB");
    const fs::path written = env("SCRATCH"); // <folder>/u: what the namespace wrote to each folder
    ASSERT_TRUE(fs::exists(deb));
    unsetenv("TVAPPHELPER_SOCKET");
    char tmpl[] = "/tmp/tv-package-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path scratch = tmpl;
    Cleanup cleanup{scratch};
    fs::permissions(scratch, fs::perms(0755));
    // A desktop machine lets packages start their services; this container's policy-rc.d does not.
    fs::remove("/usr/sbin/policy-rc.d");

    // Install: the files, then the helper started as on a machine without systemd.
    ASSERT_EQ(dpkg("-i", deb), "");
    checkInstalledFiles();
    checkWithTheSystemsTools();
    const pid_t supervise = supervisor();
    ASSERT_GT(supervise, 0) << "the maintainer scripts did not start the supervisor";
    ASSERT_TRUE(waitFor([] { return fs::exists(kSocket); }, 5s));
    const std::string served = testsupport::asUser(kRecordedUser, kRecordedUser, [] {
        const int fd = openHelperChannel();
        if (fd < 0) return std::string("no helper channel");
        const std::string answer = askVersion(fd);
        close(fd);
        return answer;
    });
    const std::string version = served.substr(0, served.find('|'));
    EXPECT_EQ(served, version + "|(eof)");
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(version.find_first_not_of("0123456789"), std::string::npos) << version;

    // Upgrade (the same version again) while a helper is at work: it keeps serving.
    const int atWork = openHelperChannel();
    ASSERT_GE(atWork, 0);
    ASSERT_EQ(dpkg("-i", deb), "");
    EXPECT_EQ(supervisor(), supervise);
    EXPECT_EQ(askVersion(atWork), version + "|(eof)");
    close(atWork);

    // The installed application, as the recorded user: the job file is there, no pkexec.
    const fs::path records = scratch / "records";
    fs::create_directory(records);
    fs::permissions(records, fs::perms(01777));
    const fs::path pkexec = scratch / "pkexec";
    std::ofstream(pkexec) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" << records.string()
                          << "/pkexec.$(id -u)\"\nexit 126\n";
    fs::permissions(pkexec, fs::perms(0755));
    const fs::path home = makeHome(scratch, kRecordedUser);
    const std::string recorded =
        testsupport::asUser(kRecordedUser, kRecordedUser, [&] { return runApplication(home, pkexec); });
    EXPECT_EQ(firstLine(recorded), "FILE AVAILABLE") << recorded;
    EXPECT_FALSE(fs::exists(records / ("pkexec." + std::to_string(kRecordedUser))));
    const fs::path workingFolder = home / ".local/share/norvell/tavrovpn";
    EXPECT_TRUE(fs::exists(workingFolder / "Config/serverlist.xml"));

    // A user the package did not record is asked through the package's polkit action; approving
    // runs the bundle's installer, which only adds that user.
    const fs::path otherHome = makeHome(scratch, kOtherUser);
    const std::string other =
        testsupport::asUser(kOtherUser, kOtherUser, [&] { return runApplication(otherHome, pkexec); });
    EXPECT_EQ(firstLine(other), "error") << other;
    EXPECT_EQ(readFile(records / ("pkexec." + std::to_string(kOtherUser))),
              kInstallerScript + "\n" + kBundle + "\n" + std::to_string(kOtherUser) + "\n");
    std::string approved;
    ASSERT_EQ(run({kInstallerScript, kBundle, std::to_string(kOtherUser)}, approved), 0) << approved;
    EXPECT_EQ(lines(readFile(kAllowFile)), (std::vector<std::string>{"65534", "65533"}));
    // Through pkexec it adds only the user who asked.
    EXPECT_EQ(run({kInstallerScript, kBundle, "65531"}, approved, {"PKEXEC_UID=65532"}), 2) << approved;
    EXPECT_EQ(run({kInstallerScript, kBundle, "65532"}, approved, {"PKEXEC_UID=65532"}), 0) << approved;
    EXPECT_EQ(lines(readFile(kAllowFile)), (std::vector<std::string>{"65534", "65533", "65532"}));
    EXPECT_FALSE(fs::exists(written / "usr/u/local/libexec/tavrovpn"));
    EXPECT_FALSE(fs::exists(written / "etc/u/systemd/system/com.norvell.tvapphelper.socket"));

    // Remove: no helper outlives its files, the one at work is stopped; the user's data and the
    // root-only state stay until a purge.
    fs::create_directories("/var/lib/tavrovpn");
    std::ofstream("/var/lib/tavrovpn/keychain.json") << "{}";
    const int stopped = openHelperChannel();
    ASSERT_GE(stopped, 0);
    ASSERT_EQ(dpkg("-r", "tavrovpn"), "");
    EXPECT_EQ(receive(stopped), "(eof)");
    close(stopped);
    EXPECT_FALSE(platform::processAlive(supervise));
    EXPECT_TRUE(processesOfThePackage().empty());
    for (const std::string& gone :
         {kLibexec, kBundle, kPidFile, kSocket, kUnits + "/com.norvell.tvapphelper.socket"})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    for (const std::string& kept : {kAllowFile, std::string("/var/lib/tavrovpn/keychain.json")})
        EXPECT_TRUE(fs::exists(kept)) << kept;

    // Purge: nothing of ours in any overlaid folder; the user's working folder stays.
    ASSERT_EQ(dpkg("-P", "tavrovpn"), "");
    std::vector<std::string> left;
    for (const char* folder : {"usr", "etc", "var", "opt", "run"}) {
        for (const auto& e : fs::recursive_directory_iterator(written / folder / "u")) {
            const std::string name = e.path().filename();
            for (const char* ours : {"tavrovpn", "tvapphelper", "norvell"})
                if (name.find(ours) != std::string::npos) left.push_back(e.path());
        }
    }
    EXPECT_EQ(left, std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(workingFolder / "Config/serverlist.xml"));
}

} // namespace
