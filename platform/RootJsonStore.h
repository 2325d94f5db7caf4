#pragma once
#include <string>

#include <nlohmann/json.hpp>

// A JSON document kept by root in a file only root may read (mode 0600 in a 0700 folder): read
// under an exclusive lock on <file>.lock that is held until the object goes away, written back
// atomically (temp file, fsync, rename). A file that does not parse is moved aside to
// <file>.corrupt and the document starts empty. Links and files owned by others are refused.
namespace platform {

class RootJsonStore {
public:
    explicit RootJsonStore(std::string path);
    ~RootJsonStore();
    RootJsonStore(const RootJsonStore&) = delete;
    RootJsonStore& operator=(const RootJsonStore&) = delete;

    // Takes the lock and loads the file (a missing file is an empty object). False when the store
    // cannot be used safely; the reason is in error().
    bool open();
    nlohmann::json& doc() { return doc_; }
    const nlohmann::json& doc() const { return doc_; }
    bool commit();
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    std::string path_, error_;
    int lockFd_ = -1;
    nlohmann::json doc_ = nlohmann::json::object();
};

// $TVAPPHELPER_STATE_DIR (tests and the demo) or /var/lib/tavrovpn.
std::string helperStateDir();

} // namespace platform
