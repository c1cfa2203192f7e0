#include "NewScheduleDialog.h"

#include "ScheduleRunner.h"
#include "ScheduleStore.h"
#include "macro/MacroBoxes.h"
#include "macro/MacroExecutor.h"
#include "macro/NewMacroDialog.h"
#include "widgets/SourceLists.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <optional>

namespace {

enum Tab { RecordingTab = 0, MacroTab = 1 };

template <typename Widget> Widget* named(Widget* widget, const char* objectName)
{
    widget->setObjectName(QString::fromLatin1(objectName));
    return widget;
}

// The edits show whole seconds; a value carrying milliseconds would compare unequal to what
// the user sees.
QTime wholeSeconds(const QTime& time)
{
    return QTime(time.hour(), time.minute(), time.second());
}

} // namespace

NewScheduleDialog::NewScheduleDialog(QWidget* parent)
    : QDialog(parent), lineEditScheduleName_(named(new QLineEdit(this), "lineEditScheduleName")),
      radioButtonRepeatOneTime_(
          named(new QRadioButton(tr("One time"), this), "radioButtonRepeatOneTime")),
      radioButtonRepeatDaily_(named(new QRadioButton(tr("Daily"), this), "radioButtonRepeatDaily")),
      radioButtonRepeatWeekly_(
          named(new QRadioButton(tr("Weekly"), this), "radioButtonRepeatWeekly")),
      frameWeeklyDayPicker_(named(new QFrame(this), "frameWeeklyDayPicker")),
      dateEditStartTime_(named(new QDateEdit(this), "dateEditStartTime")),
      timeEditStartTime_(named(new QTimeEdit(this), "timeEditStartTime")),
      dateEditEndTime_(named(new QDateEdit(this), "dateEditEndTime")),
      timeEditEndTime_(named(new QTimeEdit(this), "timeEditEndTime")),
      checkBoxRecordingDuration_(named(new QCheckBox(this), "checkBoxRecordingDuration")),
      timeEditRecordingDuration_(named(new QTimeEdit(this), "timeEditRecordingDuration")),
      tabWidget_(named(new QTabWidget(this), "tabWidget")),
      checkBoxScreen_(named(new QCheckBox(this), "checkBoxScreen")),
      comboBoxScreenType_(named(new QComboBox(this), "comboBoxScreenType")),
      comboBoxScreenIndex_(named(new QComboBox(this), "comboBoxScreenIndex")),
      labelRecordingRectangle_(named(new QLabel(this), "labelRecordingRectangle")),
      checkBoxAudioInput_(named(new QCheckBox(this), "checkBoxAudioInput")),
      comboBoxAudioInput_(named(new QComboBox(this), "comboBoxAudioInput")),
      comboBoxMacroList_(named(new QComboBox(this), "comboBoxMacroList")),
      labelMacroDuration_(named(new QLabel(this), "labelMacroDuration")),
      pushButtonMacroSettings_(
          named(new QPushButton(tr("Settings"), this), "pushButtonMacroSettings")),
      pushButtonMacroExecute_(named(new QPushButton(this), "pushButtonMacroExecute")),
      screen_(this, checkBoxScreen_, comboBoxScreenType_, comboBoxScreenIndex_,
              labelRecordingRectangle_),
      macroDialogRunner_([](NewMacroDialog* dialog) { return dialog->exec() == QDialog::Accepted; })
{
    setWindowTitle(tr("Schedule"));
    checkBoxScreen_->setAccessibleName(tr("Record the screen"));
    comboBoxScreenType_->setAccessibleName(tr("Capture type"));
    comboBoxScreenIndex_->setAccessibleName(tr("Recording source"));
    checkBoxAudioInput_->setAccessibleName(tr("Record audio"));
    comboBoxAudioInput_->setAccessibleName(tr("Audio source"));
    comboBoxMacroList_->setAccessibleName(tr("Macro to run"));
    // The form labels these only as pairs, and the group box title would name them all alike.
    dateEditStartTime_->setAccessibleName(tr("Start date"));
    timeEditStartTime_->setAccessibleName(tr("Start time"));
    dateEditEndTime_->setAccessibleName(tr("End date"));
    timeEditEndTime_->setAccessibleName(tr("End time"));
    checkBoxRecordingDuration_->setAccessibleName(tr("Limit the recording duration"));
    timeEditRecordingDuration_->setAccessibleName(tr("Recording duration limit"));
    auto* pushButtonOK = new QPushButton(tr("OK"), this);
    pushButtonOK->setObjectName("pushButtonOK");
    pushButtonOK->setDefault(true);
    auto* pushButtonCancel = new QPushButton(tr("Cancel"), this);
    pushButtonCancel->setObjectName("pushButtonCancel");

    auto* name = new QFormLayout;
    name->addRow(tr("Schedule name"), lineEditScheduleName_);
    auto* recording = new QGroupBox(tr("Recording Setting"), this);
    auto* recordingLayout = new QVBoxLayout(recording);
    tabWidget_->addTab(buildRecordingTab(), tr("Custom Recording"));
    tabWidget_->addTab(buildMacroTab(), tr("Macro Execution"));
    recordingLayout->addWidget(tabWidget_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(pushButtonOK);
    buttons->addWidget(pushButtonCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(name);
    layout->addWidget(buildTimeSetting());
    layout->addWidget(recording);
    layout->addLayout(buttons);
    setMinimumWidth(560);

    showDefaults();
    connectWidgets();
    connect(pushButtonOK, &QPushButton::clicked, this, &NewScheduleDialog::acceptDialog);
    connect(pushButtonCancel, &QPushButton::clicked, this, &NewScheduleDialog::cancelDialog);
    renderRepeatWidgets();
    renderRecordingScreenWidgets();
    handleCheckBoxAudioInputCheckStateChanged(checkBoxAudioInput_->checkState());
}

void NewScheduleDialog::showDefaults()
{
    checkBoxScreen_->setChecked(true);
    radioButtonRepeatOneTime_->setChecked(true);
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime start = now.addSecs(60);
    const QDateTime end = now.addSecs(120);
    dateEditStartTime_->setDate(start.date());
    timeEditStartTime_->setTime(wholeSeconds(start.time()));
    dateEditEndTime_->setDate(end.date());
    timeEditEndTime_->setTime(wholeSeconds(end.time()));
    checkBoxRecordingDuration_->setChecked(false);
    timeEditRecordingDuration_->setTime(QTime(0, 1, 0));
    timeEditRecordingDuration_->setEnabled(false);
    sourcelists::fillDisplays(comboBoxScreenIndex_);
    sourcelists::fillAudioInputs(comboBoxAudioInput_);
    fillMacroList(0);
    const QList<ScheduleItem> schedules = ScheduleStore::instance().schedules();
    lineEditScheduleName_->setText(
        tr("Schedule %1").arg(schedules.isEmpty() ? 1 : schedules.last().id + 1));
    tabWidget_->setCurrentIndex(RecordingTab);
    pushButtonMacroExecute_->setText(MacroExecutor::instance()->isExecuting() ? tr("Stop")
                                                                              : tr("Execute"));
}

void NewScheduleDialog::connectWidgets()
{
    MacroExecutor* executor = MacroExecutor::instance();
    for (QRadioButton* radio :
         {radioButtonRepeatOneTime_, radioButtonRepeatDaily_, radioButtonRepeatWeekly_})
        connect(radio, &QRadioButton::toggled, this, &NewScheduleDialog::renderRepeatWidgets);
    connect(timeEditStartTime_, &QTimeEdit::timeChanged, this,
            &NewScheduleDialog::handleTimeEditStartTimeTimeChanged);
    // A new start date moves the end along just like a new start time.
    connect(dateEditStartTime_, &QDateEdit::dateChanged, this,
            [this] { handleTimeEditStartTimeTimeChanged(timeEditStartTime_->time()); });
    connect(checkBoxRecordingDuration_, &QCheckBox::toggled, this,
            &NewScheduleDialog::handleCheckBoxRecordingDurationToggled);
    connect(timeEditRecordingDuration_, &QTimeEdit::timeChanged, this,
            &NewScheduleDialog::handleTimeEditRecordingDurationTimeChanged);
    // toggled rather than stateChanged, which newer Qt versions deprecate.
    connect(checkBoxScreen_, &QCheckBox::toggled, this,
            [this] { handleCheckBoxScreenCheckStateChanged(checkBoxScreen_->checkState()); });
    connect(checkBoxAudioInput_, &QCheckBox::toggled, this, [this] {
        handleCheckBoxAudioInputCheckStateChanged(checkBoxAudioInput_->checkState());
    });
    connect(comboBoxScreenType_, &QComboBox::activated, this,
            &NewScheduleDialog::handleComboBoxScreenTypeActivated);
    connect(comboBoxMacroList_, &QComboBox::activated, this,
            &NewScheduleDialog::handleComboBoxMacroListActivated);
    connect(pushButtonMacroSettings_, &QPushButton::clicked, this,
            &NewScheduleDialog::handlePushButtonMacroSettingsClicked);
    connect(pushButtonMacroExecute_, &QPushButton::clicked, this,
            &NewScheduleDialog::handlePushButtonMacroExecutionClicked);
    connect(executor, &MacroExecutor::requestExecutionStarted, this,
            [this] { pushButtonMacroExecute_->setText(tr("Stop")); });
    connect(executor, &MacroExecutor::requestExecutionStopped, this,
            &NewScheduleDialog::handleMacroExecutionFinished);
    connect(executor, &MacroExecutor::requestExecutionFinished, this,
            &NewScheduleDialog::handleMacroExecutionFinished);
}

QWidget* NewScheduleDialog::buildTimeSetting()
{
    auto* box = new QGroupBox(tr("Time Setting"), this);
    auto* repeat = new QHBoxLayout;
    repeat->addWidget(radioButtonRepeatOneTime_);
    repeat->addWidget(radioButtonRepeatDaily_);
    repeat->addWidget(radioButtonRepeatWeekly_);
    repeat->addStretch();
    auto* days = new QHBoxLayout(frameWeeklyDayPicker_);
    days->setContentsMargins(0, 0, 0, 0);
    const QList<std::pair<const char*, QString>> dayNames = {
        {"checkBoxRepeatMonday", tr("Mon")},    {"checkBoxRepeatTuesday", tr("Tue")},
        {"checkBoxRepeatWednesday", tr("Wed")}, {"checkBoxRepeatThursday", tr("Thu")},
        {"checkBoxRepeatFriday", tr("Fri")},    {"checkBoxRepeatSaturday", tr("Sat")},
        {"checkBoxRepeatSunday", tr("Sun")}};
    for (const auto& [objectName, text] : dayNames) {
        auto* day = new QCheckBox(text, frameWeeklyDayPicker_);
        day->setObjectName(objectName);
        days->addWidget(day);
        dayBoxes_ << day;
    }
    days->addStretch();
    for (QDateEdit* date : {dateEditStartTime_, dateEditEndTime_}) {
        date->setCalendarPopup(true);
        date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    }
    for (QTimeEdit* time : {timeEditStartTime_, timeEditEndTime_})
        time->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    timeEditRecordingDuration_->setDisplayFormat(QStringLiteral("hh:mm:ss"));

    const auto pair = [](QWidget* first, QWidget* second) {
        auto* row = new QHBoxLayout;
        row->addWidget(first);
        row->addWidget(second, 1);
        return row;
    };
    auto* form = new QFormLayout(box);
    form->addRow(tr("Repeat"), repeat);
    form->addRow(QString(), frameWeeklyDayPicker_);
    form->addRow(tr("Start time"), pair(dateEditStartTime_, timeEditStartTime_));
    form->addRow(tr("End Time"), pair(dateEditEndTime_, timeEditEndTime_));
    form->addRow(tr("Duration"), pair(checkBoxRecordingDuration_, timeEditRecordingDuration_));
    return box;
}

QWidget* NewScheduleDialog::buildRecordingTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("tabCustomRecording");
    comboBoxScreenType_->addItems({tr("FullScreen"), tr("Window"), tr("Custom Region")});

    auto* video = new QHBoxLayout;
    video->addWidget(checkBoxScreen_);
    video->addWidget(comboBoxScreenType_);
    video->addWidget(comboBoxScreenIndex_, 1);
    video->addWidget(labelRecordingRectangle_, 1);
    auto* audio = new QHBoxLayout;
    audio->addWidget(checkBoxAudioInput_);
    audio->addWidget(comboBoxAudioInput_, 1);
    auto* form = new QFormLayout(tab);
    form->addRow(tr("Video Input"), video);
    form->addRow(tr("Audio Input"), audio);
    return tab;
}

void NewScheduleDialog::setItem(const ScheduleItem& item)
{
    item_ = item;
    if (editMode_)
        loadForm();
}

void NewScheduleDialog::loadForm()
{
    lineEditScheduleName_->setText(item_.name);
    // Unticked first, so that loading the times does not move the end by a duration.
    checkBoxRecordingDuration_->setChecked(false);
    checkBoxRecordingDuration_->setEnabled(false);
    qint64 lengthSeconds = 0;
    switch (item_.repeatType) {
    case ScheduleRepeatType::OneTime:
        radioButtonRepeatOneTime_->setChecked(true);
        if (item_.oneTimeStart.isValid()) {
            dateEditStartTime_->setDate(item_.oneTimeStart.date());
            timeEditStartTime_->setTime(item_.oneTimeStart.time());
        }
        if (item_.oneTimeEnd.isValid()) {
            dateEditEndTime_->setDate(item_.oneTimeEnd.date());
            timeEditEndTime_->setTime(item_.oneTimeEnd.time());
        }
        if (item_.oneTimeStart.isValid() && item_.oneTimeEnd.isValid())
            lengthSeconds = item_.oneTimeStart.secsTo(item_.oneTimeEnd);
        break;
    case ScheduleRepeatType::Daily:
    case ScheduleRepeatType::Weekly:
        (item_.repeatType == ScheduleRepeatType::Daily ? radioButtonRepeatDaily_
                                                       : radioButtonRepeatWeekly_)
            ->setChecked(true);
        timeEditStartTime_->setTime(item_.startTime);
        timeEditEndTime_->setTime(item_.endTime);
        for (int day = 1; day <= dayBoxes_.size(); ++day)
            dayBoxes_.at(day - 1)->setChecked(item_.daysOfWeek.contains(day));
        lengthSeconds = item_.startTime.secsTo(item_.endTime);
        if (lengthSeconds < 0)
            lengthSeconds += 24 * 3600;
        break;
    }
    // As a time of day: a one-time period of a day and more wraps.
    timeEditRecordingDuration_->setTime(QTime(0, 0).addSecs(int(lengthSeconds % (24 * 3600))));

    if (item_.macroExecution) {
        tabWidget_->setCurrentIndex(MacroTab);
        fillMacroList(item_.macroItemId);
    } else {
        tabWidget_->setCurrentIndex(RecordingTab);
        checkBoxScreen_->setChecked(item_.screenEnabled);
        comboBoxScreenType_->setCurrentIndex(int(item_.screenType));
        switch (item_.screenType) {
        case ScreenSourceType::Fullscreen:
            screen_.showDisplay(item_.screenIndex);
            break;
        case ScreenSourceType::Window:
            screen_.showWindow({item_.windowPid, item_.windowClassName, item_.windowExeName});
            break;
        case ScreenSourceType::CustomRegion:
            screen_.showRectangle(item_.region);
            break;
        }
        checkBoxAudioInput_->setChecked(item_.audioEnabled);
        sourcelists::selectAudioChoice(comboBoxAudioInput_, item_.audioDeviceId);
    }
    renderRepeatWidgets();
    renderRecordingScreenWidgets();
    handleCheckBoxAudioInputCheckStateChanged(checkBoxAudioInput_->checkState());
}

void NewScheduleDialog::renderRepeatWidgets()
{
    const bool oneTime = radioButtonRepeatOneTime_->isChecked();
    dateEditStartTime_->setVisible(oneTime);
    dateEditEndTime_->setVisible(oneTime);
    frameWeeklyDayPicker_->setVisible(radioButtonRepeatWeekly_->isChecked());
}

void NewScheduleDialog::handleCheckBoxScreenCheckStateChanged(int)
{
    renderRecordingScreenWidgets();
}

void NewScheduleDialog::handleCheckBoxAudioInputCheckStateChanged(int)
{
    comboBoxAudioInput_->setEnabled(checkBoxAudioInput_->isChecked());
}

void NewScheduleDialog::renderRecordingScreenWidgets()
{
    screen_.render();
}

void NewScheduleDialog::handleComboBoxScreenTypeActivated(int index)
{
    screen_.activate(index);
}

void NewScheduleDialog::setRecordingRectangle(const QRect& rect)
{
    screen_.showRectangle(rect);
}

void NewScheduleDialog::handleCheckBoxRecordingDurationToggled(bool checked)
{
    timeEditRecordingDuration_->setEnabled(checked);
    if (checked)
        applyDuration();
}

void NewScheduleDialog::handleTimeEditRecordingDurationTimeChanged(QTime)
{
    // Loading a schedule sets the time with the box unticked; only a chosen duration moves the end.
    if (checkBoxRecordingDuration_->isChecked())
        applyDuration();
}

void NewScheduleDialog::handleTimeEditStartTimeTimeChanged(QTime)
{
    if (checkBoxRecordingDuration_->isChecked()) {
        applyDuration();
    } else if (repeatType() == ScheduleRepeatType::OneTime && startDateTime() > endDateTime()) {
        const QDateTime end = startDateTime().addSecs(60);
        dateEditEndTime_->setDate(end.date());
        timeEditEndTime_->setTime(end.time());
    }
}

void NewScheduleDialog::applyDuration()
{
    // The hidden end date follows too; for daily and weekly only the time of day counts.
    const QDateTime end =
        startDateTime().addSecs(QTime(0, 0).secsTo(timeEditRecordingDuration_->time()));
    dateEditEndTime_->setDate(end.date());
    timeEditEndTime_->setTime(end.time());
}

ScheduleRepeatType NewScheduleDialog::repeatType() const
{
    if (radioButtonRepeatDaily_->isChecked())
        return ScheduleRepeatType::Daily;
    if (radioButtonRepeatWeekly_->isChecked())
        return ScheduleRepeatType::Weekly;
    return ScheduleRepeatType::OneTime;
}

QList<int> NewScheduleDialog::checkedDays() const
{
    QList<int> days;
    for (int day = 1; day <= dayBoxes_.size(); ++day)
        if (dayBoxes_.at(day - 1)->isChecked())
            days << day;
    return days;
}

QDateTime NewScheduleDialog::startDateTime() const
{
    return QDateTime(dateEditStartTime_->date(), timeEditStartTime_->time());
}

QDateTime NewScheduleDialog::endDateTime() const
{
    return QDateTime(dateEditEndTime_->date(), timeEditEndTime_->time());
}

void NewScheduleDialog::warn(const QString& text)
{
    macroboxes::show(this, QMessageBox::Warning, tr("Validation Error"), text);
}

ScheduleItem NewScheduleDialog::formTimes() const
{
    ScheduleItem times;
    times.repeatType = repeatType();
    const bool macroTab = tabWidget_->currentIndex() != RecordingTab;
    qint64 macroMs = 0;
    if (const std::optional<MacroItem> macro = chosenMacro(); macro && macroTab)
        macroMs = macro->macroDuration();
    if (times.repeatType == ScheduleRepeatType::OneTime) {
        times.oneTimeStart = startDateTime();
        times.oneTimeEnd = macroTab ? times.oneTimeStart.addMSecs(macroMs) : endDateTime();
    } else {
        times.startTime = timeEditStartTime_->time();
        times.endTime = macroTab ? times.startTime.addMSecs(int(macroMs % (24 * 3600 * 1000)))
                                 : timeEditEndTime_->time();
        if (times.repeatType == ScheduleRepeatType::Weekly)
            times.daysOfWeek = checkedDays();
    }
    return times;
}

bool NewScheduleDialog::validateInput()
{
    const bool macroTab = tabWidget_->currentIndex() != RecordingTab;
    const ScheduleItem times = formTimes();
    const bool oneTime = times.repeatType == ScheduleRepeatType::OneTime;
    if (lineEditScheduleName_->text().trimmed().isEmpty()) {
        warn(tr("Schedule name cannot be empty. Please enter a name for your schedule."));
        return false;
    }
    if (oneTime && !macroTab && endDateTime() <= startDateTime()) {
        warn(tr("End time must be greater than start time for one-time schedules."));
        return false;
    }
    if (oneTime && times.oneTimeEnd <= ScheduleRunner::instance()->currentDateTime()) {
        warn(tr("This one-time schedule has already ended, so it would never run. Please choose "
                "a time to come."));
        return false;
    }
    // The runner would take such a period for one that never ends: one endless file.
    if (!oneTime && times.startTime == times.endTime && (!macroTab || chosenMacroId() != 0)) {
        warn(macroTab ? tr("The macro's waits add up to no time or to whole days, so a daily or "
                           "weekly schedule would never end. Please change its waits.")
                      : tr("End time must differ from start time for daily and weekly "
                           "schedules."));
        return false;
    }
    if (const std::optional<ScheduleItem> other =
            ScheduleStore::instance().firstOverlap(times, editMode_ ? item_.id : 0)) {
        warn(tr("This schedule overlaps with the schedule '%1'. Please choose different times "
                "or days.")
                 .arg(other->name.isEmpty() ? tr("Schedule %1").arg(other->id) : other->name));
        return false;
    }
    const int macroIndex = comboBoxMacroList_->currentIndex();
    if (macroTab && (macroIndex < 0 || macroIndex > comboBoxMacroList_->count() - 2)) {
        warn(tr("Please select a macro you want to execute at the scheduled time"));
        return false;
    }
    if (!macroTab && !checkBoxScreen_->isChecked() && !checkBoxAudioInput_->isChecked()) {
        warn(tr("Please select screen or audio input to record at the scheduled time"));
        return false;
    }
    return true;
}

void NewScheduleDialog::acceptDialog()
{
    if (!validateInput())
        return;
    item_.name = lineEditScheduleName_->text().trimmed();
    item_.macroExecution = tabWidget_->currentIndex() != RecordingTab;
    if (item_.macroExecution) {
        item_.macroItemId = comboBoxMacroList_->currentData().toULongLong();
    } else {
        item_.screenEnabled = checkBoxScreen_->isChecked();
        if (item_.screenEnabled) {
            switch (screen_.kind()) {
            case ScreenSourceChooser::FullScreen:
                item_.screenIndex = screen_.displayIndex();
                item_.screenType = ScreenSourceType::Fullscreen;
                break;
            case ScreenSourceChooser::Custom:
                item_.screenType = ScreenSourceType::CustomRegion;
                item_.region = screen_.rectangle();
                break;
            default:
                item_.screenType = ScreenSourceType::Window;
                item_.windowPid = screen_.window().pid;
                item_.windowClassName = screen_.window().className;
                item_.windowExeName = screen_.window().exeName;
            }
        }
        item_.audioEnabled = checkBoxAudioInput_->isChecked();
        item_.audioDeviceId = comboBoxAudioInput_->currentData().toString();
    }
    // Only the time fields of the repeat kind change; the others keep what they held.
    const ScheduleItem times = formTimes();
    item_.repeatType = times.repeatType;
    if (item_.repeatType == ScheduleRepeatType::OneTime) {
        item_.oneTimeStart = times.oneTimeStart;
        item_.oneTimeEnd = times.oneTimeEnd;
    } else {
        item_.startTime = times.startTime;
        item_.endTime = times.endTime;
        if (item_.repeatType == ScheduleRepeatType::Weekly)
            item_.daysOfWeek = times.daysOfWeek;
    }
    accept();
}

void NewScheduleDialog::cancelDialog()
{
    reject();
}
