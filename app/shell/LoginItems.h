#pragma once
#include <optional>
#include <string>
#include <vector>

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

// The program an entry starts: the package's /usr/bin/tavrovpn when it leads to the bundle's
// program, else the bundle's program. Never the running executable: once the package has replaced
// it, /proc/self/exe reads "… (deleted)", and an entry naming that never starts.
std::string loginItemProgram();
std::string loginItemProgramFor(const std::string& bundle, const std::string& packageProgram);

// Adds the application (loginItemProgram()) as the entry "tavrovpn.desktop".
void enableLoginItem();
// (first entry of ours, last entry); (none, none) for an empty or unreadable list. Ours: the entry
// "tavrovpn.desktop", and any entry that starts the installed program, the bundle's or the running
// one, also under a name marked " (deleted)". Entries marked hidden start nothing and are skipped.
LoginItemReferences itemReferencesInLoginItems();
// Deletes the entry; only files inside the autostart folder are ever removed.
bool removeLoginItem(const LoginItemReference& item);

// The same operations on an explicit folder and programs (the ones above use autostartDirectory()
// and the programs named there).
std::string autostartDirectory();
bool enableLoginItemIn(const std::string& autostartDir, const std::string& program);
LoginItemReferences itemReferencesInLoginItemsIn(const std::string& autostartDir,
                                                 const std::vector<std::string>& programs);
bool removeLoginItemIn(const std::string& autostartDir, const LoginItemReference& item);

// Desktop-entry Exec handling: the value written for a program path (quoted and escaped so that any
// path survives), and the program (first argument) of an Exec value; nullopt when it is malformed.
std::string desktopExecValueForProgram(const std::string& program);
std::optional<std::string> programOfDesktopExec(const std::string& execValue);
