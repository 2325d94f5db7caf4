#pragma once
#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// A child process (stand-in for NSTask): posix_spawn with a working directory, an argv array and
// inherited, piped or null stdio. The Task never kills its child on destruction; it reaps it
// when it has already exited (a child still running is left to outlive the Task).
namespace platform {

class Task {
public:
    enum class Stdio { Inherit, Pipe, Null };

    std::string launchPath;
    std::vector<std::string> arguments;
    std::string currentDirectory; // empty: inherit
    Stdio standardInput = Stdio::Inherit;
    Stdio standardOutput = Stdio::Inherit;
    Stdio standardError = Stdio::Inherit;
    // Descriptors handed to the child: {descriptor here, number in the child}. A number 0-2 takes
    // the place of that standard stream (leave its Stdio at Inherit). The parent keeps its own.
    std::vector<std::pair<int, int>> passedDescriptors;
    // "NAME=value" entries set in the child's environment on top of (or in place of) this one's.
    std::vector<std::string> extraEnvironment;
    // The child leads a process group of its own (its id is the child's pid), so that what it
    // starts can be found and waited for after it has gone.
    bool ownProcessGroup = false;

    Task() = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    Task(Task&&) noexcept;
    Task& operator=(Task&&) noexcept;
    ~Task();

    bool launch(); // false when the program could not be started
    void waitUntilExit();
    bool waitUntilExit(std::chrono::milliseconds timeout); // false on time-out (child left running)
    void terminate(); // SIGTERM
    void kill();      // SIGKILL
    bool isRunning() const;
    pid_t processIdentifier() const { return pid_; }
    int terminationStatus() const { return status_; } // exit code, or 128+signal

    // Pipe ends held by the parent (-1 unless the matching Stdio is Pipe).
    int standardInputFd() const { return inFd_; }
    int standardOutputFd() const { return outFd_; }
    int standardErrorFd() const { return errFd_; }
    void closeStandardInput();

    // Read a piped stream to its end (the child's exit), bounded by time and size; the child is
    // killed when the time limit passes. Returns false on time-out. Read only one piped stream
    // this way: a child that fills the other pipe blocks until the time limit.
    bool readStandardErrorToEnd(std::string& out, std::chrono::milliseconds limit, size_t maxBytes = 1 << 20);
    bool readStandardOutputToEnd(std::string& out, std::chrono::milliseconds limit, size_t maxBytes = 1 << 20);

private:
    bool reap(bool block);
    void closeFds();
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    int inFd_ = -1, outFd_ = -1, errFd_ = -1;
};

// Liveness through /proc/PID/status: false for a zombie or a missing process (kill -0 is not
// enough: an exited daemon stays a zombie until its parent reaps it).
bool processAlive(pid_t pid);

// Run a program with argv and wait for it (no shell). Returns the exit status, -1 if not started.
int runProgram(const std::string& path, const std::vector<std::string>& args,
               const std::string& cwd = std::string());

} // namespace platform
