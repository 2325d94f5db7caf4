#pragma once
#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP delivered on the GUI thread as a Qt signal, so that a `kill`, a ^C or
// a closed terminal ends the application through its own termination path. The handlers only
// write the signal number into a pipe; everything else happens in the event loop.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // One watcher per process; later calls return the first. nullptr when the pipe cannot be made.
    static TerminationSignals* install();
    ~TerminationSignals() override;

signals:
    void received(int signo);

private:
    TerminationSignals(int readFd, QObject* parent);
    void drain();
    int readFd_;
    QSocketNotifier* notifier_;
};
