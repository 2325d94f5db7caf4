#pragma once
#include <QString>
#include <functional>

// Opening URLs with the desktop's default handler (xdg-open). Tests install a hook to capture them.
namespace workspace {

bool openURL(const QString& url);
void setOpenURLHook(std::function<bool(const QString&)> hook); // empty function restores default

} // namespace workspace
