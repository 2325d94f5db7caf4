#include "app/shell/SingleInstance.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kReopen[] = "reopen\n";
constexpr int kMaxRequestBytes = 64;
constexpr int kMaxAcceptsPerWakeup = 16;
constexpr int kMaxClients = 8;
constexpr int kClientTimeoutMs = 2000;

bool makeAddress(const QString& path, sockaddr_un& addr) {
    const QByteArray p = path.toLocal8Bit();
    if (p.isEmpty() || p.size() >= static_cast<int>(sizeof addr.sun_path)) return false;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, p.constData(), static_cast<size_t>(p.size()));
    return true;
}

// Only the same user counts: anyone else's socket at that path is neither obeyed nor served.
bool peerIsSameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

// Connects to the socket at path; -1 when nothing listens there. errno tells why.
int connectTo(const QString& path) {
    sockaddr_un addr{};
    if (!makeAddress(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The folder of the socket when no runtime folder is given. A fixed name in /tmp could be taken
// first by another user, which silently turned the guard off; this one is made 0700 if missing, and
// an existing one must be a folder of this user's (closed to others here).
bool makePrivateFolder(const QString& path) {
    const QByteArray p = path.toLocal8Bit();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(p.toStdString()).parent_path(), ec);
    if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST) return false;
    const int fd = ::open(p.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

// Serialises the check-then-listen of two launches started at the same moment.
class StartLock {
public:
    explicit StartLock(const QString& socketPath) {
        const QByteArray p = (socketPath + ".lock").toLocal8Bit();
        fd_ = ::open(p.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) return;
        // The holder keeps it for a few system calls; bounded all the same.
        for (int i = 0; i < 100; ++i) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
            ::usleep(20 * 1000);
        }
    }
    ~StartLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

QString SingleInstance::defaultSocketPath() {
    const QString explicitPath = qEnvironmentVariable("TAVROVPN_INSTANCE_SOCKET");
    if (!explicitPath.isEmpty()) return explicitPath;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/')) return runtime + "/tavrovpn.sock";
    const QString folder = QString::fromStdString(platform::xdgCacheHome()) + "/norvell/tavrovpn";
    if (!makePrivateFolder(folder)) {
        platform::logInfo("single instance: the socket's folder is not this user's own; no guard");
        return {};
    }
    return folder + "/tavrovpn.sock";
}

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), path_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    for (auto& [fd, client] : clients_) {
        delete client.notifier;
        ::close(fd);
    }
    delete acceptNotifier_;
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.toLocal8Bit().constData());
    }
}

bool SingleInstance::notifyRunningInstance() {
    const int fd = connectTo(path_);
    if (fd < 0) return false;
    bool told = peerIsSameUser(fd);
    if (told) {
        const ssize_t n = ::send(fd, kReopen, sizeof kReopen - 1, MSG_NOSIGNAL);
        told = n == static_cast<ssize_t>(sizeof kReopen - 1);
    }
    ::close(fd);
    return told;
}

bool SingleInstance::listen(std::function<void()> onReopen) {
    if (listenFd_ >= 0) return true;
    sockaddr_un addr{};
    if (!makeAddress(path_, addr)) return false;
    const QByteArray p = path_.toLocal8Bit();

    // A socket file left by an instance that crashed refuses connections: replace it. Anything that
    // is not a socket of ours stays untouched.
    struct stat st {};
    if (::lstat(p.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return false;
        const int probe = connectTo(path_);
        if (probe >= 0) {
            ::close(probe);
            return false;
        }
        ::unlink(p.constData());
    }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const mode_t old = ::umask(0077);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old);
    if (!bound || ::listen(fd, kMaxClients) != 0) {
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    onReopen_ = std::move(onReopen);
    acceptNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { acceptPending(); });
    return true;
}

void SingleInstance::acceptPending() {
    for (int i = 0; i < kMaxAcceptsPerWakeup; ++i) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!peerIsSameUser(fd) || static_cast<int>(clients_.size()) >= kMaxClients) {
            ::close(fd);
            continue;
        }
        Client& client = clients_[fd];
        client.notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
        connect(client.notifier, &QSocketNotifier::activated, this, [this, fd] { readClient(fd); });
        // A client that connects and never finishes does not stay forever.
        QTimer::singleShot(kClientTimeoutMs, this, [this, fd, notifier = client.notifier] {
            const auto it = clients_.find(fd);
            if (it != clients_.end() && it->second.notifier == notifier) dropClient(fd);
        });
    }
}

void SingleInstance::readClient(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    char buf[kMaxRequestBytes];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) it->second.received.append(buf, static_cast<int>(n));
    const QByteArray received = it->second.received;
    const bool complete = received.contains('\n') || n <= 0;
    if (!complete && received.size() < kMaxRequestBytes) return;
    dropClient(fd);
    if (received == kReopen && onReopen_) {
        // Not from inside the notifier's signal: the handler may open windows or run alerts.
        QTimer::singleShot(0, this, [this] {
            if (onReopen_) onReopen_();
        });
    }
}

void SingleInstance::dropClient(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
    clients_.erase(it);
    ::close(fd);
}

bool handOverToRunningInstance(QObject* owner, std::function<void()> onReopen) {
    auto* instance = new SingleInstance(SingleInstance::defaultSocketPath(), owner);
    if (instance->socketPath().isEmpty()) return false;
    StartLock lock(instance->socketPath());
    if (instance->notifyRunningInstance()) {
        delete instance;
        return true;
    }
    instance->listen(std::move(onReopen));
    return false;
}
