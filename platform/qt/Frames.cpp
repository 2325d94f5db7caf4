#include "platform/qt/Frames.h"

#include <QCoreApplication>
#include <QVariant>
#include <QWidget>

namespace frames {
namespace {
constexpr const char* kAnchorBottom = "tvAnchorBottom";
}

QRect fromBottomLeft(const QRect& bl, int parentHeight) {
    return QRect(bl.x(), parentHeight - bl.y() - bl.height(), bl.width(), bl.height());
}

QRect toBottomLeft(const QRect& qt, int parentHeight) {
    return QRect(qt.x(), parentHeight - qt.y() - qt.height(), qt.width(), qt.height());
}

QRect frameBL(const QWidget* w) {
    const QWidget* p = w->parentWidget();
    return toBottomLeft(w->geometry(), p ? p->height() : 0);
}

void setFrameBL(QWidget* w, const QRect& bl) {
    const QWidget* p = w->parentWidget();
    w->setGeometry(fromBottomLeft(bl, p ? p->height() : 0));
}

void anchorBottom(QWidget* w, bool on) { w->setProperty(kAnchorBottom, on); }

void setWindowHeightKeepingOrigin(QWidget* window, int newHeight) {
    const int delta = newHeight - window->height();
    if (delta == 0) return;
    QRect g = window->geometry();
    window->setGeometry(g.x(), g.y() - delta, g.width(), newHeight);
    // A visible window takes its new size when the window system confirms it; wait for that (bounded)
    // so the frames computed next see the final height.
    for (int i = 0; i < 20 && window->height() != newHeight; ++i)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    const auto children = window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* c : children) {
        if (c->property(kAnchorBottom).toBool()) c->move(c->x(), c->y() + delta);
    }
    window->update();
}

} // namespace frames
