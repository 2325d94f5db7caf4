// The region selection list of the main window.
#include "app/catalogue/PexXmlParser.h"
#include "app/catalogue/ServerListTableView.h"
#include "app/connection/ConnectionHost.h"
#include "app/connection/ConnectionWindow.h"
#include "platform/Log.h"
#include "platform/qt/Frames.h"

#include <QCloseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWidget>
#include <string>

namespace {

constexpr int kVisibleRows = 8;
// Set while the close button's own handler closes the window.
bool closingFromHandler = false;

// The window manager's close button closes the window; a selected row is applied on the way, as
// with the window's own close button.
class SelectionWindowCloseFilter : public QObject {
public:
    explicit SelectionWindowCloseFilter(ConnectionWindow* owner) : QObject(owner), owner_(owner) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && !closingFromHandler && owner_->selServerTableView &&
            owner_->selServerTableView->selectedRow() >= 0)
            owner_->onServerSelCloseButton();
        return QObject::eventFilter(watched, event);
    }

private:
    ConnectionWindow* owner_;
};

void closeSelectionWindow(QWidget* window) {
    closingFromHandler = true;
    window->close();
    closingFromHandler = false;
}

void buildSelectionWindow(ConnectionWindow* owner) {
    auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowCloseButtonHint);
    window->setObjectName("selServerWindow");
    window->setWindowTitle("接続先サーバー");
    QPalette pal = window->palette();
    pal.setColor(QPalette::Window, Qt::white);
    window->setPalette(pal);
    window->setAutoFillBackground(true);

    auto* table = new ServerListTableView(window);
    table->setObjectName("selServerTableView");
    table->setFixedSize(ServerListTableView::kFlagColumnWidth + ServerListTableView::kRegionColumnWidth +
                            table->verticalScrollBar()->sizeHint().width(),
                        ServerListTableView::kRowHeight * kVisibleRows);
    auto* close = new QPushButton("閉じる", window);
    close->setObjectName("selServerCloseButton");
    close->setDefault(true);

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 10);
    layout->setSpacing(10);
    layout->addWidget(table);
    layout->addWidget(close, 0, Qt::AlignHCenter);
    window->setFixedSize(window->sizeHint());

    QObject::connect(close, &QPushButton::clicked, owner, [owner] { owner->onServerSelCloseButton(); });
    window->installEventFilter(new SelectionWindowCloseFilter(owner));
    // The window is top-level; it goes with its controller.
    QPointer<QWidget> guarded(window);
    QObject::connect(owner, &QObject::destroyed, [guarded] { delete guarded.data(); });

    owner->selServerWindow = window;
    owner->selServerTableView = table;
}

} // namespace

void ConnectionWindow::onServerSelButton() {
    platform::logInfo("onServerSelButton");
    if (!selServerWindow) buildSelectionWindow(this);
    if (!selServerWindow->isVisible()) {
        selServerTableView->reloadData();
        // Over the main window, where the user's attention is.
        ConnectionHost* app = connectionHost();
        if (app && app->window && app->window->isVisible()) {
            const QRect main = app->window->frameGeometry();
            selServerWindow->move(main.center() -
                                  QPoint(selServerWindow->width() / 2, selServerWindow->height() / 2));
            frames::keepOnScreen(selServerWindow);
        }
    }
    selServerWindow->show();
    selServerWindow->raise();
    selServerWindow->activateWindow();
}

void ConnectionWindow::onServerSelCloseButton() {
    platform::logInfo("onSelectCloseButton");
    if (!selServerWindow || !selServerTableView) return;
    const int row = selServerTableView->selectedRow();
    if (row < 0) {
        // With nothing to choose from the window could never be closed otherwise.
        if (selServerTableView->rowCount() == 0) closeSelectionWindow(selServerWindow);
        return;
    }
    if (const RegionInfo* region = ServerListTableView::regionAt(row)) {
        const RegionInfo chosen = *region; // a copy: the display update must not see the table change
        if (ConnectionHost* app = connectionHost()) app->updateRegionDisp(chosen);
    }
    closeSelectionWindow(selServerWindow);
}
