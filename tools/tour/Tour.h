#pragma once
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

class AppDelegate;
class QMessageBox;
class QTimer;
class QWidget;

// Drives the running application through the demo without a person: launch, each protocol's
// connect and disconnect, the settings window, quit. Every step waits (bounded) for what the
// window should show, saves a picture of it and adds a line to the table printed at the end.
class Tour : public QObject {
    Q_OBJECT
public:
    Tour(AppDelegate& app, QString outputDir);
    ~Tour() override;

    // Runs every step; the last one ends the application's event loop.
    void run();
    // Prints the table to standard output; true when every step showed what it should.
    bool report() const;

private slots:
    // NetworkManager's word on the L2TP attempt (the system bus is the one the application uses).
    void vpnStateChanged(uint state, uint reason);

private:
    struct Step {
        QString name;
        QString expected;
        QString seen;
        double seconds = 0;
        bool ok = false;
    };
    using Body = std::function<bool(QString& seen, QWidget*& shot)>;

    void step(const QString& name, const QString& expected, const Body& body);
    void connectWith(const QString& protocol);
    void disconnectFrom(const QString& protocol);
    bool connectedView(QString& seen); // 接続中 with the address and a running time
    bool chooseProtocol(const QString& protocol, QString& seen, QWidget*& shot);
    void save(QWidget* window, const QString& file);

    // Runs the event loop until pred holds or ms pass (or the application ends).
    bool waitUntil(const std::function<bool()>& pred, int ms);
    void settle(int ms);
    void watchAlerts();
    QString statusWord() const;
    QString lastAlertLine() const;

    AppDelegate& app_;
    QString dir_;
    QString file_; // the current step's picture
    QList<Step> steps_;
    QTimer* alertWatch_ = nullptr;
    QPointer<QMessageBox> answered_;
    QStringList alerts_;     // every alert seen, "text: informative"
    QString alertAnswer_;    // the button to press on the next alert (empty: its default)
    QString alertShot_;      // where to save the next alert's picture (empty: none)
    bool connected_ = false; // the last connect step reached 接続中
    QString vpnEnd_;         // how NetworkManager ended the last VPN activation
};
