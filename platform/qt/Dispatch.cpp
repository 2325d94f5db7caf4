#include "platform/qt/Dispatch.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <thread>

namespace dispatch {

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

void globalAsync(std::function<void()> fn) { std::thread(std::move(fn)).detach(); }

} // namespace dispatch
