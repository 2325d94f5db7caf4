#pragma once
#include <string>

// Deletes the destination (errors ignored), then copies the source over (errors ignored).
void fileOverwrite(const std::string& atPath, const std::string& toPath);
