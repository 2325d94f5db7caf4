#include "app/widgets/ZelSecureTextField.h"

ZelSecureTextField::ZelSecureTextField(QWidget* parent) : ZelTextField(parent) {
    setEchoMode(QLineEdit::Password);
}

ZelSecureTextField::ZelSecureTextField(const QRect& frame, QWidget* parent) : ZelTextField(frame, parent) {
    setEchoMode(QLineEdit::Password);
}
