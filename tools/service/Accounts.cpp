#include "tools/service/Accounts.h"

#include <fstream>
#include <iterator>

bool Accounts::loadFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::string text;
    text.resize(maxFileBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > maxFileBytes) {
        if (error) *error = path + " is too large";
        return false;
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        addRule(line);
    }
    return true;
}

bool Accounts::addRule(std::string_view rule) {
    const auto colon = rule.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    add(std::string(rule.substr(0, colon)), std::string(rule.substr(colon + 1)));
    return true;
}

bool Accounts::accepts(std::string_view user, std::string_view password) const {
    const auto it = accounts_.find(user);
    return it != accounts_.end() && it->second == password;
}
