#include "platform/qt/Dispatch.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dispatch {
namespace {

struct Workers {
    std::mutex mu;
    std::condition_variable done;
    int running = 0;
};

// Never destroyed: a worker still running at exit must find it intact.
Workers& workers() {
    static Workers* w = new Workers;
    return *w;
}

} // namespace

bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void mainAsync(std::function<void()> fn) {
    auto* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void mainAfter(int milliseconds, std::function<void()> fn) {
    mainAsync([milliseconds, fn = std::move(fn)]() mutable {
        QTimer::singleShot(milliseconds, QCoreApplication::instance(), std::move(fn));
    });
}

void mainSync(const std::function<void()>& fn) {
    if (isMainThread()) {
        fn();
        return;
    }
    auto* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

void globalAsync(std::function<void()> fn) {
    Workers& w = workers();
    {
        std::lock_guard lock(w.mu);
        ++w.running;
    }
    std::thread([fn = std::move(fn), &w]() mutable {
        fn();
        fn = nullptr; // captured state goes before the worker counts as returned
        std::lock_guard lock(w.mu);
        --w.running;
        w.done.notify_all();
    }).detach();
}

int runningWorkers() {
    Workers& w = workers();
    std::lock_guard lock(w.mu);
    return w.running;
}

bool waitForWorkers(std::chrono::milliseconds limit) {
    Workers& w = workers();
    std::unique_lock lock(w.mu);
    return w.done.wait_for(lock, limit, [&] { return w.running == 0; });
}

} // namespace dispatch
