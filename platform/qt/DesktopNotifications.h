#pragma once
#include <QString>

// Notices through the desktop's notification server (org.freedesktop.Notifications on the session
// bus: GNOME Shell, Plasma, xfce4-notifyd, dunst and mako all hold it), with or without a tray.
namespace desktopnotify {

// True when a notification server holds its name on the session bus.
bool serverPresent();
// A server that announces "body-markup" reads the body as markup. One that does not answer in
// time is taken to read it too, so that markup from outside is never passed on.
bool serverReadsMarkup();
// Sends one notice under the application's name, icon and desktop entry, without waiting for the
// server's answer; false when it could not be sent (no session bus).
bool notify(const QString& summary, const QString& body);

} // namespace desktopnotify
