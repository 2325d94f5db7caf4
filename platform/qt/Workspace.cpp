#include "platform/qt/Workspace.h"

#include <QDesktopServices>
#include <QUrl>

namespace workspace {
namespace {
std::function<bool(const QString&)>& hook() {
    static std::function<bool(const QString&)> h;
    return h;
}
} // namespace

bool openURL(const QString& url) {
    QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() || u.scheme().isEmpty()) return false;
    if (hook()) return hook()(url);
    return QDesktopServices::openUrl(u);
}

void setOpenURLHook(std::function<bool(const QString&)> h) { hook() = std::move(h); }

} // namespace workspace
