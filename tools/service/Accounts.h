#pragma once
#include <map>
#include <string>
#include <string_view>

// Service accounts the login endpoint accepts. The file holds one "user:password" per line (the password
// runs to the end of the line and may contain ":"); blank lines and lines starting with "#" are skipped.
class Accounts {
public:
    static constexpr std::size_t maxFileBytes = 1024 * 1024;

    bool loadFile(const std::string& path, std::string* error = nullptr);
    // "user:password"; false when there is no ":" or the user is empty.
    bool addRule(std::string_view rule);
    void add(std::string user, std::string password) { accounts_[std::move(user)] = std::move(password); }

    bool accepts(std::string_view user, std::string_view password) const;
    std::size_t size() const { return accounts_.size(); }

private:
    std::map<std::string, std::string, std::less<>> accounts_;
};
