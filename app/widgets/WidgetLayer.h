#pragma once
#include <QColor>
#include <QRectF>
#include <memory>
#include <vector>

class QPainter;

// A filled rectangle inside a WidgetLayer.
struct Sublayer {
    QRectF frame;
    QColor backgroundColor;
};

// What a widget draws beneath its own content: a background colour, sublayers in order (index 0
// lowest) and a border drawn inside the bounds on top of them.
class WidgetLayer {
public:
    QColor backgroundColor = Qt::transparent;
    qreal borderWidth = 0;
    QColor borderColor = Qt::transparent;

    void insertSublayer(std::shared_ptr<Sublayer> layer, size_t index);
    // Removing a layer that is not a sublayer (or none) changes nothing.
    void removeSublayer(const std::shared_ptr<Sublayer>& layer);
    const std::vector<std::shared_ptr<Sublayer>>& sublayers() const { return sublayers_; }

    void paint(QPainter& painter, const QRectF& bounds) const;

private:
    std::vector<std::shared_ptr<Sublayer>> sublayers_;
};
