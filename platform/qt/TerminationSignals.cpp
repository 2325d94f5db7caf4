#include "platform/qt/TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<int> g_writeFd{-1};
TerminationSignals* g_instance = nullptr;
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int signo) {
    const int saved = errno;
    const int fd = g_writeFd.load();
    const unsigned char b = static_cast<unsigned char>(signo);
    if (fd >= 0) (void)!::write(fd, &b, 1); // a full pipe already holds a pending request
    errno = saved;
}

} // namespace

TerminationSignals* TerminationSignals::install() {
    if (g_instance) return g_instance;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    g_writeFd = fds[1];
    g_instance = new TerminationSignals(fds[0], QCoreApplication::instance());
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kSignals)
        sigaction(s, &sa, nullptr);
    return g_instance;
}

TerminationSignals::TerminationSignals(int readFd, QObject* parent)
    : QObject(parent), readFd_(readFd), notifier_(new QSocketNotifier(readFd, QSocketNotifier::Read, this)) {
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
}

TerminationSignals::~TerminationSignals() {
    // Back to the default dispositions: with no watcher a signal must still end the process.
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int s : kSignals)
        sigaction(s, &sa, nullptr);
    const int w = g_writeFd.exchange(-1);
    if (w >= 0) ::close(w);
    ::close(readFd_);
    if (g_instance == this) g_instance = nullptr;
}

void TerminationSignals::drain() {
    unsigned char buf[64];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::read(readFd_, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i)
            emit received(buf[i]);
    }
}
