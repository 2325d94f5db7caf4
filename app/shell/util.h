#pragma once
#include <QString>

class QWidget;

// Installs the privileged helper when its job file is missing. False only when the user did not
// grant the right (pkexec refused or dismissed).
bool InstallHelper(const QString& bundleid);
// The helper's job file, the installed socket unit /etc/systemd/system/<label>.socket
// ($TAVROVPN_HELPER_JOB_FILE overrides).
QString helperJobFilePath(const QString& label);

bool isDarkMode(const QWidget* view);
