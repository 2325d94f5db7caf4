#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <map>

class QSocketNotifier;

// One running application per user. A second launch tells the running one "reopen" over a Unix
// socket that only the user can reach, and ends; the running one then handles the reopen.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // $TAVROVPN_INSTANCE_SOCKET, else $XDG_RUNTIME_DIR/tavrovpn.sock, else tavrovpn.sock in
    // $XDG_CACHE_HOME/norvell/tavrovpn, a folder made the user's alone. Empty (no guard) when that
    // folder is not the user's.
    static QString defaultSocketPath();

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when another instance is running and was told to reopen: this process should end.
    bool notifyRunningInstance();
    // Serves reopen requests on the GUI thread; false when the socket cannot be set up (the
    // application then runs without the single-instance guard).
    bool listen(std::function<void()> onReopen);

    const QString& socketPath() const { return path_; }

private:
    void acceptPending();
    void readClient(int fd);
    void dropClient(int fd);

    QString path_;
    int listenFd_ = -1;
    QSocketNotifier* acceptNotifier_ = nullptr;
    std::function<void()> onReopen_;
    struct Client {
        QSocketNotifier* notifier = nullptr;
        QByteArray received;
    };
    std::map<int, Client> clients_;
};

// For main(): returns true when this process should end because another instance took over;
// otherwise starts listening and calls onReopen for every later launch.
bool handOverToRunningInstance(QObject* owner, std::function<void()> onReopen);
