#include "app/service/FileDownloader.h"

#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/ServiceTrust.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>

namespace {

std::mutex limitsMu;
FileDownloader::Limits currentLimits;

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// CURLOPT_CAINFO would replace the system store; a blob holding both keeps the public CAs trusted
// next to the deployment's private one.
std::string combinedCaBundle(CURL* curl) {
    std::string systemPath;
#if LIBCURL_VERSION_NUM >= 0x075400
    char* builtIn = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &builtIn) == CURLE_OK && builtIn && *builtIn)
        systemPath = builtIn;
#else
    (void)curl;
#endif
    return servicetrust::combinedPem(systemPath);
}

struct Body {
    std::string data;
    size_t max = 0;
    bool tooLarge = false;
};

size_t onBody(char* ptr, size_t size, size_t nmemb, void* ud) {
    auto* body = static_cast<Body*>(ud);
    const size_t n = size * nmemb;
    if (body->data.size() + n > body->max) {
        body->tooLarge = true;
        return 0; // aborts the transfer
    }
    body->data.append(ptr, n);
    return n;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

bool fetch(const std::string& url, const FileDownloader::Limits& limits, std::string& out) {
    ensureCurl();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) return false;
    Body body;
    body.max = limits.maxBytes;
    char err[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, err);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // A download that starts on https stays on https: a redirect to http would let anyone on the
    // path answer with a file of their own.
    const bool secure = url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "TavroVPN");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    const std::string bundle = combinedCaBundle(c);
    if (!bundle.empty()) {
        curl_blob blob{const_cast<char*>(bundle.data()), bundle.size(), CURL_BLOB_COPY};
        curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &blob);
    }
    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) {
        platform::logInfo("download: %s failed: %s", url.c_str(),
                          body.tooLarge ? "body too large" : (err[0] ? err : curl_easy_strerror(rc)));
        return false;
    }
    // An error page is not the file: the caller must keep (restore) its previous copy.
    if (status >= 400) {
        platform::logInfo("download: %s answered HTTP %ld", url.c_str(), status);
        return false;
    }
    out = std::move(body.data);
    return true;
}

} // namespace

void FileDownloader::setLimits(const Limits& limits) {
    std::lock_guard lock(limitsMu);
    currentLimits = limits;
}

FileDownloader::Limits FileDownloader::limits() {
    std::lock_guard lock(limitsMu);
    return currentLimits;
}

std::string FileDownloader::destinationName(const std::string& url) {
    size_t start = 0;
    if (size_t scheme = url.find("://"); scheme != std::string::npos) {
        start = url.find_first_of("/?#", scheme + 3);
        if (start == std::string::npos || url[start] != '/') return {};
    }
    size_t end = url.find_first_of("?#", start);
    std::string path = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    const size_t slash = path.rfind('/');
    std::string name = percentDecode(slash == std::string::npos ? path : path.substr(slash + 1));
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return {};
    return name;
}

void FileDownloader::loadFileSync(const std::string& url, const Completion& completion) {
    const std::string name = destinationName(url);
    if (name.empty()) {
        // No file name to save under: refuse before touching the caches folder.
        platform::logInfo("download: %s names no file", url.c_str());
        completion(std::string(), DownloadError{kDownloadErrorDomain, kDownloadErrorCode});
        return;
    }
    const std::string dir = platform::xdgCacheHome();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string dest = dir + "/" + name;

    struct stat st {};
    if (::lstat(dest.c_str(), &st) == 0) {
        print("file already exists [" + dest + "]");
        // Only a file is rotated: a folder of the same name is left alone (the save then fails).
        if (!S_ISDIR(st.st_mode)) {
            const std::string backup = dest + ".tmp";
            ::unlink(backup.c_str());
            ::rename(dest.c_str(), backup.c_str());
        }
    }

    std::string body;
    if (!fetch(url, limits(), body)) {
        completion(dest, DownloadError{kDownloadErrorDomain, kDownloadErrorCode});
        return;
    }
    if (!platform::replaceFile(dest, body)) {
        print("error saving file");
        completion(dest, DownloadError{kSaveErrorDomain, kSaveErrorCode});
        return;
    }
    print("file saved [" + dest + "]");
    completion(dest, std::nullopt);
}
