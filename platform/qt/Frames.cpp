#include "platform/qt/Frames.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QVariant>
#include <QWidget>
#include <algorithm>

namespace frames {
namespace {
constexpr const char* kAnchorBottom = "tvAnchorBottom";

QScreen* screenOf(const QWidget* window) {
    if (QScreen* s = QGuiApplication::screenAt(window->frameGeometry().center())) return s;
    return window->screen() ? window->screen() : QGuiApplication::primaryScreen();
}

// Where the window's geometry goes so that its frame (title band included) is kept inside.
QRect geometryKeptOnScreen(const QWidget* window, const QRect& geometry) {
    const QScreen* screen = screenOf(window);
    if (!screen) return geometry;
    // Window-manager decorations around the client area, as they are now.
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    const QMargins margins(client.left() - frame.left(), client.top() - frame.top(),
                           frame.right() - client.right(), frame.bottom() - client.bottom());
    const QRect kept = keptInside(geometry.marginsAdded(margins), screen->availableGeometry());
    return kept.marginsRemoved(margins);
}
} // namespace

QRect keptInside(const QRect& frame, const QRect& available) {
    if (!available.isValid()) return frame;
    QRect r = frame;
    r.moveLeft(std::max(available.left(), std::min(r.left(), available.right() + 1 - r.width())));
    r.moveTop(std::max(available.top(), std::min(r.top(), available.bottom() + 1 - r.height())));
    return r;
}

void keepOnScreen(QWidget* window) {
    if (!window || !window->isWindow()) return;
    const QRect g = window->geometry();
    const QRect kept = geometryKeptOnScreen(window, g);
    if (kept.topLeft() != g.topLeft()) window->move(window->pos() + (kept.topLeft() - g.topLeft()));
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
    const QRect g = window->geometry();
    window->setGeometry(geometryKeptOnScreen(window, QRect(g.x(), g.y() - delta, g.width(), newHeight)));
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
