#pragma once
#include <functional>

// The main queue is the Qt GUI thread; the global queue is a detached worker thread per job.
namespace dispatch {

void mainAsync(std::function<void()> fn);
void mainAfter(int milliseconds, std::function<void()> fn); // one-shot, on the GUI thread
// Runs fn on the GUI thread and waits for it; runs inline when already there.
void mainSync(const std::function<void()>& fn);
void globalAsync(std::function<void()> fn);
bool isMainThread();

} // namespace dispatch
