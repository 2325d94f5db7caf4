#pragma once
#include "EventLoopWait.h"
#include "FakeConnectionHost.h"
#include "FakeHelper.h"
#include "FakeManagement.h"
#include "XdgScratchHome.h"
#include "app/catalogue/PexXmlParser.h"
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"
#include "app/connection/ConnectionWindow.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

inline const QString kFailureText =
    "VPN接続に失敗しました。プロトコルを変更して再接続してください。\n"
    "突然接続できなくなった場合は、設定から「設定を初期化」ボタンをクリックしてください。";

// A fresh home, preferences and connection host per test; a fake helper on TVAPPHELPER_SOCKET.
class ConnectionFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tavro-conn-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        testsupport::pointXdgAt(home); // one config folder per process, emptied per test
        setenv("TVAPPHELPER_SOCKET", (home + "/helper.ipc").c_str(), 1);
        // Nothing in these tests may reach a real service: a closed port refuses at once.
        setenv("TAVROVPN_WEB_HOST", "127.0.0.1:1", 1);
        writeResolvConf("nameserver 192.0.2.1\nnameserver 192.0.2.2\n");
        std::filesystem::create_directories(root() + "/OpenVPN");
        std::error_code ec;
        std::filesystem::remove(platform::Defaults::standard().filePath(), ec);
        platform::Defaults::standard().reload();
        platform::Defaults::standard().setString("ProtcolChoice", "OpenVPN");
        platform::Defaults::standard().setInteger("ProtcolSelAuto", 0);
        platform::Defaults::standard().setString("regionNumber", "0");
        PexXmlParser::clearCatalogue();
        PexXmlParser::traceOutput = false;
        Constants::autoConnectCount = -1;
        extIsManualStop = false;
        channels::setCommandPause(std::chrono::milliseconds(20));
        channels::setReadinessWait(std::chrono::microseconds(100000));
        AlertPresenter::setCurrent(&alerts);
        helper = std::make_unique<FakeHelper>(home + "/helper.ipc");
        ASSERT_TRUE(helper->ok());
        host = std::make_unique<FakeConnectionHost>();
        host->authUsername = "tb000001";
        host->authPassword = "secret1";
        window = std::make_unique<ConnectionWindow>(host.get());
        cw = window.get();
    }

    void TearDown() override {
        if (cw) waitFor([&] { return cw->runningStarts() == 0; }, 20000);
        settle(50);
        window.reset();
        host.reset();
        helper.reset();
        AlertPresenter::setCurrent(nullptr);
        channels::setCommandPause(std::chrono::milliseconds(1000));
        channels::setReadinessWait(std::chrono::microseconds(1000));
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }

    void writeResolvConf(const std::string& text) {
        const std::string path = home + "/resolv.conf";
        std::ofstream(path, std::ios::trunc) << text;
        setenv("TAVROVPN_RESOLV_CONF", path.c_str(), 1);
    }

    // A server list with one OpenVPN server in region 0.
    void loadCatalogue(const std::string& server = "127.0.10.1") {
        const std::string path = home + "/serverlist.xml";
        std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ServerList><Regions>"
                               "<Region Region=\"日本\" No=\"0\"/></Regions><Servers>"
                               "<Server Server=\""
                            << server
                            << "\" Region=\"0\" Port=\"1194\" Status=\"1\" Type=\"OpenVPN\"/>"
                               "</Servers><OCServers/></ServerList>\n";
        ASSERT_TRUE(extParser.parseFile(path));
    }

    static void settle(int ms) { testsupport::settle(ms); }
    template <class Pred> static bool waitFor(Pred pred, int ms) {
        return testsupport::processUntil(pred, ms);
    }

    QString status() const { return host->statusText->text(); }
    std::string root() const { return home + "/data/norvell/tavrovpn"; }

    // An attempt that reached the poll: management on a scripted socketpair, the tunnel channel
    // open on the fake helper.
    void enterWaitingState(FakeManagement& mgmt) {
        host->_current_protcol = "OpenVPN";
        host->_isAction = true;
        host->updateStatus("接続中...");
        cw->_ovpn_socket_fd = mgmt.servePair();
        chkStat = false; // as ConnectOVPNControle leaves it for a new connection
        const std::string command = "CMD_OVPN_START," + root();
        cw->_helper_daemon_socket = requestDaemonBySocket(command.c_str(), command.size() + 1);
        cw->defaultDNSaddrs = {"192.0.2.1", "192.0.2.2"};
    }

    // Messages of the n-th helper connection, once it has at least count of them (or after ms).
    std::vector<std::string> helperMessages(size_t count, int ms = 3000, size_t n = 0) {
        waitFor(
            [&] {
                auto c = helper->connections();
                return c.size() > n && c[n].messages.size() >= count;
            },
            ms);
        auto c = helper->connections();
        return c.size() > n ? c[n].messages : std::vector<std::string>{};
    }

    std::string home;
    ScriptedAlertPresenter alerts;
    std::unique_ptr<FakeHelper> helper;
    std::unique_ptr<FakeConnectionHost> host;
    std::unique_ptr<ConnectionWindow> window;
    ConnectionWindow* cw = nullptr;
};
