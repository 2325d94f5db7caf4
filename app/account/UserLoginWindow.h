#pragma once
#include <QWidget>

class AppDelegate;

// The login window. (Placeholder: being built.)
class UserLoginWindow : public QWidget {
    Q_OBJECT
public:
    explicit UserLoginWindow(AppDelegate* app);
};
