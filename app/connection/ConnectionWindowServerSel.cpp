// The region selection list of the main window.
#include "app/connection/ConnectionWindow.h"

void ConnectionWindow::onServerSelButton() {}
void ConnectionWindow::onServerSelCloseButton() {}
