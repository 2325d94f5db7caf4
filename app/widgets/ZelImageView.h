#pragma once
#include <QLabel>
#include <QPointer>

// Image view that hands mouse movements to the main window and ignores drags; a mouse down on it
// may move its window.
class ZelImageView : public QLabel {
    Q_OBJECT
public:
    explicit ZelImageView(QWidget* parent = nullptr);
    ZelImageView(const QRect& frame, QWidget* parent);

    // The owner hands over the main window that receives the mouse movements (it then tracks the mouse).
    void theApplication(QWidget* mainWindow);
    QWidget* mainWindow() const { return _mainWindow; }

    bool mouseDownCanMoveWindow() const { return true; }

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QPointer<QWidget> _mainWindow;
};
