#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Appends every request the service saw to a file, one JSON object per line, so that a test can check
// exactly what a client sent. Each line is written with a single write(2) on an O_APPEND descriptor,
// before the response leaves, so a client that has its answer finds its request already recorded.
//   {"seq":1,"time":"2024-01-01T00:00:00Z","remote":"127.0.0.1","method":"POST","target":"/p?q",
//    "path":"/p","headers":[["Content-Type","..."],...],"body":"...","body_base64":"...","status":200,
//    "note":"..."}
// "body" is the body as text (bytes that are not UTF-8 replaced by U+FFFD); "body_base64" is exact.
class RequestRecorder {
public:
    struct Entry {
        std::string remote;
        std::string method;
        std::string target;
        std::string path;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        int status{0};
        std::string note;
    };

    RequestRecorder() = default;
    ~RequestRecorder();
    RequestRecorder(const RequestRecorder&) = delete;
    RequestRecorder& operator=(const RequestRecorder&) = delete;

    bool open(const std::string& path, std::string* error = nullptr);
    bool isOpen() const { return fd_ >= 0; }
    void record(const Entry& entry);

    static std::string base64(std::string_view data);

private:
    int fd_{-1};
    std::mutex mutex_;
    std::uint64_t seq_{0};
};
