#include "app/connection/PublicAddress.h"

#include "app/connection/Constants.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/FileDownloader.h"
#include "platform/qt/Dispatch.h"

#include <QLabel>
#include <fstream>

namespace {

// The answer is one short line; a larger body is cut, not read whole.
constexpr size_t kMaxBodyBytes = 4096;
constexpr size_t kMaxShownBytes = 64;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::optional<std::string> publicAddressFromBody(std::string_view body) {
    const size_t first = body.find(':');
    if (first == std::string_view::npos) return std::nullopt;
    std::string_view field = body.substr(first + 1);
    field = field.substr(0, field.find(':'));
    while (!field.empty() && isSpace(field.front()))
        field.remove_prefix(1);
    while (!field.empty() && isSpace(field.back()))
        field.remove_suffix(1);
    if (field.size() > kMaxShownBytes) field = field.substr(0, kMaxShownBytes);
    return std::string(field);
}

void GetAndSetIPAddr() {
    dispatch::globalAsync([] {
        std::string body;
        FileDownloader::loadFileSync(Constants::remoteAddrURL(),
                                     [&](const std::string& path, const std::optional<DownloadError>& error) {
                                         if (error) return;
                                         std::ifstream in(path, std::ios::binary);
                                         body.resize(kMaxBodyBytes);
                                         in.read(body.data(), static_cast<std::streamsize>(body.size()));
                                         body.resize(static_cast<size_t>(in.gcount()));
                                     });
        const std::optional<std::string> address = publicAddressFromBody(body);
        if (!address) return;
        dispatch::mainAsync(
            [text = QString::fromUtf8(address->data(), static_cast<qsizetype>(address->size()))] {
                AppDelegate* app = theApplication();
                if (!app || !app->ipaddrText || app->_vpnStatus != TAVROVPNStatus::connected) return;
                // Text from the network: never let the label read it as markup.
                app->ipaddrText->setTextFormat(Qt::PlainText);
                app->ipaddrText->setText(text);
            });
    });
}
