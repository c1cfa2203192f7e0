#include "ScreenSourceChooser.h"

#include "widgets/AreaSelector.h"
#include "widgets/SourceLists.h"
#include "widgets/WindowSelectorThumbnailView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

namespace {

bool pickWithThumbnails(QWidget* parent, WindowIdentity* picked)
{
    WindowSelectorThumbnailView selector(parent);
    if (selector.exec() != QDialog::Accepted || !selector.selectedWindow)
        return false;
    *picked = WindowSelectorThumbnailView::windowIdentity(selector.selectedWindow);
    return true;
}

} // namespace

ScreenSourceChooser::ScreenSourceChooser(QWidget* dialog, QCheckBox* enabled, QComboBox* kind,
                                         QComboBox* list, QLabel* rectangle)
    : dialog_(dialog), enabled_(enabled), kind_(kind), list_(list), rectangle_(rectangle),
      picker_(pickWithThumbnails)
{
}

void ScreenSourceChooser::activate(int kind)
{
    if (kind == Window) {
        WindowIdentity picked;
        if (picker_ && picker_(dialog_, &picked))
            window_ = picked;
        showWindow(window_);
    } else if (kind == Custom) {
        auto* selector = new AreaSelector(dialog_);
        selector->setObjectName(QStringLiteral("areaSelector"));
        QObject::connect(selector, &AreaSelector::areaSelected, dialog_,
                         [this](const QRect& rect) { showRectangle(rect); });
        selector->show();
    } else {
        sourcelists::fillDisplays(list_);
    }
    render();
}

void ScreenSourceChooser::showDisplay(int index)
{
    sourcelists::fillDisplays(list_);
    list_->setCurrentIndex(index);
}

void ScreenSourceChooser::showWindow(const WindowIdentity& window)
{
    window_ = window;
    list_->clear();
    if (!window_.exeName.isEmpty() || window_.pid)
        list_->addItem(window_.exeName);
}

void ScreenSourceChooser::showRectangle(const QRect& rect)
{
    rectangle_->setText(sourcelists::rectangleText(rect));
}

void ScreenSourceChooser::render()
{
    const bool screen = enabled_->isChecked();
    const bool custom = kind_->currentIndex() == Custom;
    kind_->setEnabled(screen);
    list_->setEnabled(screen);
    rectangle_->setEnabled(screen);
    list_->setVisible(!custom);
    rectangle_->setVisible(custom);
}

int ScreenSourceChooser::kind() const
{
    return kind_->currentIndex();
}

int ScreenSourceChooser::displayIndex() const
{
    return list_->currentIndex();
}

QRect ScreenSourceChooser::rectangle() const
{
    return sourcelists::rectangleFromText(rectangle_->text());
}
