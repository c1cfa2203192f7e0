#include "WindowSelectorThumbnailView.h"

#include "ui_WindowSelectorThumbnailView.h"

WindowSelectorThumbnailView::WindowSelectorThumbnailView(QWidget* parent,
                                                         std::unique_ptr<WindowSystem> windowSystem)
    : QDialog(parent), ui(std::make_unique<Ui::WindowSelectorThumbnailView>()),
      windowSystem_(windowSystem ? std::move(windowSystem) : WindowSystem::create())
{
    ui->setupUi(this);
}

WindowSelectorThumbnailView::~WindowSelectorThumbnailView() = default;

WindowIdentity WindowSelectorThumbnailView::windowIdentity(NativeWindow window)
{
    const auto system = WindowSystem::create();
    return system ? system->windowIdentity(window) : WindowIdentity{};
}

NativeWindow WindowSelectorThumbnailView::findWindowByIdentity(const WindowIdentity& identity)
{
    const auto system = WindowSystem::create();
    return system ? system->findWindowByIdentity(identity) : 0;
}

void WindowSelectorThumbnailView::refreshWindowList() {}

void WindowSelectorThumbnailView::confirmSelection()
{
    if (!selectedTitle.isEmpty())
        accept();
}

void WindowSelectorThumbnailView::cancelSelection()
{
    reject();
}

bool WindowSelectorThumbnailView::eventFilter(QObject* watched, QEvent* event)
{
    return QDialog::eventFilter(watched, event);
}

QWidget* WindowSelectorThumbnailView::createCard(const WindowEntry& entry, int row, int column)
{
    Q_UNUSED(entry);
    Q_UNUSED(row);
    Q_UNUSED(column);
    return nullptr;
}
