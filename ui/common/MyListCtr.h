#pragma once
// CMyListCtr: the report-view list of the steady-state viewer. It is refreshed
// twice a second, so it keeps its rows and items and only changes the texts
// that differ; the whole refresh repaints once. Rebuilding the rows on every
// tick would make the list flash and lose the hover and selection marks.
//
// Window thread only.
#include <QStringList>
#include <QTableWidget>

class CMyListCtr : public QTableWidget {
    Q_OBJECT
public:
    explicit CMyListCtr(QWidget *parent = nullptr);

    // Sets the column titles and widths; every cell is centred.
    void SetColumns(const QStringList &titles, const QList<int> &widths);
    // Makes the list `rows` rows long. Rows already there keep their items;
    // new rows get an empty item in every column.
    void SetRowCount(int rows);
    // Sets a cell's text; an unchanged text is left alone.
    void SetCellText(int row, int column, const QString &text);
    // Gives every cell of a row the background 0xRRGGBB (negative: the
    // list's own) and the tooltip `tip`; unchanged ones are left alone.
    void SetRowMark(int row, int32_t rgb, const QString &tip);
    int32_t RowColour(int row) const { return row >= 0 && row < rowColours_.size() ? rowColours_[row] : -1; }

    // Groups a refresh so that it repaints once.
    void BeginRefresh();
    void EndRefresh();

private:
    void HoverRow(int row);

    QList<int32_t> rowColours_;  // as set by SetRowMark, -1 = none
};
