#pragma once
#include "app/widgets/ZelTextField.h"

// The masked variant: behaves exactly like ZelTextField, echoing bullets instead of the text.
class ZelSecureTextField : public ZelTextField {
    Q_OBJECT
public:
    explicit ZelSecureTextField(QWidget* parent = nullptr);
    ZelSecureTextField(const QRect& frame, QWidget* parent);

protected:
    const char* logName() const override { return "SecureTextField"; }
};
