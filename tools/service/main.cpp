// tavro-service: the local HTTPS stand-in for the service's web and authentication hosts, used by the
// tests and the demo. Run with --help for the options.
#include "tools/service/Accounts.h"
#include "tools/service/FaultControl.h"
#include "tools/service/RequestRecorder.h"
#include "tools/service/ServiceEndpoints.h"
#include "tools/service/ServiceOptions.h"
#include "tools/service/ServiceRunner.h"
#include "tools/service/TestCertificates.h"

#include <httplib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

#ifndef TAVRO_SERVICE_DATA_DIR
#define TAVRO_SERVICE_DATA_DIR ""
#endif

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int) {
    stopRequested = true;
}

int die(const std::string& message) {
    std::fprintf(stderr, "tavro-service: %s\n", message.c_str());
    return 1;
}

bool writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "we");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const pid_t parent = ::getppid();
    std::string error;
    const auto parsed = ServiceOptions::parse(argc, argv, TAVRO_SERVICE_DATA_DIR, &error);
    if (!parsed) {
        if (!error.empty()) std::fprintf(stderr, "tavro-service: %s\n", error.c_str());
        std::fputs(ServiceOptions::usage().c_str(), error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }
    ServiceOptions options = *parsed;

    std::error_code ec;
    std::filesystem::create_directories(options.stateDir, ec);
    options.stateDir = std::filesystem::absolute(options.stateDir, ec).string();
    const std::string readyFile = options.stateDir + "/ready";
    std::filesystem::remove(readyFile, ec);

    Accounts accounts;
    const std::string accountsFile =
        options.accountsFile.empty() ? options.dataDir + "/accounts.txt" : options.accountsFile;
    if (!accounts.loadFile(accountsFile, &error) && !options.accountsFile.empty()) return die(error);
    for (const auto& rule : options.accounts)
        accounts.addRule(rule);
    if (accounts.size() == 0) accounts.add("tb000001", "secret1");

    TestCertificates certs;
    if (!TestCertificates::create(options.stateDir, options.listenHost, certs, &error)) return die(error);

    FaultControl faultControl(options.stateDir + "/faults");
    FaultSet initialFaults;
    for (const auto& f : options.faults)
        initialFaults.add(f);
    if (!faultControl.write(initialFaults)) return die("cannot write " + faultControl.path());

    RequestRecorder recorder;
    if (!options.recordFile.empty() && !recorder.open(options.recordFile, &error)) return die(error);

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // A test that crashes never stops its service; ending with the parent keeps such runs from leaving
    // listeners behind. The parent may already be gone by the time the request is made.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) stopRequested = true;

    httplib::SSLServer server(certs.certFile.c_str(), certs.keyFile.c_str());
    if (!server.is_valid()) return die("cannot load the server certificate");
    ServiceEndpoints endpoints(options, faultControl, accounts, recorder, stopRequested);
    endpoints.install(server);

    ServiceRunner runner(server, options.listenHost, faultControl);
    if (!runner.bind(options.listenPort, &error)) return die(error);
    const std::string authority = options.authority(runner.port());
    endpoints.setBaseUrl("https://" + authority);

    bool readyWritten = false;
    const bool ok = runner.run(stopRequested, [&] {
        const std::string text = "port=" + std::to_string(runner.port()) + "\nhost=" + authority +
                                 "\nurl=https://" + authority + "\nca=" + certs.caFile +
                                 "\nfaults=" + faultControl.path() + "\npid=" + std::to_string(::getpid()) +
                                 "\n";
        readyWritten = writeFileAtomically(readyFile, text);
        if (!readyWritten) std::fprintf(stderr, "tavro-service: cannot write %s\n", readyFile.c_str());
        std::printf("ready https://%s\n", authority.c_str());
        std::fflush(stdout);
    });
    std::filesystem::remove(readyFile, ec);
    return ok ? 0 : 1;
}
