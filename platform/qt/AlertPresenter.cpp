#include "platform/qt/AlertPresenter.h"

#include "platform/qt/Dispatch.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRect>
#include <QScreen>
#include <algorithm>
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

void MessageBoxPresenter::keepLinesWhole(QMessageBox& box) {
    // A wrapping label may break Japanese text between any two characters, and the box picks a
    // narrow width: give each text label room for its longest line as long as that fits the screen.
    const QScreen* screen = box.screen() ? box.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    // The widest the message box itself allows on this screen.
    const int screenWidth = screen->availableGeometry().width();
    const int boxLimit = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
    const int room = boxLimit - kScreenMargin;
    for (QLabel* label : box.findChildren<QLabel*>()) {
        if (label->text().isEmpty() || !label->pixmap().isNull()) continue;
        // The widest line as the label lays it out, its own margins and a little slack for rounding.
        const QFontMetrics metrics(label->font());
        const int widest = metrics.boundingRect(QRect(0, 0, kUnbounded, kUnbounded), Qt::AlignLeft, label->text()).width();
        const int chrome = label->contentsMargins().left() + label->contentsMargins().right() + 2 * label->margin() +
                           2 * std::max(0, label->indent()) + kLineSlack;
        const int wanted = widest + chrome;
        // A line too long for the screen still wraps, but in lines of a reading measure, never in
        // the narrow column Qt would otherwise choose.
        const int measure = kMeasureChars * metrics.horizontalAdvance(QChar(0x3042)) + chrome;
        label->setMinimumWidth(wanted <= room ? wanted : std::min(room, measure));
    }
}

int MessageBoxPresenter::runModal(const Alert& alert) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("タブロVPN"));
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
    keepLinesWhole(box);
    box.exec();
    int idx = created.indexOf(box.clickedButton());
    return idx < 0 ? 0 : idx;
}

int ScriptedAlertPresenter::runModal(const Alert& alert) {
    shown << alert;
    if (onShow) onShow(alert);
    return answers.isEmpty() ? 0 : answers.takeFirst();
}
