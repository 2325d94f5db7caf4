#include "app/widgets/ZelImageView.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWindow>

ZelImageView::ZelImageView(QWidget* parent) : QLabel(parent) {
    setScaledContents(true);
    setMouseTracking(true); // movements without a button pressed arrive too
}

ZelImageView::ZelImageView(const QRect& frame, QWidget* parent) : ZelImageView(parent) {
    setGeometry(frame);
}

void ZelImageView::theApplication(QWidget* mainWindow) {
    _mainWindow = mainWindow;
    // Moves without a button reach a widget only when it tracks the mouse.
    if (mainWindow) mainWindow->setMouseTracking(true);
}

void ZelImageView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (event->buttons() != Qt::NoButton) return; // a drag: ignored
    if (!_mainWindow || _mainWindow == this) return;
    const QPointF global = event->globalPosition();
    const QPointF local = _mainWindow->mapFromGlobal(global);
    QMouseEvent relayed(QEvent::MouseMove, local, local, global, Qt::NoButton, Qt::NoButton,
                        event->modifiers());
    QCoreApplication::sendEvent(_mainWindow, &relayed);
}

void ZelImageView::mousePressEvent(QMouseEvent* event) {
    QWidget* w = window();
    if (mouseDownCanMoveWindow() && event->button() == Qt::LeftButton && w && w->windowHandle() &&
        w->windowHandle()->startSystemMove()) {
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}
