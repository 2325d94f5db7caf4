#pragma once
#include <string>

namespace helper {

// A path for a shell line, inside double quotes as every path the helper passes to the shell;
// the characters that stay special inside double quotes ($ ` " \) are escaped, so an ordinary
// path gives exactly "<path>" and a hostile one cannot break out.
std::string doubleQuotedPath(const std::string& path);

// A field for a shell line: unchanged when it holds only [A-Za-z0-9@%+=:,./_-] (and is not
// empty), otherwise in POSIX single quotes with each embedded quote written as '\''.
std::string shellQuoteIfNeeded(const std::string& field);

} // namespace helper
