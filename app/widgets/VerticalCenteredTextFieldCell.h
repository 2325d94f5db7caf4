#pragma once
#include <QRectF>

// Vertical centring of a single line of text in a field. QLineEdit draws, selects and edits with
// this placement already (Qt::AlignVCenter); the computation is kept here so that custom drawing
// and layout code uses the same rule.
class VerticalCenteredTextFieldCell {
public:
    // bounds: the field's bounds; baseRect: the rectangle the base drawing would use; contentHeight:
    // the height of one line of text. Only the bounds' height decides y (bounds.y and baseRect.y are
    // not added); x, width and height stay those of baseRect.
    static QRectF drawingRectForBounds(const QRectF& bounds, const QRectF& baseRect, qreal contentHeight);
};

// The secure field centres exactly the same way.
using VerticalCenteredSecureTextFieldCell = VerticalCenteredTextFieldCell;
