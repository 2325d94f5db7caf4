// The application ended from outside while an OpenVPN start is blocked in its configuration
// download: the termination signal goes through the quit path (the attempt is stopped) and the
// process ends by itself, promptly, with the worker still blocked left behind.
#include "AppProcess.h"
#include "LocalService.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(ApplicationEnding, ATerminationSignalEndsThroughTheQuitPathWithoutWaitingForABlockedWorker) {
    LocalService service({"--fault", "delay=60000@/support/vpn/openvpn/file/*"});
    ASSERT_TRUE(service.start());
    service.exportEnv();
    for (int signo : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signo);
        char tmpl[] = "/tmp/tavro-app-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        const fs::path home = tmpl;
        std::ofstream(home / "job").put('\n'); // the helper counts as installed
        {
            testsupport::AppProcess app(home);
            app.seedAutoConnect("tb000001", "secret1", "OpenVPN");
            ASSERT_TRUE(app.start({{"TAVROVPN_HELPER_JOB_FILE", (home / "job").string()},
                                   {"TVAPPHELPER_SOCKET", (home / "no-helper.ipc").string()}}));
            ASSERT_TRUE(app.waitForOutput("OpenVPN start", 30s)) << app.output();
            std::this_thread::sleep_for(500ms); // the worker is in the download now
            const auto sent = std::chrono::steady_clock::now();
            ASSERT_TRUE(app.signal(signo));
            const std::optional<int> status = app.waitExit(20s);
            ASSERT_TRUE(status.has_value()) << "still running\n" << app.output();
            EXPECT_EQ(*status, 0) << app.output();
            // The stop's half-second delay, the tear-down and at most the workers' grace: far from
            // the designed three-second wait plus a ten-second stall behind the download.
            EXPECT_LT(std::chrono::steady_clock::now() - sent, 8s);
            const std::string out = app.output();
            EXPECT_NE(out.find("OpenVPN stop"), std::string::npos) << out;
            EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
            EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
        }
        std::error_code ec;
        fs::remove_all(home, ec);
    }
}

} // namespace
