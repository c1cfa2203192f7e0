#include "MacroActionSelectSourceDialog.h"

#include "widgets/SourceLists.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

MacroActionSelectSourceDialog::MacroActionSelectSourceDialog(QWidget* parent)
    : QDialog(parent), checkBoxScreen_(new QCheckBox(this)),
      comboBoxScreenType_(new QComboBox(this)), comboBoxScreenIndex_(new QComboBox(this)),
      labelRecordingRectangle_(new QLabel(this)), checkBoxAudioInput_(new QCheckBox(this)),
      comboBoxAudioInput_(new QComboBox(this)), pushButtonOK_(new QPushButton(tr("OK"), this)),
      screen_(this, checkBoxScreen_, comboBoxScreenType_, comboBoxScreenIndex_,
              labelRecordingRectangle_)
{
    setWindowTitle(tr("Select Source"));
    checkBoxScreen_->setObjectName("checkBoxScreen");
    comboBoxScreenType_->setObjectName("comboBoxScreenType");
    comboBoxScreenIndex_->setObjectName("comboBoxScreenIndex");
    labelRecordingRectangle_->setObjectName("labelRecordingRectangle");
    checkBoxAudioInput_->setObjectName("checkBoxAudioInput");
    comboBoxAudioInput_->setObjectName("comboBoxAudioInput");
    pushButtonOK_->setObjectName("pushButtonOK");
    checkBoxScreen_->setAccessibleName(tr("Record the screen"));
    comboBoxScreenType_->setAccessibleName(tr("Capture type"));
    comboBoxScreenIndex_->setAccessibleName(tr("Recording source"));
    checkBoxAudioInput_->setAccessibleName(tr("Record audio"));
    comboBoxAudioInput_->setAccessibleName(tr("Audio source"));
    comboBoxScreenType_->addItems({tr("FullScreen"), tr("Window"), tr("Custom")});
    checkBoxScreen_->setChecked(true);

    auto* video = new QHBoxLayout;
    video->addWidget(checkBoxScreen_);
    video->addWidget(comboBoxScreenType_);
    video->addWidget(comboBoxScreenIndex_, 1);
    video->addWidget(labelRecordingRectangle_, 1);
    auto* audio = new QHBoxLayout;
    audio->addWidget(checkBoxAudioInput_);
    audio->addWidget(comboBoxAudioInput_, 1);
    auto* form = new QFormLayout;
    form->addRow(tr("Video Input"), video);
    form->addRow(tr("Audio Input"), audio);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(pushButtonOK_, 0, Qt::AlignRight);
    setMinimumWidth(520);

    sourcelists::fillDisplays(comboBoxScreenIndex_);
    sourcelists::fillAudioInputs(comboBoxAudioInput_);
    // toggled rather than stateChanged, which later Qt versions deprecate.
    connect(checkBoxScreen_, &QCheckBox::toggled, this, [this](bool on) {
        handleCheckBoxScreenCheckStateChanged(on ? Qt::Checked : Qt::Unchecked);
    });
    connect(checkBoxAudioInput_, &QCheckBox::toggled, this, [this](bool on) {
        handleCheckBoxAudioInputCheckStateChanged(on ? Qt::Checked : Qt::Unchecked);
    });
    connect(comboBoxScreenType_, &QComboBox::activated, this,
            &MacroActionSelectSourceDialog::handleComboBoxScreenTypeActivated);
    connect(pushButtonOK_, &QPushButton::clicked, this,
            &MacroActionSelectSourceDialog::acceptDialog);
    renderRecordingScreenWidgets();
    renderRecordingAudioInputWidgets();
}

void MacroActionSelectSourceDialog::setItem(const MacroAction& action)
{
    action_ = action;
    updateUIforItem();
}

void MacroActionSelectSourceDialog::handleCheckBoxScreenCheckStateChanged(int)
{
    renderRecordingScreenWidgets();
}

void MacroActionSelectSourceDialog::handleCheckBoxAudioInputCheckStateChanged(int)
{
    renderRecordingAudioInputWidgets();
}

void MacroActionSelectSourceDialog::handleComboBoxScreenTypeActivated(int index)
{
    screen_.activate(index);
}

void MacroActionSelectSourceDialog::setRecordingRectangle(const QRect& rect)
{
    screen_.showRectangle(rect);
}

void MacroActionSelectSourceDialog::renderRecordingScreenWidgets()
{
    screen_.render();
}

void MacroActionSelectSourceDialog::renderRecordingAudioInputWidgets()
{
    comboBoxAudioInput_->setEnabled(checkBoxAudioInput_->isChecked());
}

void MacroActionSelectSourceDialog::updateUIforItem()
{
    const QVariantMap& p = action_.parameters;
    checkBoxScreen_->setChecked(p.value("recordScreen").toBool());
    const int mode = std::clamp(p.value("areaCaptureMode").toInt(), 0, 2);
    comboBoxScreenType_->setCurrentIndex(mode);
    if (mode == ScreenSourceChooser::Custom)
        screen_.showRectangle(QRect(p.value("left").toInt(), p.value("top").toInt(),
                                    p.value("width").toInt(), p.value("height").toInt()));
    else if (mode == ScreenSourceChooser::Window)
        screen_.showWindow({p.value("selectedWindow_pid").toUInt(),
                            p.value("selectedWindow_className").toString(),
                            p.value("selectedWindow_exeName").toString()});
    else
        screen_.showDisplay(p.value("screenIndex").toInt());
    checkBoxAudioInput_->setChecked(p.value("recordAudioInput").toBool());
    sourcelists::selectAudioChoice(comboBoxAudioInput_, p.value("AudioInputDeviceId").toString());
    renderRecordingScreenWidgets();
    renderRecordingAudioInputWidgets();
}

void MacroActionSelectSourceDialog::acceptDialog()
{
    // Keys are only added or overwritten: those of another mode may stay, unread.
    QVariantMap& p = action_.parameters;
    p["recordScreen"] = checkBoxScreen_->isChecked();
    if (checkBoxScreen_->isChecked()) {
        switch (screen_.kind()) {
        case ScreenSourceChooser::FullScreen:
            p["screenIndex"] = screen_.displayIndex();
            p["areaCaptureMode"] = int(ScreenSourceChooser::FullScreen);
            break;
        case ScreenSourceChooser::Window:
            p["areaCaptureMode"] = int(ScreenSourceChooser::Window);
            p["selectedWindow_pid"] = screen_.window().pid;
            p["selectedWindow_className"] = screen_.window().className;
            p["selectedWindow_exeName"] = screen_.window().exeName;
            break;
        default: {
            const QRect rect = screen_.rectangle();
            p["areaCaptureMode"] = int(ScreenSourceChooser::Custom);
            p["left"] = rect.left();
            p["top"] = rect.top();
            p["width"] = rect.width();
            p["height"] = rect.height();
        }
        }
    }
    p["recordAudioInput"] = checkBoxAudioInput_->isChecked();
    p["AudioInputDeviceId"] = comboBoxAudioInput_->currentData().toString();
    accept();
}
