#include "app/widgets/DraggableImageView.h"

#include <QMouseEvent>

DraggableImageView::DraggableImageView(QWidget* parent) : QLabel(parent) {
    setScaledContents(true);
}

DraggableImageView::DraggableImageView(const QRect& frame, QWidget* parent) : DraggableImageView(parent) {
    setGeometry(frame);
}

void DraggableImageView::mousePressEvent(QMouseEvent* event) {
    initialLocation = event->scenePosition();
    event->accept();
}

void DraggableImageView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        QLabel::mouseMoveEvent(event);
        return;
    }
    QWidget* w = window();
    if (!w || !initialLocation) return;
    // The location is relative to the window, which moves with it: the pointer keeps its offset.
    const QPointF delta = event->scenePosition() - *initialLocation;
    w->move(w->pos() + delta.toPoint());
    w->update();
    event->accept();
}
