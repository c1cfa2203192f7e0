// The settings dialog (the name is the one the rest of the program knows): a plain Qt dialog,
// nothing in it is tied to one system.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

namespace Ui {
class settings_win;
}

// Edits the recording settings in settings.ini: video and audio format, capture method, output
// size, quality, bitrates, frame rate, output folder and file name, preview, language and the tab
// capture port. Save writes every setting it can and warns about each one it refuses; the dialog
// closes only when nothing was refused. The language, the two hotkey rows and the schedule and
// macro lists take effect at once, without Save. GUI thread only.
class settings_win : public QDialog
{
    Q_OBJECT

public:
    // Seams for tests: the warning boxes, the folder picker and running the dialogs opened from
    // here (schedules, macros, all hotkeys).
    using BoxHandler = std::function<void(const QString& title, const QString& text)>;
    using FolderChooser =
        std::function<QString(QWidget* parent, const QString& caption, const QString& startFolder)>;
    using DialogRunner = std::function<void(QDialog* dialog)>;

    explicit settings_win(QWidget* parent = nullptr);
    ~settings_win() override;

    void setBoxHandler(BoxHandler handler);
    void setFolderChooser(FolderChooser chooser);
    void setDialogRunner(DialogRunner runner);

public slots:
    void saveSettings();
    void cancelDialog();
    // Offers the sound formats the video format's container takes.
    void onVideoFormatChanged(const QString& format);
    void onAudioFormatChanged(const QString& format);
    void onUserDefineFileNameToggled(bool checked);
    void browseOutputFolder();
    void openScheduleSettings();
    void onHotkeyStartStopRecordingToggled(bool checked);
    void onHotkeyAreaSelectToggled(bool checked);
    void onHotkeyStartStopRecordingTextChanged(const QString& text);
    void onHotkeyAreaSelectTextChanged(const QString& text);
    void openHotkeySettings();
    void openMacroSettings();
    void onResolutionChanged(int index);
    void onResolutionWidthHeightChanged();
    void onLanguageChanged();

protected:
    void changeEvent(QEvent* event) override;

private:
    void loadSettings();
    void connectWidgets();
    // Texts set in code, so that a language switch reaches them too.
    void retranslateTexts();
    void refillHotkeys();
    void refreshScheduleCount();
    void refreshMacroCount();
    // Saves the row's check state and text as that hotkey, unless another enabled shortcut already
    // has the same keys: then the row goes back to what is saved and a warning names the other.
    void writeHotkey(int hotkeyId);
    void warn(const QString& title, const QString& text);
    void runDialog(QDialog* dialog);

    std::unique_ptr<Ui::settings_win> ui;
    BoxHandler boxHandler_;
    FolderChooser folderChooser_;
    DialogRunner dialogRunner_;
};
