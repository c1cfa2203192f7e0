#pragma once

#include "platform/AudioSource.h"

#include <QString>

#include <vector>

// The audio choice as the Audio list, settings, schedules and macros store it: "No Audio",
// "System Audio", a microphone's device name, "System Audio + " and a device name, or
// "Application: " and a program's name. Older files hold a microphone's description instead of
// its name; it is looked up by description when the sound is opened.
namespace audiochoice {

inline constexpr char kNoAudio[] = "No Audio";
inline constexpr char kSystemAudio[] = "System Audio";
inline constexpr char kSystemPlusPrefix[] = "System Audio + ";
inline constexpr char kApplicationPrefix[] = "Application: ";

QString microphone(const QString& deviceName);
QString systemPlusMicrophone(const QString& deviceName);
QString application(const QString& name);

// The sources a stored choice records, system sound first (its track order); empty for
// "No Audio" and for an empty text.
std::vector<AudioSourceChoice> sourcesOf(const QString& stored);

} // namespace audiochoice
