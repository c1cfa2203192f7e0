// The main window's audio list, kept as the sound server changes, its level meter and the
// microphone's mute.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "capture/AudioChoice.h"
#include "ui/RecordingSessionControl.h"
#include "widgets/AudioLevelMeter.h"
#include "widgets/SourceLists.h"

#include <QAction>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>

namespace {

const QString kSystemAudio = QString::fromLatin1(audiochoice::kSystemAudio);
const QString kNoAudio = QString::fromLatin1(audiochoice::kNoAudio);
// Microphones plugged in and programs that start playing join the list without a restart. The
// server says when its lists change, often several times at once (a program opening streams):
// the list is asked for once they have settled this long.
constexpr int kAudioChangeSettle_ms = 300;
// Without a sound client to watch the server, it is asked this often.
constexpr int kAudioDeviceCheck_ms = 2000;
// A server that does not answer costs the window up to a second each time: asked less often.
constexpr int kAudioServerRetry_ms = 20000;

bool includesMicrophone(const QString& choice)
{
    const auto sources = audiochoice::sourcesOf(choice);
    return std::any_of(sources.begin(), sources.end(), [](const AudioSourceChoice& source) {
        return source.kind == AudioSourceChoice::Kind::Microphone;
    });
}

} // namespace

void MainWindow::buildAudioControls()
{
    levelMeter = new AudioLevelMeter(this);
    ui->layoutAudioButtons->addWidget(levelMeter);

    muteMicrophoneAction = new QAction(tr("Mute microphone"), this);
    muteMicrophoneAction->setObjectName(QStringLiteral("actionMuteMicrophone"));
    muteMicrophoneAction->setCheckable(true);
    muteMicrophoneAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U));
    addAction(muteMicrophoneAction);
    connect(muteMicrophoneAction, &QAction::toggled, this, [this](bool muted) {
        levelMeter->setMicrophoneMuted(muted);
        if (sessionControl)
            sessionControl->setMicrophoneMuted(muted);
    });

    connect(ui->comboBoxAudioDevice, &QComboBox::currentIndexChanged, this,
            &MainWindow::followAudioChoice);
    fillAudioList(sourcelists::audioSources());
    selectAudioByData(kSystemAudio);
    followAudioChoice();

    audioDeviceTimer = new QTimer(this);
    audioDeviceTimer->setObjectName(QStringLiteral("audioDeviceTimer"));
    connect(audioDeviceTimer, &QTimer::timeout, this, &MainWindow::followAudioInputs);
    audioWatcher = AudioSourceWatcher::create([this] {
        QMetaObject::invokeMethod(
            this, [this] { audioDeviceTimer->start(kAudioChangeSettle_ms); }, Qt::QueuedConnection);
    });
    audioDeviceTimer->setSingleShot(audioWatcher != nullptr);
    if (!audioWatcher)
        audioDeviceTimer->start(kAudioDeviceCheck_ms);
}

void MainWindow::setLevelProbeFactory(std::function<std::unique_ptr<AudioLevelProbe>()> factory)
{
    levelMeter->setProbeFactory(std::move(factory));
}

void MainWindow::followAudioChoice()
{
    const QString choice = ui->comboBoxAudioDevice->currentData().toString();
    levelMeter->watch(choice);
    muteMicrophoneAction->setEnabled(includesMicrophone(choice));
}

void MainWindow::fillAudioList(const AudioSourceListing& listing)
{
    listedAudio = listing;
    sourcelists::fillAudioInputs(ui->comboBoxAudioDevice, listing);
    ui->comboBoxAudioDevice->addItem(tr("No Audio"), kNoAudio);
}

void MainWindow::refreshAudioList(const AudioSourceListing& listing)
{
    const QString audio = ui->comboBoxAudioDevice->currentData().toString();
    {
        // The meter follows the outcome, not the emptied list on the way.
        const QSignalBlocker quiet(ui->comboBoxAudioDevice);
        fillAudioList(listing);
        if (ui->comboBoxAudioDevice->findData(audio) >= 0)
            selectAudioByData(audio);
        // A program that pauses its sound is still the choice: its track goes on with silence.
        else if (audio.startsWith(QLatin1String(audiochoice::kApplicationPrefix)))
            sourcelists::selectAudioChoice(ui->comboBoxAudioDevice, audio);
        else
            selectAudioByData(kSystemAudio);
    }
    followAudioChoice();
}

void MainWindow::refreshAudioList()
{
    refreshAudioList(sourcelists::audioSources());
}

void MainWindow::followAudioInputs()
{
    AudioSourceListing listing = sourcelists::audioSources();
    if (!audioWatcher)
        audioDeviceTimer->setInterval(listing.reached ? kAudioDeviceCheck_ms
                                                      : kAudioServerRetry_ms);
    if (listing != listedAudio)
        refreshAudioList(listing);
}

void MainWindow::selectAudioByData(const QString& data)
{
    const int index = ui->comboBoxAudioDevice->findData(data);
    if (index >= 0)
        ui->comboBoxAudioDevice->setCurrentIndex(index);
}
