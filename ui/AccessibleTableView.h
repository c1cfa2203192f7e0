#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPair>

class QTableView;

// What a screen reader finds in a table view: the headers and the cells, each with its text, and
// in place of a cell the widget a dialog put there (setIndexWidget), with its buttons. Qt's own
// table interface leaves such widgets out, so a row's buttons could be neither found nor pressed.
// Children are numbered as Qt numbers a table's cells (corner, headers, then the rows with their
// row header first), so that Qt's focus and selection reports name the right cell.
class AccessibleTableView : public QAccessibleWidget
{
public:
    explicit AccessibleTableView(QTableView* view);
    ~AccessibleTableView() override;

    // Gives every table view of the application this interface. Call once the application
    // object exists and before the first window; calling it again is harmless.
    static void install();

    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;

private:
    QTableView* view() const;

    // The interfaces of cells without a widget, by (row, column), -1 for a header; made when
    // first asked for, so their ids stay the same while the table lives.
    mutable QHash<QPair<int, int>, QAccessible::Id> cells_;
};
