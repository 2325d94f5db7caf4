#pragma once
#include <QLabel>
#include <QPointF>
#include <optional>

// Image view that moves its window by the pointer's drag: the title band of a borderless window.
class DraggableImageView : public QLabel {
    Q_OBJECT
public:
    explicit DraggableImageView(QWidget* parent = nullptr);
    DraggableImageView(const QRect& frame, QWidget* parent);

    // Where the drag started, in window coordinates.
    std::optional<QPointF> initialLocation;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
};
