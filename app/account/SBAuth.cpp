#include "app/account/SBAuth.h"

#include "app/account/UserLoginWindow.h"
#include "app/shell/AppDelegate.h"

void SBAuth::doLoginSession(bool) {
    if (auto* app = theApplication(); app && app->loginWindow) app->loginWindow->show();
    delete this;
}
