#pragma once
#include "app/widgets/WidgetLayer.h"

#include <QLineEdit>
#include <memory>

// Single-line text field that paints a light-yellow fill inside its border while it is being
// edited. The fill is made anew on every focus (replacing the previous one) and removed when
// editing ends. The field draws its own layer (background, fill, border) beneath the text.
class ZelTextField : public QLineEdit {
    Q_OBJECT
public:
    explicit ZelTextField(QWidget* parent = nullptr);
    ZelTextField(const QRect& frame, QWidget* parent);

    // Red 1, green 1, blue 193/255.
    static QColor focusColor();

    WidgetLayer& layer() { return layer_; }
    const WidgetLayer& layer() const { return layer_; }
    // The fill while editing, null otherwise.
    const std::shared_ptr<Sublayer>& backgroundLayer() const { return backgroundLayer_; }

    // Focus arrived: logs, then (re)creates the fill. Returns the focus answer.
    bool becomeFirstResponder();
    // Editing ended (focus left, or Return): logs and removes the fill.
    void controlTextDidEndEditing();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    // "TextField" or "SecureTextField": the log lines name the kind of field.
    virtual const char* logName() const { return "TextField"; }

private:
    void setUp();
    void setupBackgroundLayer(const QColor& color);
    WidgetLayer layer_;
    std::shared_ptr<Sublayer> backgroundLayer_;
    bool editing_ = false;
};
