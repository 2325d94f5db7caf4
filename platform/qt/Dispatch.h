#pragma once
#include <chrono>
#include <functional>

// The main queue is the Qt GUI thread; the global queue is a detached worker thread per job.
namespace dispatch {

void mainAsync(std::function<void()> fn);
void mainAfter(int milliseconds, std::function<void()> fn); // one-shot, on the GUI thread
// Runs fn on the GUI thread and waits for it; runs inline when already there.
void mainSync(const std::function<void()>& fn);
void globalAsync(std::function<void()> fn);
bool isMainThread();

// Workers started by globalAsync that have not returned yet.
int runningWorkers();
// Waits until every worker has returned, at most `limit`; true when none is left. The process must
// not run its static destructors while one still runs.
bool waitForWorkers(std::chrono::milliseconds limit);

} // namespace dispatch
