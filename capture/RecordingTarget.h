#pragma once

#include "platform/WindowSystem.h"

#include <QRect>
#include <QString>

enum CaptureTargetType { TargetScreen = 0, TargetWindow = 1 };

// What a recording captures: a monitor (or an area of it) or one top-level window.
struct RecordingTarget
{
    CaptureTargetType targetType = TargetScreen;
    QString targetTitle;
    QRect targetRect;
    NativeWindow targetWindow = 0;
    bool areaMode = false;
};
