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

// Resizes a top-level window keeping its bottom-left corner on screen (the window grows upwards)
// and its width; bottom-anchored children keep their bottom-left frames.
void setWindowHeightKeepingOrigin(QWidget* window, int newHeight);

} // namespace frames
