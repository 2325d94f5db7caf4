#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// Error of a download: the domain carries the message ("Error downloading file" / 1002,
// "Error saving file" / 1001).
struct DownloadError {
    std::string domain;
    int code = 0;
};

// Synchronous whole-file download into the user's caches folder, over libcurl with certificate
// verification (system store plus the deployment CA bundle). Safe to call from worker threads.
class FileDownloader {
public:
    using Completion =
        std::function<void(const std::string& path, const std::optional<DownloadError>& error)>;

    static constexpr int kDownloadErrorCode = 1002;
    static constexpr int kSaveErrorCode = 1001;
    static inline const char* const kDownloadErrorDomain = "Error downloading file";
    static inline const char* const kSaveErrorDomain = "Error saving file";

    // Bounds of one transfer; the body cap guards memory against a hostile or broken server.
    struct Limits {
        std::chrono::milliseconds connectTimeout{15000};
        std::chrono::milliseconds totalTimeout{60000};
        size_t maxBytes = 16u << 20;
    };
    static void setLimits(const Limits& limits);
    static Limits limits();

    // Downloads url to caches folder + its last path component, keeping an earlier copy as
    // "<file>.tmp". Blocks until done; calls completion exactly once before returning.
    static void loadFileSync(const std::string& url, const Completion& completion);

    // Last path component of a URL (query and fragment removed, percent-decoded); empty when it
    // is not usable as a file name ("", ".", "..", or holding "/" or NUL).
    static std::string destinationName(const std::string& url);
};
