#pragma once
// Starts the project's local HTTPS service (tools/service) for a test and points the client at it.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class LocalService {
public:
    // extraArgs go to tavro-service after --listen and --state-dir (e.g. "--record", path).
    explicit LocalService(std::vector<std::string> extraArgs = {}) : extra_(std::move(extraArgs)) {}
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;
    ~LocalService() { stop(); }

    static std::string binary() {
        const char* b = std::getenv("TAVROVPN_BINARY_DIR");
        return std::string(b ? b : ".") + "/tools/service/tavro-service";
    }

    // Starts the service on a free loopback port; false when it did not become ready within 20 s.
    bool start() {
        char tmpl[] = "/tmp/tavro-svc-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        stateDir = tmpl;
        std::vector<std::string> args{binary(), "--listen", "127.0.0.1:0", "--state-dir", stateDir};
        args.insert(args.end(), extra_.begin(), extra_.end());
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            const std::string log = stateDir + "/service.log";
            if (FILE* f = std::fopen(log.c_str(), "w")) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) { // bounded: 20 s
            std::ifstream ready(stateDir + "/ready");
            std::string line;
            std::map<std::string, std::string> kv;
            while (std::getline(ready, line)) {
                auto eq = line.find('=');
                if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
            }
            if (kv.count("port") && kv.count("ca")) {
                port = std::atoi(kv["port"].c_str());
                host = kv["host"];
                caFile = kv["ca"];
                faultsFile = kv["faults"];
                return true;
            }
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Points the client (web host, authentication host, CA bundle) at this service.
    void exportEnv() const {
        setenv("TAVROVPN_WEB_HOST", host.c_str(), 1);
        setenv("TAVROVPN_AUTH_HOST", host.c_str(), 1);
        setenv("TAVROVPN_FAQ_HOST", host.c_str(), 1);
        setenv("TAVROVPN_CA_FILE", caFile.c_str(), 1);
    }

    // Replaces the faults in force (one rule per line, see tavro-service --help).
    void setFaults(const std::string& rules) const {
        const std::string tmp = faultsFile + ".tmp";
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << rules << "\n";
        }
        std::rename(tmp.c_str(), faultsFile.c_str());
    }

    std::string url(const std::string& path) const { return "https://" + host + path; }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st = 0;
            for (int i = 0; i < 50 && waitpid(pid_, &st, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (waitpid(pid_, &st, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
            }
            pid_ = -1;
        }
        if (!stateDir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(stateDir, ec);
            stateDir.clear();
        }
    }

    std::string stateDir, host, caFile, faultsFile;
    int port = 0;

private:
    std::vector<std::string> extra_;
    pid_t pid_ = -1;
};
