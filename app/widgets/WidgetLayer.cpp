#include "app/widgets/WidgetLayer.h"

#include <QPainter>
#include <QPen>
#include <algorithm>

void WidgetLayer::insertSublayer(std::shared_ptr<Sublayer> layer, size_t index) {
    if (!layer) return;
    removeSublayer(layer);
    index = std::min(index, sublayers_.size());
    sublayers_.insert(sublayers_.begin() + static_cast<std::ptrdiff_t>(index), std::move(layer));
}

void WidgetLayer::removeSublayer(const std::shared_ptr<Sublayer>& layer) {
    if (!layer) return;
    sublayers_.erase(std::remove(sublayers_.begin(), sublayers_.end(), layer), sublayers_.end());
}

void WidgetLayer::paint(QPainter& painter, const QRectF& bounds) const {
    painter.save();
    if (backgroundColor.alpha() > 0) painter.fillRect(bounds, backgroundColor);
    for (const auto& s : sublayers_)
        painter.fillRect(s->frame, s->backgroundColor);
    if (borderWidth > 0 && borderColor.alpha() > 0) {
        // The stroke is centred on the path: inset by half the width so all of it lies inside.
        const qreal half = borderWidth / 2;
        QPen pen(borderColor, borderWidth);
        pen.setJoinStyle(Qt::MiterJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(bounds.adjusted(half, half, -half, -half));
    }
    painter.restore();
}
