#pragma once

#include "platform/WindowSystem.h"

#include <QDialog>
#include <QHash>

#include <memory>

namespace Ui {
class WindowSelectorThumbnailView;
}

// Modal picker of the window to record: every recordable top-level window as a card with a
// thumbnail and its title, three to a row. After acceptance selectedTitle and selectedWindow
// name the chosen window.
class WindowSelectorThumbnailView : public QDialog
{
    Q_OBJECT

public:
    // A null windowSystem means the display's own (WindowSystem::create()); without a display
    // the list stays empty.
    explicit WindowSelectorThumbnailView(QWidget* parent = nullptr,
                                         std::unique_ptr<WindowSystem> windowSystem = nullptr);
    ~WindowSelectorThumbnailView() override;

    // The identity that schedules and macros store for a window, and the lookup that finds the
    // window again; both on a connection of their own. Empty identity / 0 without a display.
    static WindowIdentity windowIdentity(NativeWindow window);
    static NativeWindow findWindowByIdentity(const WindowIdentity& identity);

    QString selectedTitle;
    NativeWindow selectedWindow = 0;

public slots:
    void refreshWindowList();
    void confirmSelection();
    void cancelSelection();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* createCard(const WindowEntry& entry, int row, int column);
    void selectCard(QWidget* card);
    void showNoSelectionWarning();

    std::unique_ptr<Ui::WindowSelectorThumbnailView> ui;
    std::unique_ptr<WindowSystem> windowSystem_;
    QHash<QWidget*, WindowEntry> cards_;
    QWidget* selectedCard_ = nullptr;
    bool warningShown_ = false; // the picker stays open under its own warning
};
