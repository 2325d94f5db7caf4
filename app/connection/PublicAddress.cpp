#include "app/connection/PublicAddress.h"

#include "app/connection/ConnectionHost.h"
#include "app/service/PublicAddressQuery.h"
#include "platform/qt/Dispatch.h"

#include <QLabel>

void GetAndSetIPAddr() {
    dispatch::globalAsync([] {
        const std::optional<std::string> address = queryPublicAddress();
        if (!address) return;
        dispatch::mainAsync(
            [text = QString::fromUtf8(address->data(), static_cast<qsizetype>(address->size()))] {
                ConnectionHost* app = connectionHost();
                if (!app || !app->ipaddrText || app->_vpnStatus != TAVROVPNStatus::connected) return;
                // Text from the network: never let the label read it as markup.
                app->ipaddrText->setTextFormat(Qt::PlainText);
                app->ipaddrText->setText(text);
            });
    });
}
