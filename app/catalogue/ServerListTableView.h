#pragma once
#include <QString>
#include <QTableWidget>

class QPaintEvent;
struct RegionInfo;

// The region selection list: one row per entry of the server list's region table, in the order of
// their positions in the server list (a skipped region element leaves no row). Two columns,
// "flag" and "region", each cell a view of its own. No header, white, 44-point rows, and separator
// lines only where rows exist.
class ServerListTableView : public QTableWidget {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 44;
    static constexpr int kFlagColumnWidth = 50;
    static constexpr int kRegionColumnWidth = 150;

    explicit ServerListTableView(QWidget* parent = nullptr);

    // Number of rows the region table gives.
    static int numberOfRows();
    // The region of row r (stored regions ordered by position), or nullptr.
    static const RegionInfo* regionAt(int row);
    // Rebuilds the rows from the region table; a selected row that still exists stays selected.
    void reloadData();
    // The cell view of the column with that identifier for row r (an empty 40x40 view for an
    // identifier that is not a column of the list).
    QWidget* viewForTableColumn(const QString& identifier, int row);
    QString columnIdentifier(int column) const;
    // The selected row, or -1.
    int selectedRow() const;
    // The part of clip (viewport coordinates) that lies over existing rows; empty without rows.
    QRect gridRect(const QRect& clip) const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
