#include "SettingsFixture.h"

#include "app/catalogue/ServerListTableView.h"
#include "app/connection/ConnectionWindow.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>

namespace {

class ServerSelectionTest : public SettingsFixture {
protected:
    ConnectionWindow& cw() { return *app->connectionWindow; }
    ServerListTableView& table() { return *cw().selServerTableView; }
    QLabel* cellLabel(int row, int column) {
        QWidget* cell = table().cellWidget(row, column);
        return cell ? cell->findChild<QLabel*>() : nullptr;
    }
    QPushButton* closeButton() {
        return cw().selServerWindow->findChild<QPushButton*>("selServerCloseButton");
    }
};

TEST_F(ServerSelectionTest, ListShowsEveryRegionWithFlagAndName) {
    setRegions({{"日本", "0", 0}, {"ナルニア", "1", 1}, {"韓国", "2", 2}});
    app->serverSelButton->click();
    ASSERT_TRUE(cw().selServerWindow && cw().selServerWindow->isVisible());
    ASSERT_EQ(table().rowCount(), 3);
    EXPECT_TRUE(table().horizontalHeader()->isHidden());
    EXPECT_EQ(table().columnIdentifier(0), "flag");
    EXPECT_EQ(table().columnIdentifier(1), "region");
    EXPECT_EQ(table().columnWidth(0), 50);
    EXPECT_EQ(table().columnWidth(1), 150);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(table().rowHeight(r), 44);
    EXPECT_EQ(cellLabel(1, 1)->text(), "ナルニア");
    EXPECT_EQ(cellLabel(0, 0)->property("imageName").toString(), "flg_jpn");
    EXPECT_EQ(cellLabel(1, 0)->property("imageName").toString(), "flg_blk"); // not in the flag table
    EXPECT_FALSE(cellLabel(1, 0)->pixmap().isNull());
    EXPECT_EQ(table().palette().color(QPalette::Base), QColor(Qt::white));
    // Rebuilding leaves no replaced cell view showing.
    table().reloadData();
    int shown = 0;
    for (QLabel* l : table().viewport()->findChildren<QLabel*>())
        shown += l->isVisibleTo(table().viewport());
    EXPECT_EQ(shown, 6);
    // Any other column identifier gives an empty 40x40 view.
    std::unique_ptr<QWidget> other(table().viewForTableColumn("other", 0));
    EXPECT_EQ(other->size(), QSize(40, 40));
    EXPECT_TRUE(other->children().isEmpty());
}

TEST_F(ServerSelectionTest, GridStopsBelowTheLastRow) {
    setRegions({{"日本", "0", 0}, {"韓国", "1", 1}});
    cw().onServerSelButton();
    const QRect all = table().viewport()->rect();
    EXPECT_EQ(table().gridRect(all), QRect(0, 0, 200, 88));
    const QImage shot = table().viewport()->grab().toImage();
    const int x = 120 * shot.width() / all.width();
    const auto at = [&](int y) { return shot.pixelColor(x, y * shot.height() / all.height()); };
    EXPECT_NE(at(43), QColor(Qt::white)); // separator under the first row
    EXPECT_NE(at(87), QColor(Qt::white));
    for (int y : {120, 176, 300})
        EXPECT_EQ(at(y), QColor(Qt::white)) << y; // empty area: no lines

    setRegions({});
    cw().selServerWindow->close(); // nothing selected: just closes
    cw().onServerSelButton();
    EXPECT_EQ(table().rowCount(), 0);
    EXPECT_TRUE(table().gridRect(all).isEmpty());
}

TEST_F(ServerSelectionTest, ClosingWithoutSelectionKeepsWindowAndPreferences) {
    setRegions({{"日本", "0", 0}, {"韓国", "1", 1}});
    prefs().setString("Region", "日本");
    cw().onServerSelButton();
    closeButton()->click();
    EXPECT_TRUE(cw().selServerWindow->isVisible());
    EXPECT_EQ(prefs().string("Region"), "日本");
    EXPECT_FALSE(prefs().hasObject("regionNumber"));

    // An empty list has nothing to choose: the button closes the window.
    setRegions({});
    table().reloadData();
    closeButton()->click();
    EXPECT_FALSE(cw().selServerWindow->isVisible());
}

TEST_F(ServerSelectionTest, RowZeroSelectsTheFirstRegionWhateverItsNumber) {
    setRegions({{"韓国", "7", 0}, {"日本", "0", 1}});
    cw().onServerSelButton();
    table().selectRow(0);
    closeButton()->click();
    EXPECT_FALSE(cw().selServerWindow->isVisible());
    EXPECT_EQ(prefs().string("Region"), "韓国");
    EXPECT_EQ(prefs().string("regionNumber"), "7");
    EXPECT_EQ(app->region->text(), "韓国");

    // Closing the window by other means with a row selected applies it once, too.
    cw().onServerSelButton();
    table().selectRow(1);
    cw().selServerWindow->close();
    EXPECT_FALSE(cw().selServerWindow->isVisible());
    EXPECT_EQ(prefs().string("Region"), "日本");
    EXPECT_EQ(prefs().string("regionNumber"), "0");
}

} // namespace
