#pragma once
#include <cstddef>
#include <string>

// Whole-file reads and writes shared by the stores, the downloader and the helper.
namespace platform {

// Reads fd to its end, at most limit bytes; false when it is longer or unreadable.
bool readAll(int fd, size_t limit, std::string& text);
// Writes all of text to fd; false on any failed write.
bool writeAll(int fd, const std::string& text);
// The folder that holds path ("." for a bare name).
std::string parentDir(const std::string& path);
// Creates dir (and its parents) when missing, the last one 0700. True when it is a real directory
// of this user's that nobody else can write into; otherwise false, with the reason in error.
bool privateDir(const std::string& dir, std::string& error);
// Replaces path with data in one step: a 0600 temporary beside it, flushed and renamed over it,
// then the folder flushed so the rename survives a crash. On failure nothing is left behind and
// errno says why.
bool replaceFile(const std::string& path, const std::string& data);

} // namespace platform
