#pragma once
#include <optional>
#include <string>

// The user's login items are the XDG autostart entries ($XDG_CONFIG_HOME/autostart/*.desktop),
// taken in file-name order. A reference is the path of one entry file. Plain C++: no Qt.

struct LoginItemReference {
    std::string path;
    bool operator==(const LoginItemReference&) const = default;
};

struct LoginItemReferences {
    std::optional<LoginItemReference> existingReference; // the entry that starts this application
    std::optional<LoginItemReference> lastReference;     // the last entry of the list
};

// Adds the application (the running executable) as the entry "tavrovpn.desktop".
void enableLoginItem();
// (entry of the application, last entry); (none, none) for an empty or unreadable list.
LoginItemReferences itemReferencesInLoginItems();
// Deletes the entry; only files inside the autostart folder are ever removed.
bool removeLoginItem(const LoginItemReference& item);

// The same operations on an explicit folder and executable (the ones above use
// autostartDirectory() and platform::executablePath()).
std::string autostartDirectory();
bool enableLoginItemIn(const std::string& autostartDir, const std::string& executable);
LoginItemReferences itemReferencesInLoginItemsIn(const std::string& autostartDir,
                                                 const std::string& executable);
bool removeLoginItemIn(const std::string& autostartDir, const LoginItemReference& item);

// Desktop-entry Exec handling: the value written for a program path (quoted and escaped so that any
// path survives), and the program (first argument) of an Exec value; nullopt when it is malformed.
std::string desktopExecValueForProgram(const std::string& program);
std::optional<std::string> programOfDesktopExec(const std::string& execValue);
