#include "AudioLevelMeter.h"

#include "capture/AudioChoice.h"

#include <QEvent>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kPoll_ms = 100;
constexpr float kFloor_dB = -60.0f;
constexpr int kWidth = 64;
constexpr int kHeight = 18;

bool isMicrophone(const AudioSourceChoice& source)
{
    return source.kind == AudioSourceChoice::Kind::Microphone;
}

} // namespace

AudioLevelMeter::AudioLevelMeter(QWidget* parent)
    : QWidget(parent), factory_([] { return AudioLevelProbe::create(); }), timer_(new QTimer(this))
{
    setObjectName(QStringLiteral("widgetAudioLevel"));
    setFixedSize(kWidth, kHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    timer_->setObjectName(QStringLiteral("audioLevelTimer"));
    timer_->setInterval(kPoll_ms);
    connect(timer_, &QTimer::timeout, this, &AudioLevelMeter::poll);
}

AudioLevelMeter::~AudioLevelMeter() = default;

void AudioLevelMeter::setProbeFactory(ProbeFactory factory)
{
    factory_ = std::move(factory);
    probe_.reset();
    if (isVisible())
        startMeasuring();
}

void AudioLevelMeter::watch(const QString& audioChoice)
{
    std::vector<AudioSourceChoice> sources = audiochoice::sourcesOf(audioChoice);
    if (sources == sources_)
        return;
    sources_ = std::move(sources);
    rebuildBars();
    if (probe_ && timer_->isActive())
        probe_->watch(sources_);
}

void AudioLevelMeter::setMicrophoneMuted(bool muted)
{
    micMuted_ = muted;
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (isMicrophone(sources_[i]))
            bars_.at(int(i))->setEnabled(!muted);
    poll();
}

void AudioLevelMeter::poll()
{
    const std::vector<float> levels = probe_ ? probe_->levels() : std::vector<float>();
    for (int i = 0; i < bars_.size(); ++i) {
        const bool silenced = micMuted_ && isMicrophone(sources_[std::size_t(i)]);
        const int value =
            silenced || std::size_t(i) >= levels.size() ? 0 : percentOf(levels[std::size_t(i)]);
        // Unchanged levels, the usual case in silence, cost no repaint.
        if (bars_.at(i)->value() != value)
            bars_.at(i)->setValue(value);
    }
}

int AudioLevelMeter::percentOf(float peak)
{
    if (!(peak > 0.0f))
        return 0;
    const float dB = 20.0f * std::log10(std::min(peak, 1.0f));
    return std::clamp(int(std::lround((dB - kFloor_dB) / -kFloor_dB * 100.0f)), 0, 100);
}

void AudioLevelMeter::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    startMeasuring();
}

void AudioLevelMeter::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    timer_->stop();
    if (probe_)
        probe_->watch({});
}

void AudioLevelMeter::changeEvent(QEvent* event)
{
    // The bars' names are read out: they follow the language.
    if (event->type() == QEvent::LanguageChange)
        rebuildBars();
    QWidget::changeEvent(event);
}

void AudioLevelMeter::startMeasuring()
{
    if (!probe_ && factory_)
        probe_ = factory_();
    if (!probe_)
        return;
    probe_->watch(sources_);
    timer_->start();
}

void AudioLevelMeter::rebuildBars()
{
    qDeleteAll(bars_);
    bars_.clear();
    for (const AudioSourceChoice& source : sources_) {
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        bar->setEnabled(!(micMuted_ && isMicrophone(source)));
        switch (source.kind) {
        case AudioSourceChoice::Kind::SystemSound:
            bar->setAccessibleName(tr("System sound level"));
            break;
        case AudioSourceChoice::Kind::Microphone:
            bar->setAccessibleName(tr("Microphone level"));
            break;
        case AudioSourceChoice::Kind::Application:
            bar->setAccessibleName(tr("Sound level"));
            break;
        }
        layout()->addWidget(bar);
        bars_.append(bar);
    }
}
