#include "app/widgets/VerticalCenteredTextFieldCell.h"

QRectF VerticalCenteredTextFieldCell::drawingRectForBounds(const QRectF& bounds, const QRectF& baseRect,
                                                           qreal contentHeight) {
    return QRectF(baseRect.x(), (bounds.height() - contentHeight) * 0.5, baseRect.width(), baseRect.height());
}
