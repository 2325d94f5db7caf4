#include "helper/ShellQuote.h"

#include <cstring>

namespace helper {

std::string doubleQuotedPath(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '$' || c == '`' || c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

namespace {
bool isPlain(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("@%+=:,./_-", c) != nullptr;
}
} // namespace

std::string shellQuoteIfNeeded(const std::string& field) {
    bool plain = !field.empty();
    for (char c : field)
        plain = plain && isPlain(c);
    if (plain) return field;
    std::string out = "'";
    for (char c : field) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

} // namespace helper
