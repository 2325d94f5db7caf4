// The custom fields and image views: focus fill, vertical centring, window dragging, mouse relay.
#include "app/widgets/DraggableImageView.h"
#include "app/widgets/VerticalCenteredTextFieldCell.h"
#include "app/widgets/ZelImageView.h"
#include "app/widgets/ZelSecureTextField.h"
#include "app/widgets/ZelTextField.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

void focus(QWidget* w, QEvent::Type type, Qt::FocusReason reason = Qt::MouseFocusReason) {
    QFocusEvent ev(type, reason);
    QCoreApplication::sendEvent(w, &ev);
}

void mouse(QWidget* w, QEvent::Type type, QPointF windowPos, Qt::MouseButton button,
           Qt::MouseButtons buttons) {
    const QPointF local = w->mapFrom(w->window(), windowPos.toPoint());
    const QPointF global = w->window()->pos() + windowPos;
    QMouseEvent ev(type, local, windowPos, global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &ev);
}

TEST(VerticalCentering, ThirtyPointFieldPutsASeventeenPointLineAtSixAndAHalf) {
    const QRectF base(2, 0, 246, 30);
    EXPECT_EQ(VerticalCenteredTextFieldCell::drawingRectForBounds(QRectF(0, 0, 250, 30), base, 17),
              QRectF(2, 6.5, 246, 30));
    // Only the bounds' height counts: neither their y nor the base rectangle's y is added.
    EXPECT_EQ(VerticalCenteredSecureTextFieldCell::drawingRectForBounds(QRectF(0, 40, 250, 30),
                                                                        QRectF(2, 3, 246, 24), 17),
              QRectF(2, 6.5, 246, 24));
}

class FocusFill : public ::testing::Test {
protected:
    void SetUp() override {
        host.resize(340, 290);
        plain = new ZelTextField(QRect(45, 80, 250, 30), &host);
        secure = new ZelSecureTextField(QRect(45, 123, 250, 30), &host);
        for (ZelTextField* f : {plain, static_cast<ZelTextField*>(secure)}) {
            f->layer().backgroundColor = Qt::white;
            f->layer().borderWidth = 1.8;
            f->layer().borderColor = QColor::fromRgbF(2.0f / 3, 2.0f / 3, 2.0f / 3, 0.5f);
        }
    }
    QWidget host;
    ZelTextField* plain = nullptr;
    ZelSecureTextField* secure = nullptr;
};

TEST_F(FocusFill, FocusAddsALightYellowFillInsideTheBorder) {
    for (ZelTextField* f : {plain, static_cast<ZelTextField*>(secure)}) {
        focus(f, QEvent::FocusIn);
        ASSERT_TRUE(f->backgroundLayer());
        EXPECT_EQ(f->backgroundLayer()->frame, QRectF(1.8, 1.8, 246.4, 26.4));
        EXPECT_EQ(f->backgroundLayer()->backgroundColor, QColor::fromRgbF(1, 1, 193.0f / 255.0f, 1));
        ASSERT_EQ(f->layer().sublayers().size(), 1u);
        EXPECT_EQ(f->layer().sublayers().front(), f->backgroundLayer());
    }
    EXPECT_EQ(secure->echoMode(), QLineEdit::Password);
    EXPECT_EQ(plain->echoMode(), QLineEdit::Normal);
}

TEST_F(FocusFill, RefocusReplacesTheFillAndEndOfEditingRemovesIt) {
    focus(plain, QEvent::FocusIn);
    const auto first = plain->backgroundLayer();
    plain->resize(200, 40);
    focus(plain, QEvent::FocusIn);
    ASSERT_EQ(plain->layer().sublayers().size(), 1u) << "replaced, not stacked";
    EXPECT_NE(plain->backgroundLayer(), first);
    EXPECT_EQ(plain->backgroundLayer()->frame, QRectF(1.8, 1.8, 196.4, 36.4));

    focus(plain, QEvent::FocusOut, Qt::TabFocusReason);
    EXPECT_FALSE(plain->backgroundLayer());
    EXPECT_TRUE(plain->layer().sublayers().empty());
}

TEST_F(FocusFill, WindowSwitchesKeepTheFillAndReturnEndsEditing) {
    focus(plain, QEvent::FocusIn);
    focus(plain, QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    focus(plain, QEvent::FocusIn, Qt::ActiveWindowFocusReason);
    EXPECT_EQ(plain->layer().sublayers().size(), 1u);

    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(plain, &enter);
    EXPECT_FALSE(plain->backgroundLayer());
    EXPECT_TRUE(plain->layer().sublayers().empty());
}

TEST_F(FocusFill, EndingEditingThatNeverStartedChangesNothing) {
    focus(secure, QEvent::FocusOut, Qt::TabFocusReason);
    secure->controlTextDidEndEditing();
    EXPECT_FALSE(secure->backgroundLayer());
    EXPECT_TRUE(secure->layer().sublayers().empty());
}

TEST_F(FocusFill, PaintsBackgroundFillAndBorderBeneathTheText) {
    auto render = [](QWidget* w) {
        QImage img(w->size(), QImage::Format_ARGB32);
        img.fill(Qt::black);
        w->render(&img);
        return img;
    };
    QImage idle = render(plain);
    EXPECT_EQ(QColor(idle.pixel(4, 4)), QColor(Qt::white));

    focus(plain, QEvent::FocusIn);
    QImage edited = render(plain);
    EXPECT_EQ(QColor(edited.pixel(4, 4)), QColor(255, 255, 193));
    EXPECT_EQ(QColor(edited.pixel(125, 26)), QColor(255, 255, 193));
    // The border covers the fill's edge: the outermost pixels are grey over white, never yellow.
    const QColor edge(edited.pixel(0, 15));
    EXPECT_LT(edge.red(), 255);
    EXPECT_EQ(edge.red(), edge.blue());
}

TEST(DraggableImageView, DragMovesTheWindowByThePointerDelta) {
    QWidget window;
    window.resize(340, 290);
    auto* title = new DraggableImageView(QRect(0, 0, 340, 50), &window);
    window.move(100, 100);
    window.show();
    const QPoint start = window.pos();

    // Without a mouse down first there is nothing to drag from.
    mouse(title, QEvent::MouseMove, QPointF(30, 25), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start);

    mouse(title, QEvent::MouseButtonPress, QPointF(10, 10), Qt::LeftButton, Qt::LeftButton);
    ASSERT_TRUE(title->initialLocation);
    EXPECT_EQ(*title->initialLocation, QPointF(10, 10));
    mouse(title, QEvent::MouseMove, QPointF(30, 25), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start + QPoint(20, 15));
    // The pointer is now 5 points further right of where it grabbed the moved window.
    mouse(title, QEvent::MouseMove, QPointF(15, 10), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start + QPoint(25, 15));
}

class MoveRecorder : public QWidget {
public:
    int moves = 0;
    QPointF lastGlobal;

protected:
    void mouseMoveEvent(QMouseEvent* e) override {
        ++moves;
        lastGlobal = e->globalPosition();
    }
};

TEST(ZelImageView, RelaysMovesToTheMainWindowAndIgnoresDrags) {
    MoveRecorder mainWindow;
    mainWindow.resize(340, 400);
    QWidget other;
    other.resize(200, 200);
    auto* view = new ZelImageView(QRect(0, 0, 100, 100), &other);
    EXPECT_TRUE(view->mouseDownCanMoveWindow());
    EXPECT_TRUE(view->hasMouseTracking());

    // No main window yet: the movement goes nowhere.
    mouse(view, QEvent::MouseMove, QPointF(5, 5), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(mainWindow.moves, 0);

    view->theApplication(&mainWindow);
    EXPECT_EQ(view->mainWindow(), &mainWindow);
    mouse(view, QEvent::MouseMove, QPointF(5, 5), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(mainWindow.moves, 1);
    EXPECT_EQ(mainWindow.lastGlobal, other.pos() + QPointF(5, 5));

    mouse(view, QEvent::MouseMove, QPointF(9, 9), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(mainWindow.moves, 1) << "drags are ignored";
}

} // namespace
