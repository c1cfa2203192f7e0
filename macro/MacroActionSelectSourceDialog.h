#pragma once

#include "MacroItem.h"
#include "widgets/ScreenSourceChooser.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

// Edits the source of a select-source action: a display, a window picked in the window
// selector, or a rectangle dragged with the area selector; and system sound, a microphone or
// none.
class MacroActionSelectSourceDialog : public QDialog
{
    Q_OBJECT

public:
    using WindowPicker = ScreenSourceChooser::WindowPicker;

    explicit MacroActionSelectSourceDialog(QWidget* parent = nullptr);

    void setItem(const MacroAction& action);
    MacroAction item() const { return action_; }
    // Replaces the thumbnail picker (tests).
    void setWindowPicker(WindowPicker picker) { screen_.setWindowPicker(std::move(picker)); }

public Q_SLOTS:
    void handleCheckBoxScreenCheckStateChanged(int state);
    void handleCheckBoxAudioInputCheckStateChanged(int state);
    void handleComboBoxScreenTypeActivated(int index);
    void renderRecordingScreenWidgets();
    void renderRecordingAudioInputWidgets();
    void updateUIforItem();
    void acceptDialog();
    // The rectangle the area selector reported, in desktop pixels.
    void setRecordingRectangle(const QRect& rect);

private:
    QCheckBox* checkBoxScreen_;
    QComboBox* comboBoxScreenType_;
    QComboBox* comboBoxScreenIndex_;
    QLabel* labelRecordingRectangle_;
    QCheckBox* checkBoxAudioInput_;
    QComboBox* comboBoxAudioInput_;
    QPushButton* pushButtonOK_;
    MacroAction action_{MacroActionType::SelectSource, {}};
    ScreenSourceChooser screen_;
};
