#pragma once
// Runs this program again inside a private mount namespace whose /etc is an overlay on a tmpfs:
// the DNS switch (and anything else that writes to /etc) stays in that copy and disappears with
// the namespace. The helper and openvpn are started from inside, so they see the same copy. Other
// top-level folders can be overlaid the same way (the package test installs into /usr, /var, ...);
// inside, $SCRATCH/<folder>/u holds what was written to each.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace privateetc {

inline constexpr const char* kMarker = "TAVROVPN_PRIVATE_ETC";

inline bool inside() {
    const char* v = std::getenv(kMarker);
    return v && std::string(v) == "1";
}

// Runs /proc/self/exe with args in the private namespace, with each top-level folder named in
// overlaid ("etc", "usr", ...) overlaid, and returns its exit status (-1 when it could not be run).
inline int runSelf(const std::vector<std::string>& args, const std::vector<std::string>& overlaid = {"etc"}) {
    char tmpl[] = "/tmp/tv-private-etc-XXXXXX";
    if (!mkdtemp(tmpl)) return -1;
    const std::string scratch = tmpl;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return -1;
    exe[n] = '\0';
    std::string folders;
    for (const std::string& d : overlaid)
        folders += (folders.empty() ? "" : " ") + d;
    const std::string script =
        "mount -t tmpfs tmpfs \"$SCRATCH\" || exit 1; for d in $OVERLAID; do "
        "mkdir -p \"$SCRATCH/$d/u\" \"$SCRATCH/$d/w\" && "
        "mount -t overlay overlay -o \"lowerdir=/$d,upperdir=$SCRATCH/$d/u,workdir=$SCRATCH/$d/w\" \"/$d\" "
        "|| exit 1; done; exec \"$0\" \"$@\"";
    std::vector<std::string> argv{"unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, exe};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setenv(kMarker, "1", 1);
        setenv("SCRATCH", scratch.c_str(), 1);
        setenv("OVERLAID", folders.c_str(), 1);
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execvp("unshare", cargv.data());
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    rmdir(scratch.c_str()); // the tmpfs was mounted only inside the namespace
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// True when /etc of this process is an overlay (the private copy), never the machine's own.
inline bool etcIsOverlay() {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string id, parent, dev, rootField, mountPoint;
        f >> id >> parent >> dev >> rootField >> mountPoint;
        if (mountPoint == "/etc" && line.find(" - overlay ") != std::string::npos) return true;
    }
    return false;
}

} // namespace privateetc
