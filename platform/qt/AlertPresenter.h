#pragma once
#include <QString>
#include <QStringList>
#include <functional>

class QMessageBox;

// Every modal alert of the application goes through the presenter, so tests can answer them.
struct Alert {
    QString messageText;
    QString informativeText;
    QStringList buttons; // first button first
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Shows the alert modally and returns the index of the chosen button (0 = first).
    virtual int runModal(const Alert& alert) = 0;

    static AlertPresenter& current();
    static void setCurrent(AlertPresenter* presenter); // nullptr restores the QMessageBox one

    // While the application is ending no alert may hold it up: each is then answered at once as if
    // dismissed ("いいえ" where offered, else the first button), without being shown.
    static void setSuppressed(bool suppressed);
    static bool suppressed();
    static int dismissedAnswer(const QStringList& buttons);
};

// Convenience: runs on the GUI thread (hops there synchronously from a worker).
int runAlert(const QString& message, const QString& informative, const QStringList& buttons);

// Production presenter: QMessageBox, application-modal.
class MessageBoxPresenter : public AlertPresenter {
public:
    int runModal(const Alert& alert) override;
    // Lets every line of the box's texts stay on one line where it fits the screen.
    static void keepLinesWhole(QMessageBox& box);
    // Kept free beside the text: the icon column, the box's margins and the screen's edges.
    static constexpr int kScreenMargin = 120;
    static constexpr int kLineSlack = 4;
    static constexpr int kMeasureChars = 40; // full-width characters a wrapped line holds at most
    static constexpr int kUnbounded = 100000;
};

// Test presenter: records every alert and answers from a queue (default: first button).
class ScriptedAlertPresenter : public AlertPresenter {
public:
    int runModal(const Alert& alert) override;
    QList<Alert> shown;
    QList<int> answers;
    std::function<void(const Alert&)> onShow;
};
