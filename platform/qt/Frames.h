#pragma once
#include <QRect>
class QWidget;

// The design gives frames with a bottom-left origin and y growing upwards. Conversion to Qt's
// top-left coordinates happens here and nowhere else.
namespace frames {

QRect fromBottomLeft(const QRect& bl, int parentHeight);
QRect toBottomLeft(const QRect& qt, int parentHeight);

// Frame of a child widget in its parent's bottom-left coordinates, and its setter.
QRect frameBL(const QWidget* w);
void setFrameBL(QWidget* w, const QRect& bl);

// Marks a child as held at a fixed distance from the parent's bottom edge when the window resizes
// (the others keep their distance from the top).
void anchorBottom(QWidget* w, bool on = true);

// Resizes a top-level window keeping its bottom-left corner (the window grows upwards) and its
// width; bottom-anchored children keep their bottom-left frames. A window that would grow past the
// top of the screen moves down instead, so its title band and close button stay reachable.
void setWindowHeightKeepingOrigin(QWidget* window, int newHeight);

// The frame moved (never resized) into the available area; a frame taller or wider than the area
// keeps its top-left corner inside it.
QRect keptInside(const QRect& frame, const QRect& available);
// Moves a top-level window so that its whole frame, title band included, lies on its screen.
void keepOnScreen(QWidget* window);

} // namespace frames
