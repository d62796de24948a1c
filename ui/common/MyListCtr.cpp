#include "ui/common/MyListCtr.h"

#include <QHeaderView>

CMyListCtr::CMyListCtr(QWidget *parent) : QTableWidget(parent)
{
    // Report view: full-row selection, a row selected by hovering, grid lines.
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setMouseTracking(true);
    verticalHeader()->hide();
    horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setStretchLastSection(false);
    setWordWrap(false);
    connect(this, &QTableWidget::cellEntered, this, [this](int row, int) { HoverRow(row); });
}

void CMyListCtr::SetColumns(const QStringList &titles, const QList<int> &widths)
{
    setColumnCount(int(titles.size()));
    setHorizontalHeaderLabels(titles);
    for (int c = 0; c < titles.size() && c < widths.size(); ++c)
        setColumnWidth(c, widths[c]);
}

void CMyListCtr::SetRowCount(int rows)
{
    const int before = rowCount();
    if (rows == before) return;
    setRowCount(rows);
    // Rows that go take their colours with them; new rows start plain.
    rowColours_.resize(rows, -1);
    for (int r = before; r < rows; ++r)
        for (int c = 0; c < columnCount(); ++c) {
            auto *cell = new QTableWidgetItem;
            cell->setTextAlignment(Qt::AlignCenter);
            setItem(r, c, cell);
        }
}

void CMyListCtr::SetCellText(int row, int column, const QString &text)
{
    QTableWidgetItem *cell = item(row, column);
    if (!cell) {
        cell = new QTableWidgetItem;
        cell->setTextAlignment(Qt::AlignCenter);
        setItem(row, column, cell);
    }
    if (cell->text() != text) cell->setText(text);
}

void CMyListCtr::SetRowMark(int row, int32_t rgb, const QString &tip)
{
    if (row < 0 || row >= rowCount()) return;
    if (rowColours_.size() < rowCount()) rowColours_.resize(rowCount(), -1);
    const bool recolour = rowColours_[row] != rgb;
    rowColours_[row] = rgb;
    for (int c = 0; c < columnCount(); ++c) {
        QTableWidgetItem *cell = item(row, c);
        if (!cell) continue;
        if (recolour) {
            if (rgb < 0)
                cell->setData(Qt::BackgroundRole, QVariant());
            else
                cell->setBackground(QColor::fromRgb(QRgb(uint32_t(rgb))));
        }
        if (cell->toolTip() != tip) cell->setToolTip(tip);
    }
}

void CMyListCtr::BeginRefresh() { viewport()->setUpdatesEnabled(false); }

void CMyListCtr::EndRefresh()
{
    viewport()->setUpdatesEnabled(true);
    viewport()->update();
}

void CMyListCtr::HoverRow(int row)
{
    if (row >= 0 && row < rowCount() && currentRow() != row) selectRow(row);
}
