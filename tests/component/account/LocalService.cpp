#include "LocalService.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string valueOf(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

int decode64(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::string base64Decode(const std::string& in) {
    std::string out;
    int bits = 0, acc = 0;
    for (char c : in) {
        const int v = decode64(c);
        if (v < 0) continue;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return out;
}

} // namespace

LocalService::~LocalService() {
    stop();
}

bool LocalService::start(const std::vector<std::string>& extraArgs) {
    const char* bin = std::getenv("TAVROVPN_BINARY_DIR");
    if (!bin) {
        error_ = "TAVROVPN_BINARY_DIR is not set";
        return false;
    }
    char tmpl[] = "/tmp/tavro-account-service.XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = "mkdtemp failed";
        return false;
    }
    stateDir_ = tmpl;
    recordFile_ = stateDir_ + "/requests.jsonl";
    task_.launchPath = std::string(bin) + "/tools/service/tavro-service";
    task_.arguments = {"--state-dir", stateDir_, "--listen", "127.0.0.1:0", "--record", recordFile_};
    task_.arguments.insert(task_.arguments.end(), extraArgs.begin(), extraArgs.end());
    task_.standardOutput = platform::Task::Stdio::Null;
    if (!task_.launch()) {
        error_ = "cannot start " + task_.launchPath;
        return false;
    }
    started_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string ready = readFile(stateDir_ + "/ready");
        if (!valueOf(ready, "pid").empty()) {
            host_ = valueOf(ready, "host");
            caFile_ = valueOf(ready, "ca");
            faultsFile_ = valueOf(ready, "faults");
            return true;
        }
        if (!task_.isRunning()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "the service did not become ready";
    stop();
    return false;
}

void LocalService::stop() {
    if (started_) {
        task_.terminate();
        if (!task_.waitUntilExit(std::chrono::seconds(10))) {
            task_.kill();
            task_.waitUntilExit(std::chrono::seconds(5));
        }
        started_ = false;
    }
    if (!stateDir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(stateDir_, ec);
        stateDir_.clear();
    }
}

bool LocalService::setFaults(const std::string& text) const {
    const std::string tmp = faultsFile_ + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) return false;
    }
    return std::rename(tmp.c_str(), faultsFile_.c_str()) == 0;
}

std::vector<nlohmann::json> LocalService::recorded() const {
    std::vector<nlohmann::json> out;
    std::istringstream in(readFile(recordFile_));
    std::string line;
    while (std::getline(in, line)) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded()) out.push_back(std::move(j));
    }
    return out;
}

std::vector<nlohmann::json> LocalService::recordedLogins() const {
    std::vector<nlohmann::json> out;
    for (auto& e : recorded())
        if (e.value("path", "") == "/tavro_cm/auth") out.push_back(std::move(e));
    return out;
}

std::vector<std::string> LocalService::headers(const nlohmann::json& entry, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& h : entry.value("headers", nlohmann::json::array()))
        if (h.is_array() && h.size() == 2 && h[0].is_string() && h[1].is_string() &&
            ::strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0)
            out.push_back(h[1].get<std::string>());
    return out;
}

std::string LocalService::header(const nlohmann::json& entry, const std::string& name) {
    const auto values = headers(entry, name);
    return values.empty() ? std::string() : values.front();
}

std::string LocalService::clientContentType(const nlohmann::json& entry) {
    for (const auto& v : headers(entry, "Content-Type"))
        if (v != "application/octet-stream") return v;
    return {};
}

std::string LocalService::body(const nlohmann::json& entry) {
    return base64Decode(entry.value("body_base64", ""));
}
