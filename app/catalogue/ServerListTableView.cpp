#include "app/catalogue/ServerListTableView.h"

#include "app/catalogue/PexXmlParser.h"
#include "platform/qt/Frames.h"
#include "platform/qt/Images.h"

#include <QHeaderView>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr const char* kFlag = "flag";
constexpr const char* kRegion = "region";
const QColor kGridColor(224, 224, 224);


// A flag image scaled down to fit the box, keeping its proportions.
QPixmap flagImage(const QString& name, const QSize& box) {
    const QPixmap natural = images::imageNamed(name);
    if (natural.isNull()) return natural;
    const QSize fitted = natural.deviceIndependentSize().toSize().scaled(box, Qt::KeepAspectRatio);
    return images::imageNamed(name, fitted.isEmpty() ? box : fitted);
}

} // namespace

ServerListTableView::ServerListTableView(QWidget* parent) : QTableWidget(parent) {
    setColumnCount(2);
    setHorizontalHeaderItem(0, new QTableWidgetItem(kFlag));
    setHorizontalHeaderItem(1, new QTableWidgetItem(kRegion));
    setColumnWidth(0, kFlagColumnWidth);
    setColumnWidth(1, kRegionColumnWidth);
    horizontalHeader()->hide();
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    verticalHeader()->setMinimumSectionSize(kRowHeight);
    // The built-in grid would also cover the empty area below the last row; paintEvent draws
    // separators for existing rows only.
    setShowGrid(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setFrameShape(QFrame::NoFrame);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);
    viewport()->setAutoFillBackground(true);
    reloadData();
}

const RegionInfo* ServerListTableView::regionAt(int row) {
    if (row < 0 || static_cast<size_t>(row) >= PexXmlParser::_regionInfos.size()) return nullptr;
    std::vector<const RegionInfo*> ordered;
    ordered.reserve(PexXmlParser::_regionInfos.size());
    for (const auto& [key, info] : PexXmlParser::_regionInfos)
        ordered.push_back(&info);
    std::sort(ordered.begin(), ordered.end(), [](const RegionInfo* a, const RegionInfo* b) { return a->Row < b->Row; });
    return ordered[static_cast<size_t>(row)];
}

int ServerListTableView::numberOfRows() {
    return static_cast<int>(PexXmlParser::_regionInfos.size());
}

void ServerListTableView::reloadData() {
    const int previous = selectedRow();
    clearSelection();
    // Replaced cell views are only deleted later; until then they must not show at stale places.
    for (int r = 0; r < rowCount(); ++r)
        for (int c = 0; c < columnCount(); ++c)
            if (QWidget* old = cellWidget(r, c)) old->hide();
    const int rows = numberOfRows();
    setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        setRowHeight(r, kRowHeight);
        for (int c = 0; c < columnCount(); ++c)
            setCellWidget(r, c, viewForTableColumn(columnIdentifier(c), r));
    }
    if (previous >= 0 && previous < rows) selectRow(previous);
}

QString ServerListTableView::columnIdentifier(int column) const {
    const QTableWidgetItem* item = horizontalHeaderItem(column);
    return item ? item->text() : QString();
}

QWidget* ServerListTableView::viewForTableColumn(const QString& identifier, int row) {
    const RegionInfo* info = regionAt(row);
    if (identifier == kFlag) {
        setColumnWidth(0, kFlagColumnWidth);
        auto* cell = new QWidget;
        cell->setObjectName(kFlag);
        cell->resize(kFlagColumnWidth, kRowHeight);
        auto* image = new QLabel(cell);
        frames::setFrameBL(image, QRect(0, 0, 48, 48));
        image->setAlignment(Qt::AlignCenter);
        if (info) {
            const QString name = QString::fromStdString(info->getImage());
            image->setPixmap(flagImage(name, image->size()));
            image->setProperty("imageName", name);
        }
        return cell;
    }
    if (identifier == kRegion) {
        setColumnWidth(1, kRegionColumnWidth);
        auto* cell = new QWidget;
        cell->setObjectName(kRegion);
        cell->resize(kRegionColumnWidth, kRowHeight);
        auto* text = new QLabel(cell);
        frames::setFrameBL(text, QRect(10, 0, 340, 34));
        text->setTextFormat(Qt::PlainText); // the name comes from the service
        text->setTextInteractionFlags(Qt::NoTextInteraction);
        text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        text->setStyleSheet("color: black; background: rgba(239, 239, 239, 0); border: none;");
        QFont f = text->font();
        f.setPixelSize(15);
        text->setFont(f);
        if (info) text->setText(QString::fromStdString(info->Region));
        return cell;
    }
    auto* empty = new QWidget;
    empty->resize(40, 40);
    return empty;
}

int ServerListTableView::selectedRow() const {
    const QModelIndexList rows = selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? -1 : rows.first().row();
}

QRect ServerListTableView::gridRect(const QRect& clip) const {
    const int rows = rowCount();
    if (rows == 0) return {};
    const int top = rowViewportPosition(0);
    const int bottom = rowViewportPosition(rows - 1) + rowHeight(rows - 1);
    const QRect covered(-horizontalOffset(), top, horizontalHeader()->length(), bottom - top);
    return covered.intersected(clip);
}

void ServerListTableView::paintEvent(QPaintEvent* event) {
    QTableWidget::paintEvent(event);
    const QRect area = gridRect(event->rect());
    if (area.isEmpty()) return;
    QPainter painter(viewport());
    painter.setClipRect(area);
    painter.setPen(kGridColor);
    const int rows = rowCount();
    const int right = -horizontalOffset() + horizontalHeader()->length() - 1;
    const int first = std::max(0, rowAt(area.top()));
    const int last = rowAt(area.bottom()) < 0 ? rows - 1 : rowAt(area.bottom());
    for (int r = first; r <= last && r < rows; ++r) {
        const int y = rowViewportPosition(r) + rowHeight(r) - 1;
        painter.drawLine(-horizontalOffset(), y, right, y);
    }
    const int top = rowViewportPosition(0);
    const int bottom = rowViewportPosition(rows - 1) + rowHeight(rows - 1) - 1;
    for (int c = 0; c + 1 < columnCount(); ++c) {
        const int x = columnViewportPosition(c) + columnWidth(c) - 1;
        painter.drawLine(x, top, x, bottom);
    }
}
