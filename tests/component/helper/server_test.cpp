#include "AsUser.h"
#include "HelperHarness.h"
#include "HelperMessages.h"
#include "helper/TunnelRecord.h"
#include "platform/Task.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace harness;

namespace {

struct Conversation {
    TempDir dir;
    ForkedHelper helper{dir.path};
    int fd = connectTo(helper.socketPath());
    ~Conversation() {
        if (fd >= 0) close(fd);
    }
};

std::string asNobody(const std::function<std::string()>& fn) {
    return testsupport::asUser(65534, 65534, fn);
}

} // namespace

TEST(HelperServer, CloseRequestEndsTheHelperWithoutReply) {
    Conversation c;
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(sendText(c.fd, "closeCMD_SCNETWORK,anything"));
    EXPECT_TRUE(closedByPeer(c.fd));
    ASSERT_TRUE(c.helper.waitExit());
    EXPECT_EQ(c.helper.exitCode(), 0);
    std::string log = c.helper.log();
    EXPECT_NE(log.find("server: close recv.\nserver: close server socket\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("buf:"), std::string::npos);
}

TEST(HelperServer, GetVerAnswersOneThenVersionThenCloses) {
    TempDir dir;
    ForkedHelper helper(dir.path);
    // The application's first message carries its NUL, later ones do not; both read alike.
    EXPECT_EQ(getVerExchange(helper.socketPath()), "1,240|eof");
    ASSERT_TRUE(helper.waitExit());
    std::string log = helper.log();
    for (const char* line : {"server_start!!!!!!!!!!!!!!!!", "read data [14]", "buf:CMD_SCNETWORK",
                             "CMD_SCNETWORK command start.", "command recv wait...", "read data [7]",
                             "cmdUTF8;GET_VER", "serviceIdUTF8;", "server: close accept socket",
                             "server: read error", "server: close server socket", "server: end"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST(HelperServer, RepeatedCommasAndMissingTerminatorParseAlike) {
    Conversation c;
    ASSERT_TRUE(sendText(c.fd, ",,CMD_SCNETWORK,,,"));
    EXPECT_EQ(recvOnce(c.fd), "1");
    ASSERT_TRUE(sendText(c.fd, std::string(",GET_VER,,svc", 14)));
    EXPECT_EQ(recvOnce(c.fd), "240");
    EXPECT_TRUE(closedByPeer(c.fd));
}

TEST(HelperServer, UnknownCommandsAndSubCommandsGetNoReply) {
    {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SOMETHING,/x"));
        EXPECT_TRUE(closedByPeer(c.fd));
        ASSERT_TRUE(c.helper.waitExit());
        EXPECT_NE(c.helper.log().find("server: end"), std::string::npos);
    }
    {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        EXPECT_EQ(recvOnce(c.fd), "1");
        ASSERT_TRUE(sendText(c.fd, "REMOVE_PREF,/Applications/TavroVPN.app"));
        EXPECT_TRUE(closedByPeer(c.fd));
    }
    {
        // "close" ends a CMD_SCNETWORK connection too, without a reply.
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        EXPECT_EQ(recvOnce(c.fd), "1");
        ASSERT_TRUE(sendText(c.fd, "close,GET_VER"));
        EXPECT_TRUE(closedByPeer(c.fd));
        ASSERT_TRUE(c.helper.waitExit());
        EXPECT_EQ(c.helper.log().find("cmdUTF8"), std::string::npos);
    }
}

TEST(HelperServer, ClientClosingBeforeItsFirstMessageCausesNothing) {
    Conversation c;
    close(c.fd);
    c.fd = -1;
    ASSERT_TRUE(c.helper.waitExit());
    std::string log = c.helper.log();
    EXPECT_NE(log.find("read data [0]"), std::string::npos) << log;
    EXPECT_NE(log.find("server: end"), std::string::npos);
}

TEST(HelperServer, OversizeMessagesAreRefusedWithoutAction) {
    {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK," + std::string(700, 'A')));
        EXPECT_TRUE(closedByPeer(c.fd));
        ASSERT_TRUE(c.helper.waitExit());
        EXPECT_EQ(c.helper.exitCode(), 0);
        EXPECT_NE(c.helper.log().find("message too long"), std::string::npos);
    }
    {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        EXPECT_EQ(recvOnce(c.fd), "1");
        ASSERT_TRUE(sendText(c.fd, "GET_VER," + std::string(511, 'x')));
        EXPECT_TRUE(closedByPeer(c.fd));
        ASSERT_TRUE(c.helper.waitExit());
        EXPECT_EQ(c.helper.exitCode(), 0);
    }
    {
        // 511 bytes still fit.
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        EXPECT_EQ(recvOnce(c.fd), "1");
        std::string msg = "GET_VER,";
        msg += std::string(511 - msg.size(), 'x');
        ASSERT_TRUE(sendText(c.fd, msg));
        EXPECT_EQ(recvOnce(c.fd), "240");
    }
}

TEST(HelperServer, SubCommandsWithoutAKeychainItem) {
    struct Case {
        const char* message;
        const char* reply;
    } cases[] = {{"REMOVE_PASSWD,0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9", "0"},
                 {"REMOVE_PASSWD", "0"},
                 {"DELETE_KEY,0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9", "0"},
                 {"GET_PASSWD_SZ,0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9", ""},
                 {"GET_USER_SZ,svc-1", ""}};
    for (const Case& k : cases) {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        ASSERT_EQ(recvOnce(c.fd), "1");
        ASSERT_TRUE(sendText(c.fd, k.message));
        bool eof = false;
        EXPECT_EQ(recvOnce(c.fd, 5s, &eof), k.reply) << k.message;
        if (!eof) {
            EXPECT_TRUE(closedByPeer(c.fd)) << k.message;
        }
    }
}

TEST(HelperServer, SetKeyRefusesMissingFieldsAndMasksSecretsInTheLog) {
    {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        ASSERT_EQ(recvOnce(c.fd), "1");
        ASSERT_TRUE(sendText(c.fd, "SET_KEY,(null),/opt/TavroVPN,vpn.example.jp,user1"));
        EXPECT_EQ(recvOnce(c.fd), "0");
        ASSERT_TRUE(c.helper.waitExit());
        EXPECT_EQ(c.helper.log().find("writePreferences begin."), std::string::npos);
    }
    {
        Conversation c;
        ASSERT_TRUE(sendText(c.fd, "CMD_SCNETWORK"));
        ASSERT_EQ(recvOnce(c.fd), "1");
        ASSERT_TRUE(sendText(c.fd,
                             "SET_KEY,(null),/opt/TavroVPN,vpn.example.jp,user1,Pa55word!,TRUE,none,none,0,"
                             "1,SharedSecret859"));
        // Recorded, but no NetworkManager holds it: not a service that can be started.
        EXPECT_EQ(recvOnce(c.fd), "0");
        ASSERT_TRUE(c.helper.waitExit());
        std::string log = c.helper.log();
        EXPECT_EQ(log.find("Pa55word!"), std::string::npos) << log;
        EXPECT_EQ(log.find("SharedSecret859"), std::string::npos) << log;
        for (const char* line :
             {"buf:SET_KEY,(null),/opt/TavroVPN,vpn.example.jp,user1,********,TRUE,none,none,0,1,********",
              "11111\n", "222222\n", "33333\n", "strPPPCCPEnabled128:1\n",
              "appPath:/opt/TavroVPN\nserviceName:TavroVPN\nserviceId:(null)\nserverAddr:vpn.example.jp\n"
              "accountName:user1\npassword:********\nL2TPpassword:********\nIsL2tp:TRUE\nDNSPrim:none\n"
              "DNSSecond:none\nPPPCCPEnabled40:0\nPPPCCPEnabled128:1",
              "writePreferences begin.\n", "writePreferences end.\n", "writePreferences success\n",
              "SET_KEY service not realised\n"})
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

// A working folder R with both tunnel folders and the helper's program copies: an openconnect
// that records its stop signal and a set-dns.sh that records its arguments.
struct TunnelSetup {
    TempDir dir;
    ProgramCopies programs;
    std::string root = dir.path + "/root";
    TunnelSetup() {
        std::filesystem::create_directories(root + "/openconnect");
        std::filesystem::create_directories(root + "/OpenVPN");
        writeFile(root + "/OpenVPN/config.ovpn", "client\n");
        programs.write("openconnect/openconnect",
                       "#!/bin/bash\ntrap 'echo hup > got_hup; exit 0' HUP\n"
                       "trap 'echo term > got_term; exit 0' TERM\n: > ready\n"
                       "for i in $(seq 300); do sleep 0.1; done\n");
        programs.write("openconnect/vpnc-script-wrapper", "#!/bin/sh\n");
        programs.write("OpenVPN/openvpn", "#!/bin/bash\nfor i in $(seq 300); do sleep 0.1; done\n");
        programs.write("OpenVPN/set-dns.sh",
                       "#!/bin/sh\necho \"$*\" >> \"" + dir.path + "/set-dns.calls\"\n");
    }
    // As the application does, the password is written for each openconnect start: the helper
    // removes it once openconnect has it.
    std::string start(const std::string& kind) const {
        if (kind == "oc") writeFile(root + "/openconnect/password.txt", "pw\n", 0600);
        return kind == "oc" ? testsupport::openConnectStart(root) : "CMD_OVPN_START," + root;
    }
};

TEST(TunnelChannel, RunsTheApplicationsLinesAsTheHelpersOwnOperations) {
    TunnelSetup t;
    {
        ForkedHelper helper(t.dir.path);
        int fd = connectTo(helper.socketPath());
        ASSERT_TRUE(sendText(fd, t.start("ovpn")));
        ASSERT_EQ(recvOnce(fd), "1");
        const std::string dns = "\"" + t.root + "/OpenVPN/set-dns.sh\" ";
        for (const std::string& line :
             {"cp /etc/resolv.conf \"" + t.root + "/OpenVPN/\"", dns + "openvpn 10.8.0.1", dns + "openvpn ",
              dns + "localhost 192.0.2.1 2001:db8::1 ", dns + "localhost "}) {
            ASSERT_TRUE(sendText(fd, line));
            usleep(300000); // one line per receive, as the application paces them
        }
        close(fd);
        ASSERT_TRUE(helper.waitExit());
        EXPECT_EQ(readFile(t.root + "/OpenVPN/resolv.conf"), readFile("/etc/resolv.conf"));
        EXPECT_EQ(readFile(t.dir.path + "/set-dns.calls"),
                  "openvpn 10.8.0.1\nlocalhost 192.0.2.1 2001:db8::1\nlocalhost\n");
        // The stand-in openvpn opens no tunnel, so only the leak block may be refused.
        EXPECT_EQ(helper.log().find("command refused"), std::string::npos) << helper.log();
        EXPECT_NE(helper.log().find("leak block refused: tunnel interface"), std::string::npos) << helper.log();
    }
    {
        ForkedHelper helper(t.dir.path);
        int fd = connectTo(helper.socketPath());
        ASSERT_TRUE(sendText(fd, t.start("oc")));
        ASSERT_EQ(recvOnce(fd), "1");
        ASSERT_TRUE(waitForFile(t.root + "/openconnect/ready"));
        // The line the application sends; the pid in childpid is not what is signalled.
        writeFile(t.root + "/openconnect/childpid", "1\n");
        ASSERT_TRUE(sendText(fd, "kill -HUP $(cat \"" + t.root + "/openconnect/childpid\")"));
        // Ended so that it logs off: a hang-up would leave the session alive on the server.
        EXPECT_TRUE(waitForFile(t.root + "/openconnect/got_term")) << helper.log();
        EXPECT_FALSE(std::filesystem::exists(t.root + "/openconnect/got_hup"));
        close(fd);
        ASSERT_TRUE(helper.waitExit());
    }
}

TEST(TunnelChannel, ForeignLinesRunNothingAndEndTheChannel) {
    TunnelSetup t;
    const std::string marker = t.dir.path + "/marker";
    const std::string dns = "\"" + t.root + "/OpenVPN/set-dns.sh\" ";
    struct Case {
        const char* kind;
        std::string line;
    } cases[] = {
        // Inside a channel "close" is not special, and a shell line is not a tunnel line (the
        // table's shapes are the unit tests'); a line of the other tunnel's kind is not one either.
        {"oc", "closeNotACommand; touch \"" + marker + "\""},
        {"ovpn", "touch \"" + marker + "\""},
        {"ovpn", dns + "openvpn 10.8.0.1; touch \"" + marker + "\""},
        {"ovpn", "kill -HUP $(cat \"" + t.root + "/openconnect/childpid\")"},
        {"oc", dns + "openvpn 10.8.0.1"},
        // Cut at 512 bytes, the line would end in "touch <marker>"; it must not run at all.
        {"oc", "echo " + std::string(480, 'x') + "; touch \"" + marker + "\""},
    };
    for (const Case& k : cases) {
        ForkedHelper helper(t.dir.path);
        int fd = connectTo(helper.socketPath());
        ASSERT_TRUE(sendText(fd, t.start(k.kind)));
        ASSERT_EQ(recvOnce(fd), "1");
        ASSERT_TRUE(sendText(fd, k.line));
        EXPECT_TRUE(closedByPeer(fd)) << k.line;
        close(fd);
        ASSERT_TRUE(helper.waitExit());
        EXPECT_FALSE(std::filesystem::exists(marker)) << k.line;
        // At most the channel's end put the resolver back (an openconnect hung up before it could
        // run its disconnect step); the line itself switched nothing.
        const std::string calls = readFile(t.dir.path + "/set-dns.calls");
        EXPECT_EQ(calls.find("openvpn"), std::string::npos) << k.line;
        const std::string log = helper.log();
        EXPECT_EQ(log.find("command received... system call."), std::string::npos) << log;
        EXPECT_TRUE(log.find("server: command refused, channel closed: " + k.line) != std::string::npos ||
                    log.find("server: command too long, channel closed.") != std::string::npos)
            << log;
        std::filesystem::remove(t.dir.path + "/helper.log");
    }
}

// The application vanishes, the tunnel program dies, or the helper instance itself is killed: the
// tunnel ends and a resolver the channel switched comes back.
TEST(TunnelChannel, ATunnelWhoseChannelEndsWithoutItsStopIsEndedAndItsResolverRestored) {
    TunnelSetup t;
    setenv("TAVROVPN_DNS_STATE_DIR", (t.dir.path + "/dns-state").c_str(), 1);
    const std::string pidFile = t.dir.path + "/program.pid";
    t.programs.write("OpenVPN/openvpn",
                     "#!/bin/bash\necho $$ > \"" + pidFile + "\"\nfor i in $(seq 300); do sleep 0.1; done\n");
    const std::string switchLine = "\"" + t.root + "/OpenVPN/set-dns.sh\" openvpn 10.8.0.1";
    auto programPid = [&] { return static_cast<pid_t>(std::atol(readFile(pidFile).c_str())); };
    enum class End { ClientCloses, ProgramDies, HelperKilled };
    struct Case {
        const char* name;
        const char* kind;
        End end;
        const char* calls; // what set-dns.sh saw
        const char* step = nullptr; // a routing-script step openconnect leaves running: its seconds
    } cases[] = {
        {"openvpn, application gone", "ovpn", End::ClientCloses, "openvpn 10.8.0.1\nlocalhost\n"},
        {"openconnect, application gone", "oc", End::ClientCloses, "localhost\n"},
        {"openvpn died", "ovpn", End::ProgramDies, "openvpn 10.8.0.1\nlocalhost\n"},
        {"helper killed", "ovpn", End::HelperKilled, "openvpn 10.8.0.1\nlocalhost\n"},
        // Last: its openconnect leaves a routing-script step running that switches the resolver
        // after openconnect is gone; the restore must come after it.
        {"openconnect killed mid-step", "oc", End::ProgramDies, "openvpn 10.9.0.1\nlocalhost\n", "4"},
        // A step slower than any wait (a loaded machine): it is ended, never run after the restore.
        {"helper killed, openconnect mid-step", "oc", End::HelperKilled, "localhost\n", "13"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.step)
            t.programs.write("openconnect/openconnect",
                             std::string("#!/bin/bash\n(sleep ") + c.step +
                                 "; \"$TAVROVPN_SET_DNS\" openvpn 10.9.0.1) &\n: > ready\n"
                                 "for i in $(seq 300); do sleep 0.1; done\n");
        const auto started = std::chrono::steady_clock::now();
        std::filesystem::remove(t.dir.path + "/set-dns.calls");
        std::filesystem::remove(pidFile);
        std::filesystem::remove(t.root + "/openconnect/ready");
        ForkedHelper helper(t.dir.path);
        int fd = connectTo(helper.socketPath());
        ASSERT_TRUE(sendText(fd, t.start(c.kind)));
        ASSERT_EQ(recvOnce(fd), "1");
        if (std::string(c.kind) == "ovpn") {
            ASSERT_TRUE(waitForFile(pidFile));
            ASSERT_TRUE(sendText(fd, switchLine));
            ASSERT_TRUE(waitForFile(t.dir.path + "/set-dns.calls"));
        } else {
            ASSERT_TRUE(waitForFile(t.root + "/openconnect/ready"));
        }
        // The helper's own record of openconnect's pid is what the application's childpid holds.
        const pid_t program =
            c.kind == std::string("ovpn")
                ? programPid()
                : static_cast<pid_t>(std::atol(readFile(t.root + "/openconnect/childpid").c_str()));
        ASSERT_GT(program, 0);
        switch (c.end) {
        case End::ClientCloses:
            close(fd);
            ASSERT_TRUE(helper.waitExit());
            break;
        case End::ProgramDies:
            ::kill(program, SIGKILL);
            EXPECT_TRUE(closedByPeer(fd, 10s)) << "the helper ends the channel of a tunnel that is gone";
            close(fd);
            ASSERT_TRUE(helper.waitExit());
            break;
        case End::HelperKilled:
            ::kill(helper.pid(), SIGKILL);
            ASSERT_TRUE(helper.waitExit());
            close(fd);
            EXPECT_EQ(helper::cleanUpVanishedTunnels(), 1);
            EXPECT_EQ(helper::cleanUpVanishedTunnels(), 0) << "the record is gone with the tunnel";
            break;
        }
        EXPECT_FALSE(platform::processAlive(program));
        // Past the end of the step: nothing of it ran after the restore.
        if (c.step) std::this_thread::sleep_until(started + std::chrono::seconds(std::atoi(c.step) + 1));
        EXPECT_EQ(readFile(t.dir.path + "/set-dns.calls"), c.calls) << helper.log();
    }
    unsetenv("TAVROVPN_DNS_STATE_DIR");
}

TEST(HelperServer, StartCommandsWithMissingFieldsStartNothing) {
    TunnelSetup t;
    const std::string marker = t.dir.path + "/started";
    t.programs.write("openconnect/openconnect", "#!/bin/bash\ntouch \"" + marker + "\"\n");
    t.programs.write("OpenVPN/openvpn", "#!/bin/bash\ntouch \"" + marker + "\"\n");
    const std::string longRoot = "/" + std::string(200, 'r');
    for (std::string msg :
         {"CMD_OPENCONNECT_START," + t.root + ",user,https://h/", std::string("CMD_OVPN_START"),
          std::string("CMD_OVPN_START,relative/root"), "CMD_OVPN_START," + t.root + ",x",
          "CMD_OVPN_START," + longRoot, testsupport::openConnectStart(t.root) + ",extra"}) {
        ForkedHelper helper(t.dir.path);
        int fd = connectTo(helper.socketPath());
        ASSERT_TRUE(sendText(fd, msg));
        EXPECT_EQ(recvOnce(fd), "0") << msg;
        EXPECT_TRUE(closedByPeer(fd)) << msg;
        close(fd);
        ASSERT_TRUE(helper.waitExit());
        std::filesystem::remove(t.dir.path + "/helper.log");
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(HelperPeerCheck, UnlistedUserGetsNothingAndCausesNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the user nobody";
    TempDir dir;
    std::string root = dir.path + "/root";
    std::filesystem::create_directories(root + "/OpenVPN");
    const std::string marker = dir.path + "/started";
    writeFile(root + "/OpenVPN/openvpn", "#!/bin/bash\ntouch \"" + marker + "\"\n", 0755);
    writeFile(root + "/OpenVPN/config.ovpn", "client\n");
    writeFile(dir.path + "/allow", "1000\n", 0644); // does not list nobody
    ForkedHelper helper(dir.path);
    std::string socketPath = helper.socketPath();
    std::string got = asNobody([&] {
        int fd = connectTo(socketPath);
        if (fd < 0) return std::string("no connection");
        sendText(fd, "CMD_OVPN_START," + root);
        bool eof = false;
        std::string reply = recvOnce(fd, 5s, &eof);
        return "reply=" + reply + (eof ? "|eof" : "|open");
    });
    EXPECT_EQ(got, "reply=|eof");
    ASSERT_TRUE(helper.waitExit());
    EXPECT_FALSE(std::filesystem::exists(marker));
    std::string log = helper.log();
    EXPECT_NE(log.find("server: peer uid 65534 not allowed"), std::string::npos) << log;
    EXPECT_EQ(log.find("server: read\n"), std::string::npos);
}

TEST(HelperPeerCheck, UserListedInARootOwnedAllowFileIsServed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the user nobody";
    TempDir dir;
    writeFile(dir.path + "/allow", "# installed for\nnobody\n", 0644);
    {
        ForkedHelper helper(dir.path);
        std::string path = helper.socketPath();
        EXPECT_EQ(asNobody([&] { return getVerExchange(path); }), "1,240|eof");
    }
    // The same list in a file others could write is not trusted.
    chmod((dir.path + "/allow").c_str(), 0666);
    {
        ForkedHelper helper(dir.path);
        std::string path = helper.socketPath();
        EXPECT_EQ(asNobody([&] { return getVerExchange(path); }), ",|eof");
    }
}

// After a reboot emptied /run, a resolver link into set-dns.sh's vanished file is mended; any
// other link, file or a link whose file is there is left as it is.
TEST(TunnelRecord, AResolverLinkIntoAnEmptiedRunIsMendedAndNothingElse) {
    TempDir d;
    namespace fs = std::filesystem;
    const fs::path state = fs::path(d.path) / "run/tavrovpn", live = fs::path(d.path) / "run/tavrovpn-resolv.conf";
    const fs::path resolv = fs::path(d.path) / "resolv.conf";
    fs::create_directories(state);
    setenv("TAVROVPN_DNS_STATE_DIR", state.c_str(), 1);
    setenv("TAVROVPN_RESOLV_CONF", resolv.c_str(), 1);
    struct Row {
        const char* name;
        std::function<void()> make;
        bool mended;
    } rows[] = {
        {"link into the vanished file", [&] { fs::create_symlink(live, resolv); }, true},
        {"link whose file is there",
         [&] {
             fs::create_symlink(live, resolv);
             std::ofstream(live) << "nameserver 10.8.0.1\n";
         },
         false},
        {"resolved's stub link", [&] { fs::create_symlink("/run/systemd/resolve/stub-resolv.conf", resolv); }, false},
        {"a plain file", [&] { std::ofstream(resolv) << "nameserver 192.168.1.1\n"; }, false},
    };
    for (const Row& r : rows) {
        fs::remove(resolv);
        fs::remove(live);
        r.make();
        EXPECT_EQ(helper::repairDanglingResolverLink(), r.mended) << r.name;
        EXPECT_EQ(fs::is_symlink(resolv), !r.mended && std::string(r.name).find("link") != std::string::npos) << r.name;
        if (r.mended) {
            EXPECT_TRUE(fs::is_regular_file(resolv)) << r.name;
            EXPECT_EQ(fs::file_size(resolv), 0u) << r.name;
        }
    }
    unsetenv("TAVROVPN_DNS_STATE_DIR");
    unsetenv("TAVROVPN_RESOLV_CONF");
}
