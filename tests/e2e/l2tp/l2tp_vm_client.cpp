// The client `./run test l2tp-vm` runs inside the QEMU guest (tools/fixtures/l2tp-vm.sh), where a
// real L2TP/IPsec server answers: the application's L2TP flow, offscreen, with the real helper and
// the guest's NetworkManager. SET_KEY provisions, the profile activates, the callback reports
// connected, GetAndSetIPAddr shows the address, and the stop is reported as disconnected. The
// package's dispatcher script keeps the leak block in force exactly while the profile is up.
// Prints PASS or FAIL; exit 0 on PASS.
#include "FakeConnectionHost.h"
#include "L2tpEnvironment.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/SCNetworkConnection.h"
#include "app/connection/SystemService.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

// The connection object's status as the waits see it, each change once.
std::vector<int> g_statuses;
void sample() {
    if (extConnection && (g_statuses.empty() || g_statuses.back() != extConnection->status()))
        g_statuses.push_back(extConnection->status());
}

template <class Pred> bool waitFor(Pred pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        sample();
        if (pred()) return true;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    sample();
    return pred();
}

std::string statuses() {
    std::string out;
    for (int s : g_statuses)
        out += (out.empty() ? "" : " ") + std::to_string(s);
    return out;
}

std::string pppAddress() {
    std::string out;
    if (FILE* f = popen("ip -o -4 addr show | awk '$2 ~ /^ppp/ {print $4 \" on \" $2; exit}'", "r")) {
        char buf[256];
        if (fgets(buf, sizeof buf, f)) out = buf;
        pclose(f);
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

bool leakBlockOnPpp() {
    return std::system("nft list table inet tavrovpn 2>/dev/null | grep -q 'oifname \"ppp'") == 0;
}

bool pluginGone() {
    return std::system("gdbus call --system --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
                       "--method org.freedesktop.DBus.NameHasOwner org.freedesktop.NetworkManager.l2tp "
                       "| grep -q false") == 0;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string gateway = l2tpenv::env("L2R_GATEWAY");
    setenv("TAVROVPN_BINARY_DIR", l2tpenv::env("L2R_X_BINARY_DIR").c_str(), 1);
    setenv("TAVROVPN_SOURCE_DIR", l2tpenv::env("L2R_X_SOURCE_DIR").c_str(), 1);
    l2tpenv::Environment environment;
    const std::string error = environment.up(gateway);
    if (!error.empty()) {
        std::cout << "connection: setup failed: " << error << "\nFAIL" << std::endl;
        return 1;
    }
    // NetworkManager runs the dispatcher scripts of /etc (the guest's own overlay).
    const std::string dispatcher = "/etc/NetworkManager/dispatcher.d/90-tavrovpn-leak-block";
    std::filesystem::create_directories("/etc/NetworkManager/dispatcher.d");
    std::ofstream(dispatcher) << l2tpenv::Environment::leakDispatcherScript();
    std::filesystem::permissions(dispatcher, std::filesystem::perms(0755));
    ScriptedAlertPresenter alerts;
    AlertPresenter::setCurrent(&alerts);
    FakeConnectionHost host;
    host.authUsername = QString::fromStdString(l2tpenv::env("L2R_USER"));
    host.authPassword = QString::fromStdString(l2tpenv::env("L2R_PASSWORD"));
    ConnectionWindow window(&host);
    auto status = [&] { return host.statusText->text(); };

    // NetworkManager gives nm-l2tp 10 s for the whole IPsec phase; an emulated guest may miss it.
    const int tries = std::max(1, std::atoi(l2tpenv::env("L2R_TRIES").c_str()));
    bool connected = false;
    for (int attempt = 1; attempt <= tries && !connected; ++attempt) {
        if (attempt > 1) waitFor(pluginGone, 30000);
        host.connectButton->click();
        waitFor([&] { return status() == "接続中" || status() == "未接続"; }, 90000);
        connected = status() == "接続中";
        std::cout << "attempt " << attempt << ": " << status().toStdString() << std::endl;
    }
    const bool addressShown = waitFor([&] { return !host.ipaddrText->text().isEmpty(); }, 20000);
    std::cout << "connection: service " << extThisServiceID << ", status " << status().toStdString()
              << ", public address shown: " << host.ipaddrText->text().toStdString() << std::endl;
    std::cout << "ppp address: " << pppAddress() << std::endl;
    const bool successStored = platform::Defaults::standard().string("SuccessProtcol") == "L2TP";
    const bool blockedWhileUp = connected && waitFor(leakBlockOnPpp, 10000);
    bool stopped = false;
    if (connected) {
        host.connectButton->click();
        stopped = waitFor([&] { return status() == "未接続"; }, 60000);
    }
    const bool blockGone = waitFor([] { return !leakBlockOnPpp(); }, 15000);
    std::cout << "tunnel leak block: while up " << (blockedWhileUp ? "present" : "absent") << ", after the stop "
              << (blockGone ? "absent" : "present") << std::endl;
    waitFor([&] { return !g_statuses.empty() && g_statuses.back() == 0; }, 5000);
    std::cout << "connection: statuses seen " << statuses() << " (stop " << (stopped ? "reported" : "missing")
              << ")" << std::endl;
    const bool pass = connected && addressShown && successStored && stopped && blockedWhileUp && blockGone &&
                      alerts.shown.isEmpty() &&
                      !g_statuses.empty() && g_statuses.back() == kSCNetworkConnectionDisconnected;
    std::cout << (pass ? "PASS" : "FAIL") << std::endl;
    AlertPresenter::setCurrent(nullptr);
    return pass ? 0 : 1;
}
