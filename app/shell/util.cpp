#include "app/shell/util.h"

#include "platform/AllowFile.h"
#include "platform/Paths.h"
#include "platform/Task.h"

#include <QApplication>
#include <QFileInfo>
#include <QPalette>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

QString helperJobFilePath(const QString& label) {
    QString overridePath = qEnvironmentVariable("TAVROVPN_HELPER_JOB_FILE");
    if (!overridePath.isEmpty()) return overridePath;
    // The installed socket unit: its presence is what starts the helper for each connection. The
    // package puts it with the system's units, the installer script with the administrator's.
    const QString unit = label + ".socket";
    for (const char* dir : {"/etc/systemd/system/", "/usr/lib/systemd/system/", "/lib/systemd/system/"}) {
        // A unit masked to /dev/null (what removing the package leaves until purge) is no job.
        if (QFileInfo(dir + unit).isFile()) return dir + unit;
    }
    return "/etc/systemd/system/" + unit;
}

namespace {

// pkexec's words when no polkit agent runs in the session (a console, ssh, a bare X session).
constexpr const char* kNoAgent = "No authentication agent found";
// The dialog waits for the user; this only keeps the wait finite.
constexpr auto kAuthorisationWait = std::chrono::minutes(30);

// The helper serves root and the users its allow file names; anyone else has to be approved
// first, even with the helper installed (a package installed without a desktop user to record).
bool helperServesThisUser() {
    const uid_t uid = getuid();
    return uid == 0 || platform::loadAllowedUids(platform::allowFilePath()).count(uid) != 0;
}

} // namespace

bool InstallHelper(const QString& bundleid, bool* noAgent) {
    if (noAgent) *noAgent = false;
    const QString job = helperJobFilePath(bundleid);
    if (QFileInfo(job).isFile() && helperServesThisUser()) {
        std::printf("FILE AVAILABLE\n");
        std::fflush(stdout);
        return true;
    }
    // No authorisation agent on this machine: run without a helper, as with no authorisation reference.
    QString pkexec = qEnvironmentVariable("TAVROVPN_PKEXEC", "/usr/bin/pkexec");
    if (access(pkexec.toLocal8Bit().constData(), X_OK) != 0) return true;

    const std::string script = platform::bundlePath() + "/Contents/Resources/install/install-helper.sh";
    platform::Task task;
    task.launchPath = pkexec.toStdString();
    task.arguments = {script, platform::bundlePath(), std::to_string(getuid())};
    task.standardError = platform::Task::Stdio::Pipe;
    std::string errors;
    int status = -1;
    if (task.launch()) {
        task.readStandardErrorToEnd(errors, kAuthorisationWait, 64 * 1024); // waits for the exit
        status = task.terminationStatus();
        std::fwrite(errors.data(), 1, errors.size(), stderr);
    }
    // pkexec: 126 = the user dismissed the dialog or was not authorised, 127 = not authorised, or
    // no agent could ask.
    if (status == 126 || status == 127 || status < 0) {
        if (noAgent && status == 127 && errors.find(kNoAgent) != std::string::npos) *noAgent = true;
        std::printf("error\n");
        std::fflush(stdout);
        return false;
    }
    std::printf("%d\n", status == 0 ? 1 : 0);
    std::fflush(stdout);
    return true;
}

bool isDarkMode(const QWidget* view) {
    const QPalette pal = view ? view->palette() : QApplication::palette();
    return pal.color(QPalette::Window).lightness() < 128;
}
