#include "tools/service/FaultControl.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string readBounded(const std::string& path, std::size_t limit) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return text;
    char buf[4096];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.size() > limit) text.resize(limit);
    return text;
}

} // namespace

FaultControl::FaultControl(std::string path)
    : path_(std::move(path)), current_(std::make_shared<const FaultSet>()) {}

bool FaultControl::write(const FaultSet& set) const {
    const std::string tmp = path_ + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "we");
    if (!f) return false;
    const std::string text = set.toText();
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) return false;
    return std::rename(tmp.c_str(), path_.c_str()) == 0;
}

std::shared_ptr<const FaultSet> FaultControl::reload() {
    std::string text = readBounded(path_, maxFileBytes);
    std::lock_guard lock(mutex_);
    if (text != lastText_) {
        std::vector<std::string> errors;
        current_ = std::make_shared<const FaultSet>(FaultSet::parseText(text, &errors));
        for (const auto& e : errors)
            std::fprintf(stderr, "tavro-service: %s: %s\n", path_.c_str(), e.c_str());
        lastText_ = std::move(text);
    }
    return current_;
}
