#pragma once
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// Typed key-value preference store (stand-in for the standard user defaults): one JSON object in
// $XDG_CONFIG_HOME/norvell/tavrovpn/defaults.json, mode 0600, replaced atomically on every write.
// "No object for the key" stays distinguishable from an empty text. A corrupt file is moved aside
// to <file>.corrupt and the store starts empty. Thread-safe.
namespace platform {

class Defaults {
public:
    explicit Defaults(std::string filePath);
    static Defaults& standard(); // the per-user store; the path is read from the environment once

    const std::string& filePath() const { return path_; }

    bool hasObject(const std::string& key) const;
    // Text value; an integer value is returned as its decimal text. nullopt when absent.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // Integer value; a text holding a decimal integer is read as one. nullopt when absent/unreadable.
    std::optional<long long> integerForKey(const std::string& key) const;
    // Conveniences: "" and 0 when absent.
    std::string string(const std::string& key) const { return stringForKey(key).value_or(std::string()); }
    long long integer(const std::string& key) const { return integerForKey(key).value_or(0); }

    bool setString(const std::string& key, const std::string& value); // false when the file write failed
    bool setInteger(const std::string& key, long long value);
    bool removeObject(const std::string& key);

    void reload(); // re-read the file (tests, other processes)

private:
    void loadLocked();
    bool saveLocked();
    // Re-reads the file under an inter-process lock, applies the change and writes it back.
    bool mutateLocked(const std::function<void(nlohmann::json&)>& change);
    std::string path_;
    mutable std::mutex mu_;
    nlohmann::json data_ = nlohmann::json::object();
};

} // namespace platform
