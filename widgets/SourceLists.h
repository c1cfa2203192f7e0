#pragma once

#include "platform/AudioSourceList.h"

#include <QRect>
#include <QString>

#include <functional>

class QComboBox;
class QScreen;

// The lists of displays and audio inputs that the main window, schedules and macros offer.
namespace sourcelists {

// The untranslated item data of the system sound entry.
inline constexpr char kSystemAudio[] = "System Audio";

// How a display is named in the lists: its name, size and logical DPI.
QString screenEntryText(const QScreen* screen);
// One entry per display, its geometry as item data.
void fillDisplays(QComboBox* list);
// What the sound server offers now; tests put a lister of their own in its place (an empty one
// puts the sound server back).
AudioSourceListing audioSources();
void setAudioLister(std::function<AudioSourceListing()> lister);
// The microphones by description, "System Audio", "System Audio + " each microphone, then
// "Application: " each program playing sound; the item data is the stored audio choice.
void fillAudioInputs(QComboBox* list, const AudioSourceListing& listing);
void fillAudioInputs(QComboBox* list);
// How a stored audio choice reads in a summary: as its entry in the lists, a microphone by the
// listing's description when the listing has it.
QString audioChoiceText(const QString& stored, const AudioSourceListing& listing);
// Selects the entry whose item data, else whose text, is value; false when none is.
bool selectByDataOrText(QComboBox* list, const QString& value);
// Selects a stored audio choice; one the sound server does not offer now is added, so that
// saving keeps it.
void selectAudioChoice(QComboBox* list, const QString& stored);

// "X:%1, Y:%2, %3 X %4", the way a rectangle is shown, and back (null when it is not one).
QString rectangleText(const QRect& rect);
QRect rectangleFromText(const QString& text);

} // namespace sourcelists
