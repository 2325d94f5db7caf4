#include "app/common/FileUtil.h"

#include <filesystem>

void fileOverwrite(const std::string& atPath, const std::string& toPath) {
    std::error_code ec;
    const std::filesystem::path to = toPath;
    std::filesystem::remove_all(to, ec);
    std::filesystem::copy(atPath, to, std::filesystem::copy_options::recursive, ec);
}
