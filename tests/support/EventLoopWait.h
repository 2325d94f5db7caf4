#pragma once
// Bounded waits that keep the Qt event loop running, for tests on the GUI thread.
#include <QApplication>
#include <QElapsedTimer>
#include <functional>

namespace testsupport {

// Runs the event loop until done() holds or ms have passed; done()'s final answer.
inline bool processUntil(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// Runs the event loop for ms.
inline void settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace testsupport
