#include "MacroActionSelectSourceDialog.h"

#include "ui/AreaSelector.h"
#include "ui/SourceLists.h"
#include "ui/WindowSelectorThumbnailView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

enum ScreenType { FullScreen = 0, Window = 1, Custom = 2 };

bool pickWithThumbnails(QWidget* parent, WindowIdentity* picked)
{
    WindowSelectorThumbnailView selector(parent);
    if (selector.exec() != QDialog::Accepted || !selector.selectedWindow)
        return false;
    *picked = WindowSelectorThumbnailView::windowIdentity(selector.selectedWindow);
    return true;
}

} // namespace

MacroActionSelectSourceDialog::MacroActionSelectSourceDialog(QWidget* parent)
    : QDialog(parent), checkBoxScreen_(new QCheckBox(this)),
      comboBoxScreenType_(new QComboBox(this)), comboBoxScreenIndex_(new QComboBox(this)),
      labelRecordingRectangle_(new QLabel(this)), checkBoxAudioInput_(new QCheckBox(this)),
      comboBoxAudioInput_(new QComboBox(this)), pushButtonOK_(new QPushButton(tr("OK"), this)),
      windowPicker_(pickWithThumbnails)
{
    setWindowTitle(tr("Dialog"));
    checkBoxScreen_->setObjectName("checkBoxScreen");
    comboBoxScreenType_->setObjectName("comboBoxScreenType");
    comboBoxScreenIndex_->setObjectName("comboBoxScreenIndex");
    labelRecordingRectangle_->setObjectName("labelRecordingRectangle");
    checkBoxAudioInput_->setObjectName("checkBoxAudioInput");
    comboBoxAudioInput_->setObjectName("comboBoxAudioInput");
    pushButtonOK_->setObjectName("pushButtonOK");
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
    if (index == Window) {
        WindowIdentity picked;
        if (windowPicker_ && windowPicker_(this, &picked))
            window_ = picked;
        showWindowEntry();
    } else if (index == Custom) {
        // A child of the dialog, so that the modal dialog does not block the overlay's input.
        auto* selector = new AreaSelector(this);
        selector->setObjectName("areaSelector");
        connect(selector, &AreaSelector::areaSelected, this,
                &MacroActionSelectSourceDialog::setRecordingRectangle);
        selector->show();
    } else {
        sourcelists::fillDisplays(comboBoxScreenIndex_);
    }
    renderRecordingScreenWidgets();
}

void MacroActionSelectSourceDialog::showWindowEntry()
{
    comboBoxScreenIndex_->clear();
    if (!window_.exeName.isEmpty() || window_.pid)
        comboBoxScreenIndex_->addItem(window_.exeName);
}

void MacroActionSelectSourceDialog::setRecordingRectangle(const QRect& rect)
{
    labelRecordingRectangle_->setText(sourcelists::rectangleText(rect));
}

void MacroActionSelectSourceDialog::renderRecordingScreenWidgets()
{
    const bool screen = checkBoxScreen_->isChecked();
    const bool custom = comboBoxScreenType_->currentIndex() == Custom;
    comboBoxScreenType_->setEnabled(screen);
    comboBoxScreenIndex_->setEnabled(screen);
    labelRecordingRectangle_->setEnabled(screen);
    // The rectangle takes the place of the display list.
    comboBoxScreenIndex_->setVisible(!custom);
    labelRecordingRectangle_->setVisible(custom);
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
    if (mode == Custom) {
        setRecordingRectangle(QRect(p.value("left").toInt(), p.value("top").toInt(),
                                    p.value("width").toInt(), p.value("height").toInt()));
    } else if (mode == Window) {
        window_.pid = p.value("selectedWindow_pid").toUInt();
        window_.className = p.value("selectedWindow_className").toString();
        window_.exeName = p.value("selectedWindow_exeName").toString();
        showWindowEntry();
    } else {
        sourcelists::fillDisplays(comboBoxScreenIndex_);
        comboBoxScreenIndex_->setCurrentIndex(p.value("screenIndex").toInt());
    }
    checkBoxAudioInput_->setChecked(p.value("recordAudioInput").toBool());
    sourcelists::selectByDataOrText(comboBoxAudioInput_, p.value("AudioInputDeviceId").toString());
    renderRecordingScreenWidgets();
    renderRecordingAudioInputWidgets();
}

void MacroActionSelectSourceDialog::acceptDialog()
{
    // Keys are only added or overwritten: those of another mode may stay, unread.
    QVariantMap& p = action_.parameters;
    p["recordScreen"] = checkBoxScreen_->isChecked();
    if (checkBoxScreen_->isChecked()) {
        switch (comboBoxScreenType_->currentIndex()) {
        case FullScreen:
            p["screenIndex"] = comboBoxScreenIndex_->currentIndex();
            p["areaCaptureMode"] = int(FullScreen);
            break;
        case Window:
            p["areaCaptureMode"] = int(Window);
            p["selectedWindow_pid"] = window_.pid;
            p["selectedWindow_className"] = window_.className;
            p["selectedWindow_exeName"] = window_.exeName;
            break;
        default: {
            const QRect rect = sourcelists::rectangleFromText(labelRecordingRectangle_->text());
            p["areaCaptureMode"] = int(Custom);
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
