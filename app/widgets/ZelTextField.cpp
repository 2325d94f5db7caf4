#include "app/widgets/ZelTextField.h"

#include "platform/Log.h"
#include "platform/qt/Frames.h"

#include <QFocusEvent>
#include <QPainter>
#include <QPalette>

namespace {

// Rectangles in the log read like the design's: {{x, y}, {w, h}} with y counted from the bottom.
QByteArray describe(const QRectF& r) {
    return QStringLiteral("{{%1, %2}, {%3, %4}}")
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height())
        .toUtf8();
}

// Window activation and popups move the focus without ending the editing session.
bool endsOrStartsEditing(Qt::FocusReason reason) {
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

} // namespace

ZelTextField::ZelTextField(QWidget* parent) : QLineEdit(parent) {
    setUp();
}

ZelTextField::ZelTextField(const QRect& frame, QWidget* parent) : QLineEdit(parent) {
    setUp();
    setGeometry(frame);
}

QColor ZelTextField::focusColor() {
    return QColor::fromRgbF(1.0f, 1.0f, 193.0f / 255.0f, 1.0f);
}

void ZelTextField::setUp() {
    // Editable, selectable, no bezel, border or background of its own: the layer paints those.
    setReadOnly(false);
    setFrame(false);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    setPalette(pal);
    // Return ends editing like leaving the field; typing again after it starts a new session.
    connect(this, &QLineEdit::returnPressed, this, &ZelTextField::controlTextDidEndEditing);
    connect(this, &QLineEdit::textEdited, this, [this] { editing_ = true; });
}

bool ZelTextField::becomeFirstResponder() {
    const bool accepted = true; // Qt has granted the focus when it tells the widget
    platform::logDebug("becomeFirstResponder %d", accepted ? 1 : 0);
    editing_ = true;
    setupBackgroundLayer(focusColor());
    return accepted;
}

void ZelTextField::setupBackgroundLayer(const QColor& color) {
    layer_.removeSublayer(backgroundLayer_);
    const qreal w = layer_.borderWidth;
    const QRectF bounds(QPointF(0, 0), QSizeF(size()));
    const QRectF frame = parentWidget() ? QRectF(frames::frameBL(this)) : QRectF(geometry());
    platform::logDebug("%s frame: %s, bounds: %s, borderWidth: %g", logName(), describe(frame).constData(),
                       describe(bounds).constData(), w);
    auto fill = std::make_shared<Sublayer>();
    fill->frame = QRectF(w, w, bounds.width() - 2 * w, bounds.height() - 2 * w);
    fill->backgroundColor = color;
    platform::logDebug("Background layer frame: %s", describe(fill->frame).constData());
    layer_.insertSublayer(fill, 0);
    backgroundLayer_ = std::move(fill);
    update();
}

void ZelTextField::controlTextDidEndEditing() {
    if (!editing_) return;
    editing_ = false;
    platform::logDebug("controlTextDidEndEditing");
    layer_.removeSublayer(backgroundLayer_);
    backgroundLayer_.reset();
    update();
}

void ZelTextField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (endsOrStartsEditing(event->reason())) becomeFirstResponder();
}

void ZelTextField::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (endsOrStartsEditing(event->reason())) controlTextDidEndEditing();
}

void ZelTextField::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        layer_.paint(painter, QRectF(rect()));
    }
    QLineEdit::paintEvent(event);
}
