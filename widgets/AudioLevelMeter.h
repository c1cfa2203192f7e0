#pragma once

#include "platform/AudioSourceList.h"

#include <QList>
#include <QWidget>

#include <functional>
#include <memory>

class QProgressBar;
class QTimer;

// The level of the chosen sound, one bar per source ("System Audio + " a microphone has two),
// from -60 dB (empty) to 0 dB (full). Measures only while shown, idle or recording; screen
// readers read each bar as a value.
class AudioLevelMeter : public QWidget
{
    Q_OBJECT

public:
    using ProbeFactory = std::function<std::unique_ptr<AudioLevelProbe>()>;

    explicit AudioLevelMeter(QWidget* parent = nullptr);
    ~AudioLevelMeter() override;

    // Replaces the sound server's probe (tests); made when the meter is first shown.
    void setProbeFactory(ProbeFactory factory);
    // Measures the sources of this stored audio choice from now on; none for "No Audio".
    void watch(const QString& audioChoice);
    // A muted microphone's bar reads empty and is greyed out.
    void setMicrophoneMuted(bool muted);
    // Reads the probe once into the bars; the timer does this ten times a second.
    void poll();

    // A peak of 0..1 as the bar's 0..100.
    static int percentOf(float peak);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void rebuildBars();
    void startMeasuring();

    ProbeFactory factory_;
    std::unique_ptr<AudioLevelProbe> probe_;
    std::vector<AudioSourceChoice> sources_;
    QList<QProgressBar*> bars_;
    QTimer* timer_;
    bool micMuted_ = false;
};
