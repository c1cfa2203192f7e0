#pragma once

#include "ScheduleItem.h"
#include "macro/MacroItem.h"
#include "widgets/ScreenSourceChooser.h"
#include "platform/WindowSystem.h"

#include <QDialog>

#include <functional>
#include <optional>

class NewMacroDialog;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimeEdit;

// Edits one schedule: its name, when it runs (once, daily or on chosen weekdays) and what it
// does then, record a source or run a macro. It refuses what cannot run and what overlaps
// another enabled schedule; storing the result is the caller's job. Adding or editing a macro
// from here changes the macro store at once.
class NewScheduleDialog : public QDialog
{
    Q_OBJECT

public:
    // Asks the user for a window; false when none was chosen.
    using WindowPicker = ScreenSourceChooser::WindowPicker;
    // Runs the macro dialog; true when it was accepted.
    using MacroDialogRunner = std::function<bool(NewMacroDialog* dialog)>;

    explicit NewScheduleDialog(QWidget* parent = nullptr);

    // In edit mode the overlap test leaves out the schedule's own stored version.
    void setEditMode(bool editMode) { editMode_ = editMode; }
    // Copies every field; in edit mode also fills the form from it.
    void setItem(const ScheduleItem& item);
    ScheduleItem item() const { return item_; }

    // Replace the window selector and the macro dialog (tests).
    void setWindowPicker(WindowPicker picker) { screen_.setWindowPicker(std::move(picker)); }
    void setMacroDialogRunner(MacroDialogRunner runner) { macroDialogRunner_ = std::move(runner); }

public Q_SLOTS:
    void acceptDialog();
    void cancelDialog();
    void handleCheckBoxScreenCheckStateChanged(int state);
    void handleCheckBoxAudioInputCheckStateChanged(int state);
    void handleComboBoxScreenTypeActivated(int index);
    void handleCheckBoxRecordingDurationToggled(bool checked);
    void handleTimeEditRecordingDurationTimeChanged(QTime duration);
    void handleTimeEditStartTimeTimeChanged(QTime start);
    void handleComboBoxMacroListActivated(int index);
    void handlePushButtonMacroSettingsClicked();
    void handlePushButtonMacroExecutionClicked();
    void handleMacroExecutionFinished();
    // The rectangle the area selector reported, in desktop pixels.
    void setRecordingRectangle(const QRect& rect);

private:
    // A new schedule: once, starting in a minute, for a minute.
    void showDefaults();
    void connectWidgets();
    QWidget* buildTimeSetting();
    QWidget* buildRecordingTab();
    QWidget* buildMacroTab();
    void renderRepeatWidgets();
    void renderRecordingScreenWidgets();
    void fillMacroList(std::uint64_t selectedId);
    void showMacroDuration();
    // The macro of the chosen entry; 0 for none or the "Add new macro ..." entry.
    std::uint64_t chosenMacroId() const;
    std::optional<MacroItem> chosenMacro() const;
    void applyDuration();
    void loadForm();
    ScheduleRepeatType repeatType() const;
    QList<int> checkedDays() const;
    QDateTime startDateTime() const;
    QDateTime endDateTime() const;
    // The times the form gives, as the schedule keeps them: a macro's length sets its end.
    ScheduleItem formTimes() const;
    bool validateInput();
    void warn(const QString& text);

    QLineEdit* lineEditScheduleName_;
    QRadioButton* radioButtonRepeatOneTime_;
    QRadioButton* radioButtonRepeatDaily_;
    QRadioButton* radioButtonRepeatWeekly_;
    QFrame* frameWeeklyDayPicker_;
    QList<QCheckBox*> dayBoxes_; // Monday ... Sunday
    QDateEdit* dateEditStartTime_;
    QTimeEdit* timeEditStartTime_;
    QDateEdit* dateEditEndTime_;
    QTimeEdit* timeEditEndTime_;
    QCheckBox* checkBoxRecordingDuration_;
    QTimeEdit* timeEditRecordingDuration_;
    QTabWidget* tabWidget_;
    QCheckBox* checkBoxScreen_;
    QComboBox* comboBoxScreenType_;
    QComboBox* comboBoxScreenIndex_;
    QLabel* labelRecordingRectangle_;
    QCheckBox* checkBoxAudioInput_;
    QComboBox* comboBoxAudioInput_;
    QComboBox* comboBoxMacroList_;
    QLabel* labelMacroDuration_;
    QPushButton* pushButtonMacroSettings_;
    QPushButton* pushButtonMacroExecute_;
    ScheduleItem item_;
    bool editMode_ = false;
    ScreenSourceChooser screen_;
    MacroDialogRunner macroDialogRunner_;
};
