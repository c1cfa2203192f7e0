#include "settings_win.h"

#include "ui_settings_win.h"

#include "base/LanguageManager.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "encode/MuxSettings.h"
#include "hotkeys/HotkeyDialog.h"
#include "hotkeys/HotkeyLineEdit.h"
#include "hotkeys/HotkeyManager.h"
#include "macro/MacroListDialog.h"
#include "macro/MacroStore.h"
#include "schedule/ScheduleListDialog.h"
#include "schedule/ScheduleRunner.h"
#include "schedule/ScheduleStore.h"
#include "recording/OutputFileName.h"
#include "recording/RecordingSettings.h"

#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QIntValidator>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QSize>
#include <QStandardPaths>

#include <algorithm>
#include <array>

namespace {

constexpr int kDefaultResolution = 0;
constexpr int kCustomResolution = 13;
// Output sizes of the resolution list entries 1..12; the last row's text says 7860, the size it
// has always recorded is 7680.
constexpr QSize kResolutionSizes[] = {QSize(720, 480),   QSize(480, 720),   QSize(1280, 720),
                                      QSize(720, 1280),  QSize(1920, 1080), QSize(1080, 1920),
                                      QSize(2560, 1440), QSize(1440, 2560), QSize(3840, 2160),
                                      QSize(2160, 3840), QSize(7680, 4320), QSize(4320, 7680)};

// Stored in the order of the quality list, whose texts are translated.
constexpr std::array<const char*, 3> kQualities = {
    settings::kQualityStandard, settings::kQualityHigh, settings::kQualityOriginal};

const char* const kCaptureApis[] = {"WGC", "DXGI", "GDI"};
// What stands in for each stored back-end name on X11.
const char* const kCaptureApiTips[] = {
    QT_TR_NOOP("X Composite capture: high frame rate, records a window even when it is covered"),
    QT_TR_NOOP("Shared-memory screen capture (MIT-SHM): an unchanged screen gives no new frame"),
    QT_TR_NOOP("Plain X11 image capture: slowest, works on every X server"),
};

const char* const kVideoBitrates[] = {"Auto",  "1000",  "2000",  "3000",  "5000",  "7000", "10000",
                                      "12000", "15000", "18000", "20000", "25000", "30000"};
const char* const kFrameRates[] = {"10",  "15",  "23.97", "24",  "25", "29.97", "30",
                                   "48",  "50",  "59.94", "60",  "90", "100",   "125",
                                   "150", "180", "200",   "250", "300"};

// Names of the shortcuts, to tell the user which one already has the keys.
const char* const kHotkeyNames[HotkeyManager::kHotkeyCount] = {
    QT_TR_NOOP("Start/Stop Recording"),
    QT_TR_NOOP("Area Select"),
    QT_TR_NOOP("Open Record Folder"),
    QT_TR_NOOP("Settings Dialog"),
    QT_TR_NOOP("Information"),
    QT_TR_NOOP("Check Update"),
    QT_TR_NOOP("Help"),
    QT_TR_NOOP("Background Mode"),
    QT_TR_NOOP("Schedule Dialog"),
    QT_TR_NOOP("Macro Dialog"),
    QT_TR_NOOP("Hotkey Dialog"),
    QT_TR_NOOP("Pause/Resume Recording"),
};

// Leaves the combo box as it is when the text is not one of its entries.
void selectText(QComboBox* combo, const QString& text)
{
    const int index = combo->findText(text);
    if (index >= 0)
        combo->setCurrentIndex(index);
}

QString storedText(const char* group, const char* key, const QVariant& fallback)
{
    return SettingsStore::instance().value(group, key, fallback).toString();
}

} // namespace

settings_win::settings_win(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::settings_win>())
{
    ui->setupUi(this);
    for (const char* format :
         {settings::kFormatMp4, settings::kFormatWmv, settings::kFormatMpeg2, settings::kFormatAvi})
        ui->comboBoxVideoFormat->addItem(QString::fromLatin1(format));
    for (const char* api : kCaptureApis)
        ui->comboBoxVideoCaptueAPI->addItem(QString::fromLatin1(api));
    for (const char* bitrate : kVideoBitrates)
        ui->comboBoxVideoBitRate->addItem(QString::fromLatin1(bitrate));
    for (const char* fps : kFrameRates)
        ui->comboBoxFps->addItem(QString::fromLatin1(fps));
    ui->lineEditWidth->setValidator(new QIntValidator(1, 99999, this));
    ui->lineEditHeight->setValidator(new QIntValidator(1, 99999, this));
    retranslateTexts();

    loadSettings();
    connectWidgets();
}

settings_win::~settings_win() = default;

void settings_win::setBoxHandler(BoxHandler handler)
{
    boxHandler_ = std::move(handler);
}

void settings_win::setFolderChooser(FolderChooser chooser)
{
    folderChooser_ = std::move(chooser);
}

void settings_win::setDialogRunner(DialogRunner runner)
{
    dialogRunner_ = std::move(runner);
}

void settings_win::loadSettings()
{
    using namespace settings;
    SettingsStore& store = SettingsStore::instance();

    selectText(ui->comboBoxVideoFormat, storedText(kVideoGroup, kVideoFormat, kFormatMp4));
    selectText(ui->comboBoxVideoCaptueAPI, storedText(kVideoGroup, kVideoCaptureApi, "WGC"));
    const QString quality = storedText(kVideoGroup, kQuality, kQualityHigh);
    for (std::size_t i = 0; i < kQualities.size(); ++i) {
        if (quality == QLatin1String(kQualities[i]))
            ui->comboBoxQualityControl->setCurrentIndex(int(i));
    }
    selectText(ui->comboBoxVideoBitRate, storedText(kVideoGroup, kVideoBitrate, 6000));
    selectText(ui->comboBoxFps, storedText(kVideoGroup, kFps, 25));
    ui->checkBoxUseHardwareEncoder->setChecked(
        store.value(kVideoGroup, kUseHardwareEncoder, true).toBool());

    // The sound formats depend on the video format and the bitrates on the sound format, so each
    // list is filled before its entry is chosen.
    onVideoFormatChanged(ui->comboBoxVideoFormat->currentText());
    selectText(ui->comboBoxAudioFormat, storedText(kAudioGroup, kAudioFormat, "AAC"));
    onAudioFormatChanged(ui->comboBoxAudioFormat->currentText());
    selectText(ui->comboBoxAudioBitRate, storedText(kAudioGroup, kAudioBitrate, 128));
    ui->checkBoxMicrophoneOwnTrack->setChecked(
        store.value(kAudioGroup, kMicrophoneOwnTrack, false).toBool());

    const int resolution =
        std::clamp(store.value(kVideoGroup, kResolutionIndex, kDefaultResolution).toInt(),
                   kDefaultResolution, kCustomResolution);
    {
        const QSignalBlocker blockList(ui->comboBoxResolution);
        ui->comboBoxResolution->setCurrentIndex(resolution);
    }
    if (resolution == kCustomResolution) {
        const QSignalBlocker blockWidth(ui->lineEditWidth);
        const QSignalBlocker blockHeight(ui->lineEditHeight);
        ui->lineEditWidth->setText(store.value(kVideoGroup, kCustomWidth, 0).toString());
        ui->lineEditHeight->setText(store.value(kVideoGroup, kCustomHeight, 0).toString());
    } else {
        onResolutionChanged(resolution);
    }

    ui->lineEditRecordFolder->setText(
        QDir::toNativeSeparators(RecordingSettings::folderFromStore(store)));
    const bool userDefined = store.value(kOutputGroup, kUserDefinedFileName, false).toBool();
    ui->checkBoxUSerDefineFileName->setChecked(userDefined);
    ui->lineEditFileName->setText(storedText(kOutputGroup, kRecordingFileName, "out_file"));
    onUserDefineFileNameToggled(userDefined);

    ui->checkBoxMinimizeInRecording->setChecked(
        store.value(kUiGroup, kMinimizeWhenRecording, false).toBool());
    ui->checkBoxPrevie->setChecked(store.value(kUiGroup, kEnablePreview, true).toBool());
    ui->spinBoxTabCapturePort->setValue(
        store.value(kTabCaptureGroup, kWebSocketPort, 8765).toInt());

    LanguageManager::instance().populateLanguageCombo(ui->comboBoxLanguage);
    const QString language = storedText(kUiGroup, kLanguage, "en");
    int languageIndex =
        ui->comboBoxLanguage->findData(language, Qt::UserRole, Qt::MatchFixedString);
    if (languageIndex < 0)
        languageIndex = ui->comboBoxLanguage->findText(language);
    if (languageIndex >= 0)
        ui->comboBoxLanguage->setCurrentIndex(languageIndex);

    refillHotkeys();
    refreshScheduleCount();
    refreshMacroCount();
}

// After loading, so that filling the widgets writes nothing back.
void settings_win::connectWidgets()
{
    connect(ui->pushButtonSave, &QPushButton::clicked, this, &settings_win::saveSettings);
    connect(ui->pushButtonCancel, &QPushButton::clicked, this, &settings_win::cancelDialog);
    connect(ui->comboBoxVideoFormat, &QComboBox::currentTextChanged, this,
            &settings_win::onVideoFormatChanged);
    connect(ui->comboBoxAudioFormat, &QComboBox::currentTextChanged, this,
            &settings_win::onAudioFormatChanged);
    connect(ui->checkBoxUSerDefineFileName, &QCheckBox::toggled, this,
            &settings_win::onUserDefineFileNameToggled);
    connect(ui->pushButtonBrowseFolder, &QPushButton::clicked, this,
            &settings_win::browseOutputFolder);
    connect(ui->pushButtonScheduleSettings, &QPushButton::clicked, this,
            &settings_win::openScheduleSettings);
    connect(ui->pushButtonMacroSettings, &QPushButton::clicked, this,
            &settings_win::openMacroSettings);
    connect(ui->pushButtonHotkeysSettings, &QPushButton::clicked, this,
            &settings_win::openHotkeySettings);
    connect(ui->checkBoxHotkeyStartStopRecording, &QCheckBox::toggled, this,
            &settings_win::onHotkeyStartStopRecordingToggled);
    connect(ui->checkBoxHotkeyAreaSelect, &QCheckBox::toggled, this,
            &settings_win::onHotkeyAreaSelectToggled);
    connect(ui->lineEditHotkeyStartStopRecording, &QLineEdit::textChanged, this,
            &settings_win::onHotkeyStartStopRecordingTextChanged);
    connect(ui->lineEditHotkeyAreaSelect, &QLineEdit::textChanged, this,
            &settings_win::onHotkeyAreaSelectTextChanged);
    connect(ui->comboBoxResolution, &QComboBox::currentIndexChanged, this,
            &settings_win::onResolutionChanged);
    connect(ui->lineEditWidth, &QLineEdit::textChanged, this,
            &settings_win::onResolutionWidthHeightChanged);
    connect(ui->lineEditHeight, &QLineEdit::textChanged, this,
            &settings_win::onResolutionWidthHeightChanged);
    connect(ui->comboBoxLanguage, &QComboBox::currentIndexChanged, this,
            &settings_win::onLanguageChanged);
    connect(&HotkeyManager::instance(), &HotkeyManager::requestUpdate, this,
            &settings_win::refillHotkeys);
    // A started schedule may be a one-time one that is then switched off.
    connect(ScheduleRunner::instance(), &ScheduleRunner::requestStart, this,
            &settings_win::refreshScheduleCount);
}

void settings_win::saveSettings()
{
    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    bool saved = true;

    store.setValue(kAudioGroup, kAudioBitrate, ui->comboBoxAudioBitRate->currentText());
    store.setValue(kAudioGroup, kAudioFormat, ui->comboBoxAudioFormat->currentText());
    store.setValue(kAudioGroup, kMicrophoneOwnTrack, ui->checkBoxMicrophoneOwnTrack->isChecked());
    store.setValue(kVideoGroup, kVideoBitrate, ui->comboBoxVideoBitRate->currentText());
    store.setValue(kVideoGroup, kVideoFormat, ui->comboBoxVideoFormat->currentText());
    store.setValue(kVideoGroup, kVideoCaptureApi, ui->comboBoxVideoCaptueAPI->currentText());
    store.setValue(kTabCaptureGroup, kWebSocketPort,
                   std::clamp(ui->spinBoxTabCapturePort->value(), 1, 65535));
    store.setValue(kVideoGroup, kFps, ui->comboBoxFps->currentText());
    const int quality = std::clamp(ui->comboBoxQualityControl->currentIndex(), 0, 2);
    store.setValue(kVideoGroup, kQuality, QString::fromLatin1(kQualities[std::size_t(quality)]));
    store.setValue(kVideoGroup, kUseHardwareEncoder, ui->checkBoxUseHardwareEncoder->isChecked());

    const int resolution = ui->comboBoxResolution->currentIndex();
    bool widthOk = false;
    bool heightOk = false;
    const int width = ui->lineEditWidth->text().trimmed().toInt(&widthOk);
    const int height = ui->lineEditHeight->text().trimmed().toInt(&heightOk);
    if (resolution == kCustomResolution && !(widthOk && heightOk && width >= 1 && height >= 1)) {
        warn(tr("Invalid Custom Resolution"),
             tr("Please enter valid width and height (positive numbers) for Custom Resolution."));
        saved = false;
    } else {
        store.setValue(kVideoGroup, kResolutionIndex, resolution);
        if (resolution == kCustomResolution) {
            store.setValue(kVideoGroup, kCustomWidth, width);
            store.setValue(kVideoGroup, kCustomHeight, height);
        }
    }

    if (ui->checkBoxUSerDefineFileName->isChecked()) {
        const QString name = ui->lineEditFileName->text();
        if (!outputfilename::isValidName(name)) {
            warn(tr("Invalid Filename"),
                 name.toUtf8().size() > outputfilename::kMaxNameBytes
                     ? tr("The filename is too long. Please provide a shorter filename.")
                     : tr("The filename contains invalid characters or is empty. Please provide "
                          "a valid filename."));
            saved = false;
        } else {
            store.setValue(kOutputGroup, kRecordingFileName, name);
            store.setValue(kOutputGroup, kUserDefinedFileName, true);
        }
    } else {
        store.setValue(kOutputGroup, kUserDefinedFileName, false);
    }

    // A relative folder is taken from the working folder, as the main window takes it.
    const QString folder = ui->lineEditRecordFolder->text().trimmed().replace('\\', '/');
    if (folder.isEmpty()) {
        warn(tr("Invalid Path"),
             tr("The folder path cannot be empty. Please provide a valid path."));
        saved = false;
    } else if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        warn(tr("Error"), tr("The specified folder path does not exist and could not be created. "
                             "Please check the path or permissions."));
        saved = false;
    } else {
        store.setValue(kOutputGroup, kRecordingPath, folder);
    }

    store.setValue(kUiGroup, kMinimizeWhenRecording, ui->checkBoxMinimizeInRecording->isChecked());
    store.setValue(kUiGroup, kEnablePreview, ui->checkBoxPrevie->isChecked());
    store.setValue(kUiGroup, kLanguage, ui->comboBoxLanguage->currentData().toString());

    if (saved)
        accept();
}

void settings_win::cancelDialog()
{
    reject();
}

void settings_win::onVideoFormatChanged(const QString& format)
{
    QComboBox* formats = ui->comboBoxAudioFormat;
    const QString previous = formats->currentText();
    {
        const QSignalBlocker block(formats);
        formats->clear();
        formats->addItems(MuxSettings::audioFormatsFor(format));
        selectText(formats, previous);
    }
    onAudioFormatChanged(formats->currentText());
}

void settings_win::onAudioFormatChanged(const QString& format)
{
    const QString previous = ui->comboBoxAudioBitRate->currentText();
    ui->comboBoxAudioBitRate->clear();
    ui->comboBoxAudioBitRate->addItems(MuxSettings::audioBitratesFor(format));
    // A bitrate the new list lacks gives way to the default, as a recording's own fallback does.
    selectText(ui->comboBoxAudioBitRate, QStringLiteral("128"));
    selectText(ui->comboBoxAudioBitRate, previous);
}

void settings_win::onUserDefineFileNameToggled(bool checked)
{
    ui->lineEditFileName->setEnabled(checked);
}

void settings_win::browseOutputFolder()
{
    const QString start = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    const QString caption = tr("Select Folder");
    const QString folder =
        folderChooser_
            ? folderChooser_(this, caption, start)
            : QFileDialog::getExistingDirectory(this, caption, start, QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        ui->lineEditRecordFolder->setText(QDir::toNativeSeparators(folder));
}

void settings_win::openScheduleSettings()
{
    auto* dialog = new ScheduleListDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    runDialog(dialog);
    refreshScheduleCount();
}

void settings_win::onHotkeyStartStopRecordingToggled(bool /*checked*/)
{
    writeHotkey(HotkeyManager::StartStopRecording);
}

void settings_win::onHotkeyAreaSelectToggled(bool /*checked*/)
{
    writeHotkey(HotkeyManager::AreaSelect);
}

void settings_win::onHotkeyStartStopRecordingTextChanged(const QString& /*text*/)
{
    writeHotkey(HotkeyManager::StartStopRecording);
}

void settings_win::onHotkeyAreaSelectTextChanged(const QString& /*text*/)
{
    writeHotkey(HotkeyManager::AreaSelect);
}

void settings_win::openHotkeySettings()
{
    auto* dialog = new HotkeyDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    runDialog(dialog);
}

void settings_win::openMacroSettings()
{
    auto* dialog = new MacroListDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    runDialog(dialog);
    refreshMacroCount();
}

void settings_win::onResolutionChanged(int index)
{
    if (index == kCustomResolution)
        return;
    const QSignalBlocker blockWidth(ui->lineEditWidth);
    const QSignalBlocker blockHeight(ui->lineEditHeight);
    if (index > kDefaultResolution && index < kCustomResolution) {
        const QSize size = kResolutionSizes[index - 1];
        ui->lineEditWidth->setText(QString::number(size.width()));
        ui->lineEditHeight->setText(QString::number(size.height()));
    } else {
        ui->lineEditWidth->clear();
        ui->lineEditHeight->clear();
    }
}

void settings_win::onResolutionWidthHeightChanged()
{
    if (ui->lineEditWidth->text().trimmed().isEmpty() ||
        ui->lineEditHeight->text().trimmed().isEmpty())
        return;
    const QSignalBlocker blockList(ui->comboBoxResolution);
    ui->comboBoxResolution->setCurrentIndex(kCustomResolution);
}

void settings_win::onLanguageChanged()
{
    const QString code = ui->comboBoxLanguage->currentData().toString();
    SettingsStore::instance().setValue(settings::kUiGroup, settings::kLanguage, code);
    LanguageManager::instance().setLanguage(code);
}

void settings_win::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
        retranslateTexts();
    }
    QDialog::changeEvent(event);
}

void settings_win::retranslateTexts()
{
    for (int i = 0; i < int(std::size(kCaptureApiTips)); ++i)
        ui->comboBoxVideoCaptueAPI->setItemData(i, tr(kCaptureApiTips[i]), Qt::ToolTipRole);
    refreshScheduleCount();
    refreshMacroCount();
}

void settings_win::refillHotkeys()
{
    const QSignalBlocker blockers[] = {
        QSignalBlocker(ui->checkBoxHotkeyStartStopRecording),
        QSignalBlocker(ui->lineEditHotkeyStartStopRecording),
        QSignalBlocker(ui->checkBoxHotkeyAreaSelect),
        QSignalBlocker(ui->lineEditHotkeyAreaSelect),
    };
    for (const HotkeyRecord& record : HotkeyManager::instance().hotkeys()) {
        QCheckBox* checkBox = nullptr;
        HotkeyLineEdit* lineEdit = nullptr;
        if (record.hotkeyId == HotkeyManager::StartStopRecording) {
            checkBox = ui->checkBoxHotkeyStartStopRecording;
            lineEdit = ui->lineEditHotkeyStartStopRecording;
        } else if (record.hotkeyId == HotkeyManager::AreaSelect) {
            checkBox = ui->checkBoxHotkeyAreaSelect;
            lineEdit = ui->lineEditHotkeyAreaSelect;
        } else {
            continue;
        }
        checkBox->setChecked(record.enabled);
        lineEdit->setText(record.hotkey);
        lineEdit->setEnabled(record.enabled);
    }
}

void settings_win::refreshScheduleCount()
{
    ui->lineEditScheduleNum->setText(
        tr("%1 Schedule(s)").arg(ScheduleStore::instance().enabledScheduleCount()));
}

void settings_win::refreshMacroCount()
{
    ui->lineEditMacros->setText(tr("%1 Macro(s)").arg(MacroStore::instance().enabledMacroCount()));
}

void settings_win::writeHotkey(int hotkeyId)
{
    const bool startStop = hotkeyId == HotkeyManager::StartStopRecording;
    HotkeyRecord record;
    record.hotkeyId = hotkeyId;
    record.enabled =
        (startStop ? ui->checkBoxHotkeyStartStopRecording : ui->checkBoxHotkeyAreaSelect)
            ->isChecked();
    record.hotkey =
        (startStop ? ui->lineEditHotkeyStartStopRecording : ui->lineEditHotkeyAreaSelect)->text();
    HotkeyManager& manager = HotkeyManager::instance();
    const int other = manager.conflictingHotkey(record);
    if (other < 0) {
        manager.setHotkey(record);
        return;
    }
    refillHotkeys();
    warn(tr("Shortcut in use"),
         tr("%1 is already the shortcut of \"%2\".").arg(record.hotkey, tr(kHotkeyNames[other])));
}

void settings_win::warn(const QString& title, const QString& text)
{
    if (boxHandler_) {
        boxHandler_(title, text);
        return;
    }
    QMessageBox::warning(this, title, text);
}

void settings_win::runDialog(QDialog* dialog)
{
    if (dialogRunner_)
        dialogRunner_(dialog);
    else
        dialog->exec();
}
