// The production alert presenter answered by keyboard and window close, and windows kept on screen
// when they grow upwards.
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Frames.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

namespace {

// Runs the alert with the real message box and dismisses it with `dismiss` once it is up.
int answerBy(const QStringList& buttons, const std::function<void(QWidget*)>& dismiss) {
    QTimer poll;
    int tries = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            poll.stop();
            dismiss(box);
        } else if (++tries > 200) {
            poll.stop();
            ADD_FAILURE() << "the alert never appeared";
        }
    });
    poll.start(10);
    MessageBoxPresenter presenter;
    return presenter.runModal({"タブロVPN", "タブロVPNを終了しますか？", buttons});
}

TEST(MessageBoxAlert, EscapeAndClosingNeverAnswerYes) {
    const auto escape = [](QWidget* box) {
        EXPECT_EQ(box->windowTitle(), "タブロVPN");
        QTest::keyClick(box, Qt::Key_Escape);
    };
    const auto close = [](QWidget* box) { box->close(); };
    struct Case {
        const char* name;
        QStringList buttons;
        std::function<void(QWidget*)> dismiss;
        int want;
    } cases[] = {
        {"escape", {"いいえ", "はい"}, escape, 0},
        {"close", {"いいえ", "はい"}, close, 0},
        {"escape, no second", {"はい", "いいえ"}, escape, 1},
        {"escape, single button", {"OK"}, escape, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answerBy(c.buttons, c.dismiss), c.want);
    }
}

// Each line of an alert's texts is laid out whole when it fits the screen; a line wider than the
// screen still wraps inside the box.
TEST(MessageBoxAlert, LinesStayWholeWhereTheyFit) {
    struct Case {
        const char* name;
        QString informative;
        bool fits;
    } cases[] = {
        {"quit question", "タブロVPNを終了しますか？", true},
        {"failure notice",
         "VPN接続に失敗しました。プロトコルを変更して再接続してください。\n"
         "突然接続できなくなった場合は、設定から「設定を初期化」ボタンをクリックしてください。",
         true},
        {"wider than the screen", QString(400, QChar(0x3042)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QMessageBox box;
        box.setText("タブロVPN");
        box.setInformativeText(c.informative);
        box.addButton("OK", QMessageBox::AcceptRole);
        MessageBoxPresenter::keepLinesWhole(box);
        box.show();
        QApplication::processEvents();
        QLabel* label = nullptr;
        for (QLabel* l : box.findChildren<QLabel*>())
            if (l->text() == c.informative) label = l;
        ASSERT_NE(label, nullptr);
        const QFontMetrics metrics(label->font());
        const QStringList lines = c.informative.split('\n');
        int widest = 0;
        for (const QString& line : lines)
            widest = std::max(widest, metrics.horizontalAdvance(line));
        const int screenWidth = box.screen()->availableGeometry().width();
        EXPECT_LE(box.width(), screenWidth);
        // The height the text takes when nothing limits its width: one row per line.
        const int unbroken = label->heightForWidth(100000);
        if (c.fits) {
            EXPECT_GE(label->contentsRect().width(), widest);
            EXPECT_EQ(label->height(), unbroken) << "a line was broken";
        } else {
            EXPECT_GT(label->height(), unbroken) << "wrapped";
            // In lines of a reading measure (or as wide as the screen allows), not a narrow column.
            const int measure = 30 * metrics.horizontalAdvance(QChar(0x3042));
            EXPECT_GE(label->contentsRect().width(), std::min(measure, screenWidth / 2));
        }
        box.hide();
    }
}

TEST(WindowFrames, GrowingUpwardsKeepsTheTitleBandOnScreen) {
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget w(nullptr, Qt::Window | Qt::FramelessWindowHint);
    struct Case {
        int top, from, to, wantTop;
    } cases[] = {
        {avail.top() + 300, 200, 240, avail.top() + 260}, // room above: the bottom edge stays
        {avail.top() + 10, 200, 280, avail.top()},        // would reach above the screen: moves down
        {avail.top(), 280, 200, avail.top() + 80},        // shrinking keeps the bottom edge
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.top);
        w.setGeometry(avail.left() + 20, c.top, 340, c.from);
        w.show();
        QTest::qWait(20);
        frames::setWindowHeightKeepingOrigin(&w, c.to);
        EXPECT_EQ(w.height(), c.to);
        EXPECT_EQ(w.frameGeometry().top(), c.wantTop);
        EXPECT_TRUE(avail.contains(w.frameGeometry()));
    }

    // A window placed past any edge comes back whole.
    const QRect inside = frames::keptInside(QRect(avail.right() - 10, avail.top() - 50, 340, 200), avail);
    EXPECT_TRUE(avail.contains(inside));
    EXPECT_EQ(inside.size(), QSize(340, 200));
    w.move(avail.left() - 100, avail.bottom() - 20);
    frames::keepOnScreen(&w);
    EXPECT_TRUE(avail.contains(w.frameGeometry()));
}

} // namespace
