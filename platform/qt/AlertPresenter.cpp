#include "platform/qt/AlertPresenter.h"

#include "platform/qt/Dispatch.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <atomic>

namespace {
MessageBoxPresenter& defaultPresenter() {
    static MessageBoxPresenter p;
    return p;
}
AlertPresenter* g_presenter = nullptr;
std::atomic<bool> g_suppressed{false};
} // namespace

void AlertPresenter::setSuppressed(bool suppressed) { g_suppressed = suppressed; }
bool AlertPresenter::suppressed() { return g_suppressed.load(); }
int AlertPresenter::dismissedAnswer(const QStringList& buttons) {
    const qsizetype no = buttons.indexOf(QStringLiteral("いいえ"));
    return no >= 0 ? static_cast<int>(no) : 0;
}

AlertPresenter& AlertPresenter::current() { return g_presenter ? *g_presenter : defaultPresenter(); }
void AlertPresenter::setCurrent(AlertPresenter* presenter) { g_presenter = presenter; }

int runAlert(const QString& message, const QString& informative, const QStringList& buttons) {
    int answer = 0;
    Alert alert{message, informative, buttons};
    dispatch::mainSync([&] {
        answer = AlertPresenter::suppressed() ? AlertPresenter::dismissedAnswer(buttons)
                                              : AlertPresenter::current().runModal(alert);
    });
    return answer;
}

int MessageBoxPresenter::runModal(const Alert& alert) {
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setIcon(QMessageBox::Warning);
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    QList<QAbstractButton*> created;
    for (int i = 0; i < alert.buttons.size(); ++i)
        created << box.addButton(alert.buttons[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    if (created.isEmpty()) created << box.addButton(QMessageBox::Ok);
    box.setDefaultButton(qobject_cast<QPushButton*>(created.first()));
    // Escape and the window's close button must never mean yes: they answer "いいえ" when the alert
    // offers it, and the only button of a single-button notice.
    if (alert.buttons.size() > 1 || created.size() == 1)
        box.setEscapeButton(created[dismissedAnswer(alert.buttons)]);
    box.exec();
    int idx = created.indexOf(box.clickedButton());
    return idx < 0 ? 0 : idx;
}

int ScriptedAlertPresenter::runModal(const Alert& alert) {
    shown << alert;
    if (onShow) onShow(alert);
    return answers.isEmpty() ? 0 : answers.takeFirst();
}
