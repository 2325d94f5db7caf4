#pragma once
#include <QString>

class QWidget;

// Installs the privileged helper when its job file is missing or the helper would not serve this
// user. False only when the user did not grant the right (pkexec refused or dismissed), or could not
// be asked: *noAgent then tells that no authentication agent runs in this session to show the
// password dialog.
bool InstallHelper(const QString& bundleid, bool* noAgent = nullptr);
// The helper's job file, the installed socket unit <label>.socket under /etc/systemd/system (the
// installer script's) or /usr/lib/systemd/system (the package's); $TAVROVPN_HELPER_JOB_FILE
// overrides.
QString helperJobFilePath(const QString& label);

bool isDarkMode(const QWidget* view);
