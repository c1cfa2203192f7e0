#include "AccessibleTableView.h"

#include <QHeaderView>
#include <QPointer>
#include <QTableView>

namespace {

// One cell, or with -1 for the row or the column a header, read from the model when asked.
class TableCell : public QAccessibleInterface
{
public:
    TableCell(QTableView* view, int row, int column) : view_(view), row_(row), column_(column) {}

    bool isValid() const override
    {
        return view_ && view_->model() && row_ < view_->model()->rowCount(view_->rootIndex()) &&
               column_ < view_->model()->columnCount(view_->rootIndex());
    }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override
    {
        return QAccessible::queryAccessibleInterface(view_);
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    void setText(QAccessible::Text, const QString&) override {}
    QAccessible::Role role() const override
    {
        if (row_ >= 0 && column_ >= 0)
            return QAccessible::Cell;
        return column_ < 0 ? QAccessible::RowHeader : QAccessible::ColumnHeader;
    }

    QString text(QAccessible::Text type) const override
    {
        if (type != QAccessible::Name || !isValid())
            return {};
        const QAbstractItemModel* model = view_->model();
        if (row_ >= 0 && column_ >= 0) {
            const QModelIndex index = model->index(row_, column_, view_->rootIndex());
            const QVariant spoken = index.data(Qt::AccessibleTextRole);
            return (spoken.isValid() ? spoken : index.data()).toString();
        }
        if (row_ < 0 && column_ < 0)
            return {};
        return row_ < 0 ? model->headerData(column_, Qt::Horizontal).toString()
                        : model->headerData(row_, Qt::Vertical).toString();
    }

    QRect rect() const override
    {
        if (!isValid() || (row_ < 0 && column_ < 0))
            return {};
        QHeaderView* header = headerView();
        QRect area;
        if (!header)
            area = view_->visualRect(view_->model()->index(row_, column_, view_->rootIndex()));
        else if (header->orientation() == Qt::Horizontal)
            area = QRect(header->sectionViewportPosition(column_), 0, header->sectionSize(column_),
                         header->height());
        else
            area = QRect(0, header->sectionViewportPosition(row_), header->width(),
                         header->sectionSize(row_));
        const QWidget* on = header ? header->viewport() : view_->viewport();
        return QRect(on->mapToGlobal(area.topLeft()), area.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.invisible = true;
        if (!isValid())
            return state;
        const QHeaderView* header = headerView();
        state.invisible = (header && header->isHidden()) ||
                          !QRect(view_->mapToGlobal(QPoint()), view_->size()).intersects(rect());
        if (!header) {
            const QModelIndex index = view_->model()->index(row_, column_, view_->rootIndex());
            state.focused = view_->hasFocus() && view_->currentIndex() == index;
            state.selected = view_->selectionModel() && view_->selectionModel()->isSelected(index);
        }
        return state;
    }

private:
    QHeaderView* headerView() const
    {
        if (row_ >= 0 && column_ >= 0)
            return nullptr;
        return row_ < 0 ? view_->horizontalHeader() : view_->verticalHeader();
    }

    QPointer<QTableView> view_;
    int row_;
    int column_;
};

QAccessibleInterface* tableFactory(const QString&, QObject* object)
{
    auto* view = qobject_cast<QTableView*>(object);
    return view ? new AccessibleTableView(view) : nullptr;
}

} // namespace

AccessibleTableView::AccessibleTableView(QTableView* view)
    : QAccessibleWidget(view, QAccessible::Table)
{
}

AccessibleTableView::~AccessibleTableView()
{
    for (const QAccessible::Id id : std::as_const(cells_))
        QAccessible::deleteAccessibleInterface(id);
}

void AccessibleTableView::install()
{
    static const bool installed = (QAccessible::installFactory(tableFactory), true);
    Q_UNUSED(installed);
}

QTableView* AccessibleTableView::view() const
{
    return static_cast<QTableView*>(widget());
}

int AccessibleTableView::childCount() const
{
    const QAbstractItemModel* model = view()->model();
    return model ? (model->rowCount(view()->rootIndex()) + 1) *
                       (model->columnCount(view()->rootIndex()) + 1)
                 : 0;
}

QAccessibleInterface* AccessibleTableView::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    const QAbstractItemModel* model = view()->model();
    const int columns = model->columnCount(view()->rootIndex()) + 1;
    const int row = index / columns - 1;
    const int column = index % columns - 1;
    if (row >= 0 && column >= 0)
        if (QWidget* widget = view()->indexWidget(model->index(row, column, view()->rootIndex())))
            return QAccessible::queryAccessibleInterface(widget);
    QAccessible::Id& id = cells_[{row, column}];
    if (!id)
        id = QAccessible::registerAccessibleInterface(new TableCell(view(), row, column));
    return QAccessible::accessibleInterface(id);
}

int AccessibleTableView::indexOfChild(const QAccessibleInterface* child) const
{
    for (int index = 0; index < childCount(); ++index)
        if (this->child(index) == child)
            return index;
    return -1;
}
